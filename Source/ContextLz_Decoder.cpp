// Block decoder: mirrors the encoder's rings, pair memory, model steps and checkpoints token by
// token. The stream is untrusted, so every index derived from it is bounded before use.
#include "ContextLz.h"
#include "ContextLz_Bits.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace qzn {

using namespace decoding;

namespace {

// The three bytes before `end`, the oldest in bits 16-23; end - 4 must be inside the buffer.
inline uint32_t lastThreeBytes(const uint8_t* end) {
    uint32_t word;
    std::memcpy(&word, end - 4, 4);
    return QZN_BYTESWAP32(word) & 0xFFFFFF;
}

// The rings of one chunk. The codec's ring storage is never cleared: `appended` counts the
// positions appended to each ring in this chunk, so its slots below that count (all of them
// once it has wrapped) hold this chunk's positions and any other slot counts as empty, whatever
// an earlier chunk left in it. That saves clearing tableSize KiB per chunk.
struct ChunkRings {
    int32_t* entries[256]; // each ring's slots, copied here to be one load away
    uint32_t appended[256] = {};
    uint32_t mask;

    ChunkRings(const PositionRing* rings, int32_t tableMask) : mask(uint32_t(tableMask)) {
        for (uint32_t c = 0; c < 256; ++c) entries[c] = rings[c].entries;
    }

    void append(uint32_t context, int32_t position) {
        entries[context][appended[context]++ & mask] = position;
    }
    // The position `distance` appends back (0: the slot at the head), or -1 for an empty slot.
    int32_t lookBack(uint32_t context, uint32_t distance) const {
        const uint32_t slot = (appended[context] - distance) & mask;
        return slot < appended[context] ? entries[context][slot] : -1;
    }
    // Leaves each ring's head where the next append of the chunk would have gone.
    void storeHeads(PositionRing* rings) const {
        for (uint32_t c = 0; c < 256; ++c) rings[c].head = uint16_t(appended[c] & mask);
    }
};

// Byte-wise forward copy semantics from src < dst: when the spans overlap, the last dst - src
// bytes repeat. `room` is the number of bytes the chunk holds from dst on.
inline void copyMatch(uint8_t* dst, const uint8_t* src, int32_t n, int32_t room) {
    const int32_t gap = int32_t(dst - src);
    // Wide stores may run up to 28 bytes past the match (32 bytes for a match of 4); allow them
    // only where those bytes are still inside the chunk (later tokens overwrite them).
    // Otherwise copy byte by byte.
    if (QZN_UNLIKELY(room - n < 28)) {
        for (int32_t t = 0; t < n; ++t) dst[t] = src[t];
        return;
    }
    if (gap >= 16) {
        // Each 16-byte move reads only bytes before its destination. Most matches are covered
        // by the first two, so the loop's branch is rarely taken.
        std::memcpy(dst, src, 16);
        std::memcpy(dst + 16, src + 16, 16);
        for (int32_t t = 32; t < n; t += 16) std::memcpy(dst + t, src + t, 16);
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

// The pair token at j in `context`: one of the two pairs last seen after it (`second` selects
// the older). Returns the three bytes now last.
inline uint32_t applyPair(ChunkRings& ring, const uint32_t* pairMemory, uint8_t* data, int32_t j,
                          uint32_t context, bool second, uint32_t recent) {
    const uint32_t pair = pairMemory[context] >> (second ? 16 : 0);
    ring.append(context, j);
    data[j] = uint8_t(pair >> 8);
    data[j + 1] = uint8_t(pair);
    return (recent << 16 | (pair & 0xFFFF)) & 0xFFFFFF;
}

// The match of n bytes at j, from the position `distance` appends back in the ring of
// `context`, checked against the chunk. Returns the match's last three bytes, read from its
// source so that the next token's context does not wait for the copy's stores; an overlapping
// copy repeats the last `gap` bytes before it.
inline uint32_t applyMatch(ChunkRings& ring, uint8_t* data, int32_t j, int32_t n, int32_t len,
                           uint32_t context, uint32_t distance) {
    const int32_t h = ring.lookBack(context, distance);
    // h >= 0 && h < j in one unsigned comparison (j > 0 here).
    QZN_CHECK(uint32_t(h) < uint32_t(j), kContextLzSource, 544);
    ring.append(context, j);
    QZN_CHECK(n <= len - j, kContextLzSource, 549);
    const int32_t gap = j - h;
    const uint32_t last = QZN_LIKELY(gap >= n) ? lastThreeBytes(data + h + n)
                                               : uint32_t(data[h + (n - 3) % gap]) << 16 |
                                                     uint32_t(data[h + (n - 2) % gap]) << 8 |
                                                     data[h + (n - 1) % gap];
    copyMatch(data + j, data + h, n, len - j);
    return last;
}

// The chunk decoder, built twice (see ContextLz::decodeChunk).
QZN_ALWAYS_INLINE void decodeChunkWith(ContextLz& c, uint8_t* data, int32_t len,
                                       BitReader& reader) {
    QZN_CHECK(len <= c.capacity, kContextLzSource, 489);
    if (len <= 0) return;

    uint32_t pairMemory[256] = {};
    ChunkRings ring(c.rings, c.tableMask);

    HuffmanDecodeTable<kSymbolCount> symbols;
    symbols.build(c.symbolModel);
    BitCursor in(reader.buffer, reader.bitPosition);

    int32_t j = 0;

    // Opening literals.
    for (; j < kOpeningLiterals && j < len; ++j) {
        const uint32_t s = in.symbol(c.symbolModel, symbols);
        QZN_CHECK(s < kLiterals, kContextLzSource, 509);
        ring.append(j == 0 ? 0 : data[j - 1], j);
        data[j] = uint8_t(s);
        in.checkpoint(reader);
    }

    // Token section. `recent` holds the last three output bytes (the oldest in bits 16-23), so
    // the context and the pair memory update need no reloads of bytes just stored.
    //
    // Every token ends in a checkpoint, and so did the last opening literal: each token starts
    // at or below the checkpoint threshold and reads at most kMaxTokenBits, so its reads stay
    // inside the hard bound. The stream bits wait in `window`, `valid` of them from the current
    // position on, topped up without a branch from `next`, the first byte not yet in it: bits
    // above `valid` are either zero or the stream's own, so OR-ing the same bytes in again is
    // harmless. A symbol is looked up before the top-up (at least 14 bits are always there), so
    // the loads of the refill stay off the chain from one symbol to the next.
    static_assert(kMaxTokenBits <= 56);
    static_assert(((kBitCheckpointThreshold + kMaxTokenBits) & ~7u) < kBitHardBound);
    static_assert(kBitCheckpointThreshold / 8 + 24 <= kBitBufferBytes);
    const int32_t tokenEnd = len - kEndMargin;
    const uint8_t* stream = in.buffer;
    const uint8_t* next;
    uint64_t window;
    uint32_t valid;
    auto start = [&](uint32_t position) {
        next = stream + (position >> 3);
        std::memcpy(&window, next, 8);
        window >>= position & 7;
        // Seven whole bytes count; the eighth's bits stay above `valid`.
        valid = 56 - (position & 7);
        next += 7;
    };
    auto refill = [&] {
        uint64_t word;
        std::memcpy(&word, next, 8);
        window |= word << (valid & 63);
        next += 7 - ((valid >> 3) & 7);
        valid |= 56;
    };
    auto position = [&] { return uint32_t(next - stream) * 8 - valid; };
    start(in.position());
    uint32_t recent = 0;
    if (j < tokenEnd)
        recent = uint32_t(data[j - 3]) << 16 | uint32_t(data[j - 2]) << 8 | data[j - 1];
    // A symbol and its extra bits are taken in one step, as the follower takes them; the
    // closing literals' table is built again after the section.
    SectionTables tables(c);
    while (j < tokenEnd) {
        tables.symbols.tick(c.symbolModel);
        // At least 42 bits are valid here, 56 after the refill: the symbol and its extra bits
        // take at most 24 of them, a distance and its extra bits the other 32.
        const uint32_t entry = tables.symbols.lookup(c.symbolModel, uint32_t(window));
        const uint64_t symbolWindow = window;
        refill();
        const uint32_t length = ExtraBitsDecodeTable<kSymbolCount>::bitsTaken(entry);
        window >>= length;
        valid -= length;
        const uint32_t s = ExtraBitsDecodeTable<kSymbolCount>::symbol(entry);
        c.symbolModel.update(s);
        const uint32_t context = recent & 0xFF;
        if (s < kLiterals) {
            ring.append(context, j);
            data[j] = uint8_t(s);
            j += 1;
            recent = (recent << 8 | s) & 0xFFFFFF;
        } else if (s >= kPairNewer) {
            recent = applyPair(ring, pairMemory, data, j, context, s != kPairNewer, recent);
            j += 2;
        } else {
            const int32_t n =
                c.lengthBase[s - kFirstLengthSymbol] +
                int32_t(ExtraBitsDecodeTable<kSymbolCount>::extraValue(entry, symbolWindow)) +
                kMinMatch;
            tables.distances.tick(c.distanceModel);
            const uint32_t distanceEntry =
                tables.distances.lookup(c.distanceModel, uint32_t(window));
            const uint64_t distanceWindow = window;
            const uint32_t distanceLength =
                ExtraBitsDecodeTable<kDistanceSlots>::bitsTaken(distanceEntry);
            window >>= distanceLength;
            valid -= distanceLength;
            refill(); // before the model's update, as the follower does
            const uint32_t d = ExtraBitsDecodeTable<kDistanceSlots>::symbol(distanceEntry);
            c.distanceModel.update(d);
            const uint32_t v =
                uint32_t(c.distanceBase[d]) +
                ExtraBitsDecodeTable<kDistanceSlots>::extraValue(distanceEntry, distanceWindow);
            recent = applyMatch(ring, data, j, n, len, context, v);
            j += n;
        }
        const uint32_t x = recent >> 16;
        pairMemory[x] = (pairMemory[x] << 16) | (recent & 0xFFFF);
        if (QZN_UNLIKELY(position() > kBitCheckpointThreshold)) {
            reader.bitPosition = position();
            reader.loadSegment();
            stream = reader.buffer;
            start(reader.bitPosition);
        }
    }
    in.buffer = stream;
    in.load(position());
    symbols.build(c.symbolModel);

    // Closing literals.
    for (; j < len; ++j) {
        const uint32_t s = in.symbol(c.symbolModel, symbols);
        QZN_CHECK(s < kLiterals, kContextLzSource, 594);
        ring.append(data[j - 1], j);
        data[j] = uint8_t(s);
        in.checkpoint(reader);
    }
    reader.bitPosition = in.position();
    ring.storeHeads(c.rings);
}

QZN_ALWAYS_INLINE void rebuildChunkWith(ContextLz& c, ChunkTokens& chunk, int32_t len) {
    QZN_CHECK(len <= c.capacity, kContextLzSource, 489);
    QZN_CHECK(chunk.bytes.size() >= ChunkTokens::capacityFor(len), kContextLzSource, 489);
    if (len <= 0) return;

    uint8_t* const data = chunk.bytes.get();
    // Where the bound holds for len bytes, however large the buffer is.
    const size_t tokensEnd = ChunkTokens::capacityFor(len) - ChunkTokens::kReadSlack;
    const uint8_t* p = data + tokensEnd - chunk.size;
    std::memmove(data + tokensEnd - chunk.size, data, chunk.size);
    uint32_t pairMemory[256] = {};
    ChunkRings ring(c.rings, c.tableMask);

    int32_t j = 0;
    for (; j < kOpeningLiterals && j < len; ++j) {
        ring.append(j == 0 ? 0 : data[j - 1], j);
        data[j] = p[j];
    }
    p += j;

    // The token section as decodeChunk rebuilds it, token by token, from the recorded runs.
    const int32_t tokenEnd = len - kEndMargin;
    uint32_t recent = 0;
    if (j < tokenEnd)
        recent = uint32_t(data[j - 3]) << 16 | uint32_t(data[j - 2]) << 8 | data[j - 1];
    while (j < tokenEnd) {
        const uint32_t header = *p++;
        const uint32_t run = header >> 2;
        if (run > 0) {
            // A run never passes the section's end, and at most kLongestRun bytes move.
            static_assert(ChunkTokens::kLongestRun <= 64);
            if (QZN_LIKELY(len - j >= 64)) {
                std::memcpy(data + j, p, 32);
                std::memcpy(data + j + 32, p + 32, 32);
            } else {
                std::memcpy(data + j, p, run);
            }
            for (uint32_t i = 0; i < run; ++i) {
                ring.append(recent & 0xFF, j + int32_t(i));
                recent = (recent << 8 | p[i]) & 0xFFFFFF;
                const uint32_t x = recent >> 16;
                pairMemory[x] = (pairMemory[x] << 16) | (recent & 0xFFFF);
            }
            p += run;
            j += int32_t(run);
        }
        const uint32_t kind = header & 3;
        const uint32_t context = recent & 0xFF;
        {
            // The next token: a match after literals has its context in the tokens already.
            const uint8_t* next = p + (kind == ChunkTokens::kMatch ? 3 : 0);
            const uint32_t nextHeader = next[0];
            const uint32_t nextRun = nextHeader >> 2;
            if ((nextHeader & 3) == ChunkTokens::kMatch && nextRun > 0) {
                const uint32_t c = next[nextRun];
                uint32_t word;
                std::memcpy(&word, next + 1 + nextRun, 4);
                QZN_PREFETCH(
                    &ring.entries[c][(ring.appended[c] - ((word >> 11) & 0xFFF)) & ring.mask]);
            }
        }
        if (kind == ChunkTokens::kRun) {
            if (run == 0) return; // the following stopped here
            continue;
        }
        if (kind < ChunkTokens::kMatch) {
            recent =
                applyPair(ring, pairMemory, data, j, context, kind != ChunkTokens::kPair, recent);
            j += 2;
        } else {
            uint32_t word;
            std::memcpy(&word, p, 4);
            p += 3;
            const int32_t n = int32_t(word & 2047) + kMinMatch;
            recent = applyMatch(ring, data, j, n, len, context, (word >> 11) & 0xFFF);
            j += n;
        }
        const uint32_t x = recent >> 16;
        pairMemory[x] = (pairMemory[x] << 16) | (recent & 0xFFFF);
    }

    for (; j < len; ++j) {
        ring.append(data[j - 1], j);
        data[j] = *p++;
    }
    ring.storeHeads(c.rings);
}

QZN_TARGET_BMI2 void decodeChunkBmi2(ContextLz& c, uint8_t* data, int32_t len, BitReader& reader) {
    decodeChunkWith(c, data, len, reader);
}

QZN_TARGET_BMI2 void rebuildChunkBmi2(ContextLz& c, ChunkTokens& chunk, int32_t len) {
    rebuildChunkWith(c, chunk, len);
}

} // namespace

void ContextLz::decodeChunk(uint8_t* data, int32_t len, BitReader& reader) {
    if (useBmi2)
        decodeChunkBmi2(*this, data, len, reader);
    else
        decodeChunkWith(*this, data, len, reader);
}

void ContextLz::rebuildChunk(ChunkTokens& chunk, int32_t len) {
    if (useBmi2)
        rebuildChunkBmi2(*this, chunk, len);
    else
        rebuildChunkWith(*this, chunk, len);
}

} // namespace qzn
