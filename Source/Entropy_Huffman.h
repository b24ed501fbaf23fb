// Adaptive, length-limited (14-bit) canonical Huffman coding. No table is ever stored: writer
// and reader rebuild the same code from the same counts at the same symbol numbers.
#pragma once

#include "IO.h"

#include <cstdint>

namespace qzn {

// The coding's fixed numbers, part of every archive: the longest code, the first interval
// between code builds and the longest one it doubles up to, and the count at which all counts
// are halved.
inline constexpr int kHuffmanMaxCodeLength = 14;
inline constexpr uint32_t kFirstRebuildInterval = 512;
inline constexpr uint32_t kLongestRebuildInterval = 262144;
inline constexpr uint32_t kCountLimit = 16384;

template <int N> struct HuffmanCoder {
    static_assert(N >= 2 && N <= 512);

    uint16_t codes[N];   // bit-reversed canonical codes: first bit sent in bit 0
    uint16_t lengths[N]; // 1..14 after any build
    int32_t lookupBits;  // max(8, longest length); 0 before the first build
    uint16_t order[N];   // symbols ascending by count, stable across builds
    uint16_t counts[N];  // 1..16384
    uint32_t rebuildInterval;
    uint32_t rebuildCountdown;
    uint16_t fastTable[256];
    uint16_t fullTable[1u << kHuffmanMaxCodeLength];

    void buildCode();
    void scaleCounts(int shift);
    void reset();
    void buildDecodeTables();

    // Per symbol, on both sides: tick, then encode or decode, then update.
    void tick() {
        if (--rebuildCountdown == 0) {
            buildCode();
            buildDecodeTables();
            if (rebuildInterval < kLongestRebuildInterval) rebuildInterval *= 2;
            rebuildCountdown = rebuildInterval;
        }
    }
    void encode(uint32_t symbol, BitWriter& writer) {
        QZN_CHECK(symbol < uint32_t(N), kHuffmanSource, 213);
        writer.put(codes[symbol], lengths[symbol]);
    }
    // boundLine: the hard-bound line reported when the stream runs past its buffer (the block
    // decoder passes its own). Both lookups read at the same position, so one bound test covers
    // them, and one peek of lookupBits (>= 8) bits serves both: its low 8 bits index fastTable.
    uint32_t decode(BitReader& reader, int boundLine = 184) {
        reader.checkBound(boundLine);
        uint32_t bits = reader.peek(uint32_t(lookupBits));
        uint32_t s = fastTable[bits & 0xFF];
        if (s == 0xFFFF) s = fullTable[bits];
        reader.skip(lengths[s]);
        return s;
    }
    // Halving at 16384 keeps every count in 16 bits and tree weights far from overflow; it does
    // not rebuild: the next scheduled build works from the halved counts.
    void update(uint32_t symbol) {
        if (++counts[symbol] >= kCountLimit) scaleCounts(1);
    }
};

// The coder's tick for a decode lookup built from it (Table::build). The countdown is
// decremented in place (one read-modify-write, which no output store can make stale); on reaching
// zero it goes back to 1 for the coder's own tick, which runs the schedule, so the coder's state
// stays exact at every point, and the lookup is built again.
template <typename Table, int N> struct TickedDecodeTable {
    void tick(HuffmanCoder<N>& coder) {
        if (QZN_LIKELY(--coder.rebuildCountdown != 0)) return;
        coder.rebuildCountdown = 1;
        rebuild(coder);
    }
    QZN_COLD_PATH void rebuild(HuffmanCoder<N>& coder) {
        coder.tick();
        static_cast<Table*>(this)->build(coder);
    }
};

// Decoder-side lookup over the next kFastBits stream bits: each entry holds symbol << 4 | length,
// so one load yields both; length 0 marks a longer code, found through fullTable. The table is
// small enough to stay in the first-level cache next to the output and the rings. It lives with
// the decoder rather than in HuffmanCoder, whose size enters the reported memory figures;
// rebuild it after every build of the coder's tables.
//
// Both masks are constant: fullTable repeats every 2^lookupBits entries over all 16384 of them
// (every code is at most lookupBits long), so indexing with more bits finds the same symbol.
template <int N> struct HuffmanDecodeTable : TickedDecodeTable<HuffmanDecodeTable<N>, N> {
    static constexpr uint32_t kFastBits = 10;
    uint16_t entries[1u << kFastBits];

    void build(const HuffmanCoder<N>& coder) {
        for (uint32_t y = 0; y < (1u << kFastBits); ++y) {
            // A complete code leaves a symbol in every fullTable entry; the clamp only keeps an
            // impossible empty entry from indexing past `lengths`.
            uint32_t s = coder.fullTable[y];
            s = s < uint32_t(N) ? s : 0;
            const uint32_t length = coder.lengths[s];
            entries[y] = uint16_t(length <= kFastBits ? s << 4 | length : 0);
        }
    }
    // `bits`: the next stream bits, at least 14 of them valid.
    uint32_t lookup(const HuffmanCoder<N>& coder, uint32_t bits) const {
        const uint32_t entry = entries[bits & ((1u << kFastBits) - 1)];
        if (QZN_LIKELY((entry & 15) != 0)) return entry;
        uint32_t s = coder.fullTable[bits & ((1u << kHuffmanMaxCodeLength) - 1)];
        s = s < uint32_t(N) ? s : 0;
        return s << 4 | coder.lengths[s];
    }
};

extern template struct HuffmanCoder<256>;
extern template struct HuffmanCoder<289>;
extern template struct HuffmanCoder<60>;

} // namespace qzn
