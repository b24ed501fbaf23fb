// The archive header: the file table, then the codec parameters, the CRC flag and the channel
// field, then a checkpoint. The table's encoding belongs to the files module; this unit places it
// and owns everything behind it, with the ranges of the codec parameters and what the decoding
// modes do with values outside them.
#pragma once

#include <cstdint>

namespace qzn {

class BitReader;
class BitWriter;
struct Archiver;
struct FileList;

// An inclusive range of a codec parameter (a size in bits).
struct BitsRange {
    int32_t low, high;

    constexpr bool contains(int32_t value) const { return value >= low && value <= high; }
    // Values below the range take its lower end, values above it its upper end.
    constexpr int32_t clamp(int32_t value) const {
        return value < low ? low : value > high ? high : value;
    }
};

// What the command line gives the pack, and what unpack decodes with.
inline constexpr BitsRange kTableBits{7, 12};
inline constexpr BitsRange kHashBits{7, 17};
inline constexpr BitsRange kWindowBits{16, 27};
// The windows a pack writes: it lowers the window of a small input to the input's bit length.
inline constexpr BitsRange kStoredWindowBits{1, kWindowBits.high};

// The channel field holds channels - 1 in this many bits.
inline constexpr uint32_t kChannelFieldBits = 4;

struct ArchiveHeader {
    int32_t windowBits = 0;
    int32_t tableBits = 0;
    int32_t hashBits = 0;
    bool hasCrc = false;  // every file's stored crc is the CRC-32 of its contents
    int32_t channels = 0; // the channel filter's count, 1..16; 0 without the filter
};

// The header a pack with these settings writes.
ArchiveHeader headerFor(const Archiver& archiver);

// Writes the file table, the fields and the checkpoint that ends the header.
void writeArchiveHeader(BitWriter& writer, const FileList& table, const ArchiveHeader& header);

// Reads the fields behind the file table, as stored. The readers read the table on its own first
// (list needs nothing else; unpack roots the output tree before reading on). The checkpoint that
// ends the header is left to the caller, which times the decoding from there.
ArchiveHeader readArchiveHeader(BitReader& reader);

enum class DecodingMode { Unpack, Test };

// Readies the stored codec parameters for decoding. Unpack clamps them to the command line's
// ranges: a window stored below them belongs to an input shorter than one chunk, which decodes
// the same in a larger one. Test decodes with the values as stored, so that a small window shows
// as written; values no pack writes mean a damaged archive and stop the run with an error, since
// the codec must not be sized from them.
void admitParameters(ArchiveHeader& header, DecodingMode mode);

// Reads the fields, admits the parameters for `mode` and puts all of them into the run's
// settings, replacing what the command line gave.
void loadArchiveHeader(BitReader& reader, DecodingMode mode, Archiver& archiver);

// Clamps the codec parameters the command line gave to the ranges the pack accepts.
void clampPackParameters(Archiver& archiver);

} // namespace qzn
