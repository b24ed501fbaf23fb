// What the codec tests share: the level table, data with every structure the parse reacts to,
// and a plain transcription of the parse rules to hold the optimised encoder to.
#pragma once

#include "ContextLz.h"

#include <cstdint>
#include <vector>

namespace qzn::testing {

using Level = LevelSettings;
// Levels 1 to 6, the codec's own table.
inline constexpr const auto& kLevels = kLevelSettings;

// Deterministic data with text, runs, periodic records, incompressible stretches long enough to
// start skipping, and repeats of earlier stretches.
std::vector<uint8_t> mixedData(size_t n, uint32_t seed);

// Every parse rule in its plainest form: tables cleared completely, byte-by-byte comparisons,
// every split point searched with its full budget, no early exits beyond the stated ones. It
// keeps its own models across chunks, as a freshly configured encoder does.
class ReferenceEncoder {
  public:
    ReferenceEncoder(uint32_t tableBits, uint32_t hashBits, uint32_t windowBits);
    void encodeChunk(const uint8_t* data, int32_t len, BitWriter& writer, const Level& level);

  private:
    struct Found {
        int32_t length = 0;
        int32_t distance = 0;
    };
    struct Table {
        std::vector<int32_t> entries;
        std::vector<uint16_t> links, buckets;
        uint32_t head = 0;
    };

    uint32_t word(int32_t p) const;
    void hash(int32_t p, uint32_t& bucket, uint32_t& tag, uint32_t& context) const;
    int32_t score(int32_t length, int32_t distance) const;
    int32_t score(Found f) const { return score(f.length, f.distance); }
    void insert(int32_t p);
    Found search(int32_t p, int32_t budget, bool record, int32_t* nearest) const;
    bool tailProbe(int32_t q, int32_t budget, int32_t offset, uint32_t w) const;
    void symbol(uint32_t s, BitWriter& w);

    ContextLz lz_; // models and slot tables only
    uint32_t tb_, hb_, wb_, tableSize_, hashSize_;
    std::vector<Table> tables_;
    const uint8_t* data_ = nullptr;
    int32_t len_ = 0;
};

} // namespace qzn::testing
