// The bit reading that the block decoder and the token follower share: the reader's position
// kept in registers for a whole chunk, and the token section's branch-free bit window.
#pragma once

#include "ContextLz.h"

#include <array>
#include <cstring>

namespace qzn::decoding {

// Huffman decodes and extra-bit reads of the block decoder report this hard-bound line.
constexpr int kBlockBoundLine = 162;

// The reader's bit position, kept in registers for the whole chunk: stores to the output bytes
// may alias anything, so a position left in the reader would be reloaded after each of them.
// The next bits wait in a 64-bit window loaded at `base` and shifted as they are consumed;
// `used` counts them, so the position is base + used and a read needs no load. The position goes
// back to the reader at every segment load and at the chunk end.
struct BitCursor {
    const uint8_t* buffer;
    uint32_t base;
    uint32_t used;
    uint64_t window; // the bits from base + used on; at least 57 - used of them valid

    BitCursor(const uint8_t* b, uint32_t position) : buffer(b) { load(position); }

    uint32_t position() const { return base + used; }

    void load(uint32_t position) {
        base = position;
        used = 0;
        const uint32_t at = position >> 3;
        uint64_t word = 0;
        if (QZN_LIKELY(at <= kBitBufferBytes - 8)) {
            std::memcpy(&word, buffer + at, 8);
        } else {
            // The last bytes of the buffer; nothing beyond it is read. A read that needs more
            // fails the hard-bound test first.
            for (uint32_t i = 0; at + i < kBitBufferBytes && i < 8; ++i)
                word |= uint64_t(buffer[at + i]) << (8 * i);
        }
        window = word >> (position & 7);
    }
    // The next bits, at least 25 of them valid, after the same hard-bound test as the reader's.
    uint32_t peek() {
        BitReader::checkBoundAt(base + used, kBlockBoundLine);
        if (QZN_UNLIKELY(used > 57 - 25)) load(base + used);
        return uint32_t(window);
    }
    void skip(uint32_t count) {
        window >>= count;
        used += count;
    }
    uint32_t extraBits(int32_t count) {
        if (count == 0) return 0;
        const uint32_t value = peek() & ((1u << count) - 1);
        skip(uint32_t(count));
        return value;
    }
    template <int N> uint32_t symbol(HuffmanCoder<N>& model, HuffmanDecodeTable<N>& table) {
        table.tick(model);
        const uint32_t entry = table.lookup(model, peek());
        skip(entry & 15);
        const uint32_t s = entry >> 4;
        model.update(s);
        return s;
    }
    void checkpoint(BitReader& reader) {
        if (QZN_UNLIKELY(base + used > kBitCheckpointThreshold)) {
            reader.bitPosition = base + used;
            reader.loadSegment();
            buffer = reader.buffer;
            load(reader.bitPosition);
        }
    }
};

// The most bits one token reads: a symbol code, length bits, a distance code, distance bits.
constexpr uint32_t kMaxTokenBits =
    kHuffmanMaxCodeLength + kMaxLengthExtraBits + kHuffmanMaxCodeLength + kMaxDistanceExtraBits;

// Token-section reads from the bit window; `used` counts the bits they take.
template <int N>
inline uint32_t takeSymbol(HuffmanCoder<N>& model, HuffmanDecodeTable<N>& table, uint64_t& window,
                           uint32_t& used) {
    table.tick(model);
    const uint32_t entry = table.lookup(model, uint32_t(window));
    const uint32_t length = entry & 15;
    window >>= length;
    used += length;
    const uint32_t s = entry >> 4;
    model.update(s);
    return s;
}
// Masks of the low n bits, one load instead of a shift and a decrement.
constexpr auto kLowBits = [] {
    std::array<uint32_t, 32> masks{};
    for (uint32_t n = 0; n < 32; ++n) masks[n] = (1u << n) - 1;
    return masks;
}();
inline uint32_t takeBits(int32_t count, uint64_t& window, uint32_t& used) {
    const uint32_t value = uint32_t(window) & kLowBits[uint32_t(count)];
    window >>= count;
    used += uint32_t(count);
    return value;
}

// The token section's bit window: the stream bits wait in `window`, `valid` of them from the
// current position on, topped up without a branch from `next`, the first byte not yet in it:
// bits above `valid` are either zero or the stream's own, so OR-ing the same bytes in again is
// harmless. Every token starts at or below the checkpoint threshold and reads at most
// kMaxTokenBits, so a token's reads stay inside the hard bound and need no test of their own.
struct TokenWindow {
    const uint8_t* stream; // the reader's buffer
    const uint8_t* next;
    uint64_t window;
    uint32_t valid;

    TokenWindow(const uint8_t* buffer, uint32_t position) : stream(buffer) { start(position); }

    void start(uint32_t position) {
        next = stream + (position >> 3);
        std::memcpy(&window, next, 8);
        window >>= position & 7;
        // Seven whole bytes count; the eighth's bits stay above `valid`.
        valid = 56 - (position & 7);
        next += 7;
    }
    void refill() {
        uint64_t word;
        std::memcpy(&word, next, 8);
        window |= word << (valid & 63);
        next += 7 - ((valid >> 3) & 7);
        valid |= 56;
    }
    uint32_t position() const { return uint32_t(next - stream) * 8 - valid; }
    void take(uint32_t count) {
        window >>= count;
        valid -= count;
    }
    // After a token: a position past the checkpoint threshold loads the next segment.
    void checkpoint(BitReader& reader) {
        if (QZN_UNLIKELY(position() > kBitCheckpointThreshold)) {
            reader.bitPosition = position();
            reader.loadSegment();
            stream = reader.buffer;
            start(reader.bitPosition);
        }
    }
};

static_assert(kMaxTokenBits <= 56);
static_assert(((kBitCheckpointThreshold + kMaxTokenBits) & ~7u) < kBitHardBound);
static_assert(kBitCheckpointThreshold / 8 + 24 <= kBitBufferBytes);

} // namespace qzn::decoding
