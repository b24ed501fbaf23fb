// Adaptive, length-limited (14-bit) canonical Huffman coding. No table is ever stored: writer
// and reader rebuild the same code from the same counts at the same symbol numbers.
#pragma once

#include "IO.h"

#include <cstdint>

namespace qzn {

inline constexpr const char* kHuffmanSource = "Source/Entropy_Huffman.cpp";

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
    uint16_t fullTable[16384];

    void buildCode();
    void scaleCounts(int shift);
    void reset();
    void buildDecodeTables();

    // Per symbol, on both sides: tick, then encode or decode, then update.
    void tick() {
        if (--rebuildCountdown == 0) {
            buildCode();
            buildDecodeTables();
            if (rebuildInterval < 262144) rebuildInterval *= 2;
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
        if (++counts[symbol] >= 16384) scaleCounts(1);
    }
};

extern template struct HuffmanCoder<256>;
extern template struct HuffmanCoder<289>;
extern template struct HuffmanCoder<60>;

} // namespace qzn
