// The context-keyed LZ codec: match candidates filed per preceding byte value, distances counted
// in remembered token starts, a two-byte pair prediction per byte value, and two adaptive
// Huffman models that run on across all chunks of an archive.
#pragma once

#include "ContextLz_Format.h"
#include "Entropy_Huffman.h"
#include "IO.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>

namespace qzn {

// Encoder side, one per preceding byte value.
struct ContextTable {
    int32_t* entries = nullptr;  // tableSize: position | hashTag << windowBits; -1 = empty
    uint16_t head = 0;           // slot written next
    uint16_t* buckets = nullptr; // hashSize: newest entry index per bucket; 0xFFFF = empty
    uint16_t* links = nullptr;   // tableSize: next older entry of the same bucket; 0xFFFF = none
};

// Decoder side, one per preceding byte value.
struct PositionRing {
    int32_t* entries = nullptr; // tableSize token start positions; only the chunk's appends count
    uint16_t head = 0;
};

// A chunk's parse, compact enough to wait for its turn at the models: well below the chunk's
// size, literal bytes left in the chunk. Made by parseChunk, read by codeTokens.
struct TokenList {
    std::unique_ptr<uint8_t[]> bytes;
    size_t capacity = 0; // allocated bytes
    size_t size = 0;     // bytes in use
    int32_t len = 0;     // the chunk length the tokens cover

    static size_t capacityFor(int32_t len); // the most a chunk of len bytes can need
    void reserve(int32_t len);              // stops the run when memory runs out
};

// A chunk's tokens as the follower records them, so that another thread can rebuild the bytes,
// and then those bytes, in the same buffer. The tokens: the opening literals' bytes, then the
// token section as runs, each a header byte (run length << 2 | kind), that many literal bytes,
// and for a match 3 bytes of length - kMinMatch | distance << 11 (the distance masked to the
// ring, which is all it selects), then the closing literals' bytes. Kinds: 0 and 1 the two pairs,
// 2 a match, 3 a run alone; a run alone of length 0 ends a list whose following stopped.
//
// The tokens of len bytes take at most len + len / 62 + 16 bytes. The rebuild first moves them
// up to end kReadSlack bytes before the buffer's end, then writes the bytes from its start: at
// every token the bytes still to be read take at most (1 + 1/62) times the bytes they describe
// plus 2, so the token read next stays kMargin - 3 bytes ahead of the byte written next, and no
// write (at most 64 bytes on from a run's start, 32 from a match's end) reaches a token unread.
struct ChunkTokens {
    static constexpr uint32_t kPair = 0, kMatch = 2, kRun = 3;
    static constexpr uint32_t kLongestRun = 62;
    static constexpr uint8_t kStop = kRun; // a run alone of length 0
    static constexpr size_t kMargin = 80, kReadSlack = 64;

    LargeBuffer bytes;
    size_t size = 0; // bytes of tokens recorded

    // The buffer a chunk of len bytes needs.
    static size_t capacityFor(int32_t len);
};

// A compression level's parse settings, as encodeChunk and parseChunk take them.
struct LevelSettings {
    int32_t chainLimit, lookaheadLimit, parseMode;
};
inline constexpr int kLowestLevel = 1, kHighestLevel = 6, kDefaultLevel = 2;
// Levels kLowestLevel to kHighestLevel, in order.
inline constexpr LevelSettings kLevelSettings[] = {{2, 0, 0},  {4, 1, 0},  {8, 2, 0},
                                                   {24, 4, 1}, {64, 8, 1}, {224, 32, 2}};
static_assert(std::size(kLevelSettings) == kHighestLevel - kLowestLevel + 1);

// The settings of a level from kLowestLevel to kHighestLevel.
constexpr LevelSettings levelSettings(int level) {
    return kLevelSettings[level - kLowestLevel];
}

class ContextLz {
  public:
    LargeBuffer blockMemory;
    uint8_t* block = nullptr; // the one table block, in blockMemory
    HuffmanCoder<kSymbolCount> symbolModel;
    HuffmanCoder<kDistanceSlots> distanceModel;
    ContextTable tables[256];
    PositionRing rings[256];
    int32_t lengthBase[kLengthSlots], lengthExtraBits[kLengthSlots];
    int32_t distanceBase[kDistanceSlots], distanceExtraBits[kDistanceSlots];
    uint8_t lengthSlotOf[kLengthLookup];
    uint8_t distanceSlotOf[kDistanceLookup];
    uint32_t hashBits = 0, tableBits = 0, windowBits = 0;
    int32_t tableSize = 0, tableMask = 0, hashSize = 0, hashMask = 0, capacity = 0,
            positionMask = 0;
    // Decode, follow and rebuild with the loops built for BMI2, where the processor has it;
    // tests clear it to run the loops built for any processor.
    bool useBmi2 = cpuHasBmi2();

    ContextLz() = default;
    ContextLz(const ContextLz&) = delete;
    ContextLz& operator=(const ContextLz&) = delete;
    ~ContextLz() { release(); }

    void configure(uint32_t tableBits, uint32_t hashBits, uint32_t windowBits);
    uint64_t allocateEncoder(); // block bytes + sizeof(ContextLz)
    uint64_t allocateDecoder();
    void resetModels();
    void release();

    void encodeChunk(const uint8_t* data, int32_t len, BitWriter& writer, int32_t chainLimit,
                     int32_t lookaheadLimit, int32_t parseMode);
    // encodeChunk in two steps: the parse uses only the match tables, the coding only the
    // models and slot tables (resetModels, no table block), so different codecs may do each.
    void parseChunk(const uint8_t* data, int32_t len, TokenList& tokens, int32_t chainLimit,
                    int32_t lookaheadLimit, int32_t parseMode);
    void codeTokens(const uint8_t* data, const TokenList& tokens, BitWriter& writer);
    void decodeChunk(uint8_t* data, int32_t len, BitReader& reader);
    // Reads the chunk's tokens as decodeChunk does, leaving the models and the reader where it
    // would, but rebuilds no byte: for chunks whose bytes are not wanted.
    void followChunk(int32_t len, BitReader& reader);
    // The same, recording the tokens. A stop while following (damage) leaves the list ended
    // after the last token read whole.
    void followChunk(int32_t len, BitReader& reader, ChunkTokens& tokens);
    // Rebuilds the bytes of a chunk from its recorded tokens, in place: the chunk's len bytes
    // then start the buffer. Uses this codec's rings and makes the checks of decodeChunk that
    // need the bytes. Needs no model: any thread with rings may.
    void rebuildChunk(ChunkTokens& chunk, int32_t len);
};

// Optional byte-plane transform applied per chunk before encoding and after decoding.
namespace ChannelFilter {
bool isAllowed(int32_t channels);
void forward(uint8_t* buffer, int32_t len, int32_t channels);
void inverse(uint8_t* buffer, int32_t len, int32_t channels);
} // namespace ChannelFilter

} // namespace qzn
