// The archive header: see Main_Header.h.
#include "Main_Header.h"

#include "ContextLz_Format.h"
#include "Files.h"
#include "IO.h"
#include "Main.h"
#include "Platform.h"

namespace qzn {

// A distance is below the context table's size: the largest table must fit the slot lookup.
static_assert((size_t(1) << kTableBits.high) <= kDistanceLookup);

namespace {

// The command line's ranges, which pack and unpack share.
template <typename Settings> void clampToCommandLine(Settings& settings) {
    settings.tableBits = kTableBits.clamp(settings.tableBits);
    settings.hashBits = kHashBits.clamp(settings.hashBits);
    settings.windowBits = kWindowBits.clamp(settings.windowBits);
}

} // namespace

ArchiveHeader headerFor(const Archiver& archiver) {
    ArchiveHeader header;
    header.windowBits = archiver.windowBits;
    header.tableBits = archiver.tableBits;
    header.hashBits = archiver.hashBits;
    header.hasCrc = !archiver.skipCrc;
    header.channels = archiver.channels > 0 ? archiver.channels : 0;
    return header;
}

void writeArchiveHeader(BitWriter& writer, const FileList& table, const ArchiveHeader& header) {
    table.writeTable(writer);
    // Window first: the order differs from the one the codec takes them in.
    writer.put32(static_cast<uint32_t>(header.windowBits));
    writer.put32(static_cast<uint32_t>(header.tableBits));
    writer.put32(static_cast<uint32_t>(header.hashBits));
    writer.put(header.hasCrc ? 1 : 0, 1);
    writer.put(header.channels > 0 ? 1 : 0, 1);
    if (header.channels > 0)
        writer.put(static_cast<uint32_t>(header.channels - 1), kChannelFieldBits);
    writer.checkpoint();
}

ArchiveHeader readArchiveHeader(BitReader& reader) {
    ArchiveHeader header;
    header.windowBits = static_cast<int32_t>(reader.get32());
    header.tableBits = static_cast<int32_t>(reader.get32());
    header.hashBits = static_cast<int32_t>(reader.get32());
    header.hasCrc = reader.get(1) != 0;
    header.channels = reader.get(1) ? static_cast<int32_t>(reader.get(kChannelFieldBits)) + 1 : 0;
    return header;
}

void admitParameters(ArchiveHeader& header, DecodingMode mode) {
    if (mode == DecodingMode::Unpack) {
        clampToCommandLine(header);
        return;
    }
    if (!kTableBits.contains(header.tableBits) || !kHashBits.contains(header.hashBits) ||
        !kStoredWindowBits.contains(header.windowBits))
        fatalWide(L"Error: Corrupt archive: invalid codec parameters\n");
}

void loadArchiveHeader(BitReader& reader, DecodingMode mode, Archiver& archiver) {
    ArchiveHeader header = readArchiveHeader(reader);
    admitParameters(header, mode);
    archiver.windowBits = header.windowBits;
    archiver.tableBits = header.tableBits;
    archiver.hashBits = header.hashBits;
    archiver.skipCrc = !header.hasCrc;
    archiver.channels = header.channels;
}

void clampPackParameters(Archiver& archiver) {
    clampToCommandLine(archiver);
}

} // namespace qzn
