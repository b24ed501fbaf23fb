// Block decoder: mirrors the encoder's rings, pair memory, model steps and checkpoints token by
// token. The stream is untrusted, so every index derived from it is bounded before use.
#include "ContextLz.h"

#include <algorithm>
#include <cstring>

namespace qzn {

namespace {

// Huffman decodes and extra-bit reads of the block decoder report this hard-bound line.
constexpr int kBlockBoundLine = 162;

inline uint32_t readExtraBits(BitReader& reader, int32_t count) {
    if (count == 0) return 0;
    reader.checkBound(kBlockBoundLine);
    const uint32_t value = reader.peek(uint32_t(count));
    reader.skip(uint32_t(count));
    return value;
}

inline uint32_t decodeSymbol(HuffmanCoder<289>& model, BitReader& reader) {
    model.tick();
    const uint32_t s = model.decode(reader, kBlockBoundLine);
    model.update(s);
    return s;
}

inline void appendPosition(PositionRing& ring, int32_t position, int32_t tableMask) {
    ring.entries[ring.head] = position;
    ring.head = uint16_t((ring.head + 1) & tableMask);
}

// Byte-wise forward copy semantics from src < dst: when the spans overlap, the last dst - src
// bytes repeat. `room` is the number of bytes the chunk holds from dst on.
inline void copyMatch(uint8_t* dst, const uint8_t* src, int32_t n, int32_t room) {
    const int32_t gap = int32_t(dst - src);
    // Wide stores may run up to 7 bytes past the match; allow them only where those bytes are
    // still inside the chunk (later tokens overwrite them). Otherwise copy byte by byte.
    if (room - n < 8) {
        for (int32_t t = 0; t < n; ++t) dst[t] = src[t];
        return;
    }
    int32_t t = 0;
    int32_t step = gap;
    if (gap < 8) {
        // Lay down the first period-aligned span byte by byte, then read from a multiple of the
        // period that is at least 8 back, so each 8-byte move reads only finished bytes.
        step = gap * ((8 + gap - 1) / gap);
        const int32_t head = std::min(n, step);
        for (; t < head; ++t) dst[t] = src[t];
    }
    for (; t < n; t += 8) std::memcpy(dst + t, dst + t - step, 8);
}

} // namespace

void ContextLz::decodeChunk(uint8_t* data, int32_t len, BitReader& reader) {
    QZN_CHECK(len <= capacity, kContextLzSource, 489);
    if (len <= 0) return;

    uint32_t pairMemory[256] = {};
    for (int c = 0; c < 256; ++c) {
        std::fill_n(rings[c].entries, tableSize, -1);
        rings[c].head = 0;
    }

    int32_t j = 0;

    // Opening literals.
    for (; j < 4 && j < len; ++j) {
        const uint32_t s = decodeSymbol(symbolModel, reader);
        QZN_CHECK(s <= 255, kContextLzSource, 509);
        appendPosition(rings[j == 0 ? 0 : data[j - 1]], j, tableMask);
        data[j] = uint8_t(s);
        reader.checkpoint();
    }

    // Token section.
    while (j < len - 8) {
        const uint32_t s = decodeSymbol(symbolModel, reader);
        PositionRing& ring = rings[data[j - 1]];
        const uint32_t context = data[j - 1];
        if (s <= 255) {
            appendPosition(ring, j, tableMask);
            data[j] = uint8_t(s);
            j += 1;
        } else if (s >= 287) {
            const uint32_t pair = pairMemory[context] >> (s == 287 ? 0 : 16);
            appendPosition(ring, j, tableMask);
            data[j] = uint8_t(pair >> 8);
            data[j + 1] = uint8_t(pair);
            j += 2;
        } else {
            const uint32_t k = s - 256;
            const int32_t n =
                lengthBase[k] + int32_t(readExtraBits(reader, lengthExtraBits[k])) + 4;
            distanceModel.tick();
            const uint32_t d = distanceModel.decode(reader, kBlockBoundLine);
            distanceModel.update(d);
            const uint32_t v =
                uint32_t(distanceBase[d]) + readExtraBits(reader, distanceExtraBits[d]);
            const int32_t h = ring.entries[(uint32_t(ring.head) - v) & uint32_t(tableMask)];
            // An empty slot reads as -1.
            QZN_CHECK(h >= 0 && h < j, kContextLzSource, 544);
            appendPosition(ring, j, tableMask);
            QZN_CHECK(n <= len - j, kContextLzSource, 549);
            copyMatch(data + j, data + h, n, len - j);
            j += n;
        }
        const uint32_t x = data[j - 3];
        pairMemory[x] = (pairMemory[x] << 16) | (uint32_t(data[j - 2]) << 8) | data[j - 1];
        reader.checkpoint();
    }

    // Closing literals.
    for (; j < len; ++j) {
        const uint32_t s = decodeSymbol(symbolModel, reader);
        QZN_CHECK(s <= 255, kContextLzSource, 594);
        appendPosition(rings[data[j - 1]], j, tableMask);
        data[j] = uint8_t(s);
        reader.checkpoint();
    }
}

} // namespace qzn
