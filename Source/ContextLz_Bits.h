// The bit reading that the block decoder and the token follower share: the reader's position
// kept in registers for a whole chunk, and the token section's branch-free bit window.
#pragma once

#include "ContextLz.h"

#include <algorithm>
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

// Masks of the low n bits, one load instead of a shift and a decrement.
constexpr auto kLowBits = [] {
    std::array<uint32_t, 32> masks{};
    for (uint32_t n = 0; n < 32; ++n) masks[n] = (1u << n) - 1;
    return masks;
}();

// The token section's lookups, with each symbol's extra bits folded in. Between two builds of a
// code nothing changes it, so an entry can also say how many extra bits follow its symbol (a match
// length's, a distance's) and the window moves past both at once: the next lookup need not wait
// for the count of extra bits to be loaded, and their value comes from the window as the lookup
// saw it, off that chain. An entry: the bits of code and extra bits together (bits 0-5; 0 for a
// code longer than kFastBits), the code's length (6-9), the extra bits (10-14), the symbol (16
// on). Rebuild it after every build of the coder's tables.
template <int N> struct ExtraBitsDecodeTable : TickedDecodeTable<ExtraBitsDecodeTable<N>, N> {
    static constexpr uint32_t kFastBits = 10;
    uint32_t entries[1u << kFastBits];
    uint8_t extraBits[N]; // per symbol, set before the first build

    static uint32_t entryOf(uint32_t s, uint32_t length, uint32_t extra) {
        return (length + extra) | length << 6 | extra << 10 | s << 16;
    }
    void build(const HuffmanCoder<N>& coder) {
        for (uint32_t y = 0; y < (1u << kFastBits); ++y) {
            // As in HuffmanDecodeTable: the clamp only keeps an impossible empty entry inside.
            uint32_t s = coder.fullTable[y];
            s = s < uint32_t(N) ? s : 0;
            const uint32_t length = coder.lengths[s];
            entries[y] = length <= kFastBits ? entryOf(s, length, extraBits[s]) : 0;
        }
    }
    // `bits`: the next stream bits, at least 14 of them valid.
    uint32_t lookup(const HuffmanCoder<N>& coder, uint32_t bits) const {
        const uint32_t entry = entries[bits & ((1u << kFastBits) - 1)];
        if (QZN_LIKELY((entry & 63) != 0)) return entry;
        uint32_t s = coder.fullTable[bits & 16383];
        s = s < uint32_t(N) ? s : 0;
        return entryOf(s, coder.lengths[s], extraBits[s]);
    }
    static uint32_t symbol(uint32_t entry) { return entry >> 16; }
    static uint32_t bitsTaken(uint32_t entry) { return entry & 63; }
    // The extra bits' value; `window` as the lookup saw it, code and extra bits valid in it.
    static uint32_t extraValue(uint32_t entry, uint64_t window) {
        return uint32_t(window >> ((entry >> 6) & 15)) & kLowBits[(entry >> 10) & 31];
    }
};

// The token section's tables: symbols with a match length's extra bits, distances with theirs.
struct SectionTables {
    ExtraBitsDecodeTable<kSymbolCount> symbols;
    ExtraBitsDecodeTable<kDistanceSlots> distances;

    explicit SectionTables(const ContextLz& c) {
        std::fill(symbols.extraBits, symbols.extraBits + kLiterals, uint8_t(0));
        for (uint32_t k = 0; k < kLengthSlots; ++k)
            symbols.extraBits[kFirstLengthSymbol + k] = uint8_t(c.lengthExtraBits[k]);
        symbols.extraBits[kPairNewer] = symbols.extraBits[kPairOlder] = 0;
        for (uint32_t d = 0; d < kDistanceSlots; ++d)
            distances.extraBits[d] = uint8_t(c.distanceExtraBits[d]);
        symbols.build(c.symbolModel);
        distances.build(c.distanceModel);
    }
};

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
