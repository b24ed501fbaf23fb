// Token follower: reads a chunk's tokens as the block decoder does, advancing both models and the
// reader, without rebuilding a byte. The models depend only on the symbols and the rings and
// pair memory start empty in every chunk, so the chunks after a followed one decode as if it had
// been decoded in full. The stream is untrusted: lengths are bounded by the chunk as the decoder
// bounds them; what only the bytes could tell (a match from an empty slot) goes unseen here.
#include "ContextLz.h"

#include <cstring>

namespace qzn {

void ContextLz::followChunk(int32_t len, BitReader& reader) {
    QZN_CHECK(len <= capacity, kContextLzSource, 489);
    if (len <= 0) return;

    HuffmanDecodeTable<289> symbols;
    HuffmanDecodeTable<60> distances;
    symbols.build(symbolModel);
    distances.build(distanceModel);

    // The same bit window as the decoder's: a read of at most 25 bits after the hard-bound test,
    // the position handed back at each checkpoint.
    const uint8_t* buffer = reader.buffer;
    uint32_t base = reader.bitPosition;
    uint32_t used = 0;
    uint64_t window = 0;
    auto load = [&](uint32_t position) {
        base = position;
        used = 0;
        const uint32_t at = position >> 3;
        uint64_t word = 0;
        if (QZN_LIKELY(at <= kBitBufferBytes - 8)) {
            std::memcpy(&word, buffer + at, 8);
        } else {
            for (uint32_t i = 0; at + i < kBitBufferBytes && i < 8; ++i)
                word |= uint64_t(buffer[at + i]) << (8 * i);
        }
        window = word >> (position & 7);
    };
    auto peek = [&] {
        BitReader::checkBoundAt(base + used, 162);
        if (QZN_UNLIKELY(used > 57 - 25)) load(base + used);
        return uint32_t(window);
    };
    auto skip = [&](uint32_t count) {
        window >>= count;
        used += count;
    };
    auto bits = [&](int32_t count) -> uint32_t {
        if (count == 0) return 0;
        const uint32_t value = peek() & ((1u << count) - 1);
        skip(uint32_t(count));
        return value;
    };
    auto symbol = [&] {
        symbols.tick(symbolModel);
        const uint32_t entry = symbols.lookup(symbolModel, peek());
        skip(entry & 15);
        const uint32_t s = entry >> 4;
        symbolModel.update(s);
        return s;
    };
    auto checkpoint = [&] {
        if (QZN_UNLIKELY(base + used > kBitCheckpointThreshold)) {
            reader.bitPosition = base + used;
            reader.loadSegment();
            buffer = reader.buffer;
            load(reader.bitPosition);
        }
    };
    load(base);

    int32_t j = 0;
    for (; j < 4 && j < len; ++j) {
        QZN_CHECK(symbol() <= 255, kContextLzSource, 509);
        checkpoint();
    }
    const int32_t tokenEnd = len - 8;
    while (j < tokenEnd) {
        const uint32_t s = symbol();
        if (s <= 255) {
            j += 1;
        } else if (s >= 287) {
            j += 2;
        } else {
            const uint32_t k = s - 256;
            const int32_t n = lengthBase[k] + int32_t(bits(lengthExtraBits[k])) + 4;
            distances.tick(distanceModel);
            const uint32_t entry = distances.lookup(distanceModel, peek());
            skip(entry & 15);
            const uint32_t d = entry >> 4;
            distanceModel.update(d);
            bits(distanceExtraBits[d]);
            QZN_CHECK(n <= len - j, kContextLzSource, 549);
            j += n;
        }
        checkpoint();
    }
    for (; j < len; ++j) {
        QZN_CHECK(symbol() <= 255, kContextLzSource, 594);
        checkpoint();
    }
    reader.bitPosition = base + used;
}

} // namespace qzn
