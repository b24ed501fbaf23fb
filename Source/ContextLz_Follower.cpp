// Token follower: reads a chunk's tokens as the block decoder does, advancing both models and the
// reader, without rebuilding a byte; it may record the tokens for a rebuild elsewhere. The models
// depend only on the symbols and the rings and pair memory start empty in every chunk, so the
// chunks after a followed one decode as if it had been decoded in full. The stream is
// untrusted: lengths are bounded by the chunk as the decoder bounds them; what only the bytes
// could tell (a match from an empty slot) is left to the rebuild.
#include "ContextLz.h"
#include "ContextLz_Bits.h"

#include <algorithm>

namespace qzn {

using namespace decoding;

size_t ChunkTokens::capacityFor(int32_t len) {
    // Per chunk byte at most one byte (a literal; a pair takes one byte for two, a match four
    // for at least four), and a run header per kLongestRun literals; see ChunkTokens.
    const size_t bytes = size_t(std::max(len, 0));
    return bytes + bytes / kLongestRun + kMargin + kReadSlack;
}

namespace {

// What a follower that only skips records: nothing.
struct SkipSink {
    void edgeLiteral(uint32_t) {}
    void beginSection() {}
    void literal(uint32_t) {}
    void pair(uint32_t) {}
    void match(int32_t, uint32_t) {}
    void endSection() {}
    void publish() {}
};

// Records into a ChunkTokens buffer, in the layout ChunkTokens describes. A local of the
// follower, so that its pointers stay in registers across the byte stores. The header byte of
// the run being recorded holds a stop until the run is closed, and the follower publishes the
// list's extent before anything that may stop it (damage): so a stopped list ends after the
// last token read whole.
struct RecordSink {
    uint8_t* const bytes;
    size_t& size;
    uint8_t* out;
    uint8_t* head; // nullptr once the section has ended
    uint32_t run = 0;
    uint32_t distanceMask;

    RecordSink(ChunkTokens& tokens, int32_t len, int32_t tableMask)
        : bytes(tokens.bytes.get()), size(tokens.size), out(bytes),
          head(bytes + std::clamp(len, 0, kOpeningLiterals)), distanceMask(uint32_t(tableMask)) {
        *head = ChunkTokens::kStop;
    }

    void edgeLiteral(uint32_t s) { *out++ = uint8_t(s); }
    void beginSection() { head = out++; }
    void open() {
        head = out++;
        *head = ChunkTokens::kStop;
        run = 0;
    }
    void literal(uint32_t s) {
        *out++ = uint8_t(s);
        if (QZN_UNLIKELY(++run == ChunkTokens::kLongestRun)) {
            *head = uint8_t(run << 2 | ChunkTokens::kRun);
            open();
        }
    }
    void pair(uint32_t which) {
        *head = uint8_t(run << 2 | (ChunkTokens::kPair + which));
        open();
    }
    void match(int32_t n, uint32_t v) {
        const uint32_t word = uint32_t(n - kMinMatch) | (v & distanceMask) << 11;
        *head = uint8_t(run << 2 | ChunkTokens::kMatch);
        std::memcpy(out, &word, 4);
        out += 3;
        open();
    }
    void endSection() {
        if (run > 0)
            *head = uint8_t(run << 2 | ChunkTokens::kRun);
        else
            out = head; // the reserved header is not needed
        head = nullptr;
    }
    // Before the section the stop waits where it will begin, past the opening literals.
    void publish() { size = size_t((head != nullptr ? std::max(out, head + 1) : out) - bytes); }
};

// One follower for both: the sink sees each token as the decoder would rebuild it. Built twice,
// as the decoder is (see ContextLz::decodeChunk).
template <typename Sink>
QZN_ALWAYS_INLINE Sink followTokensWith(ContextLz& c, int32_t len, BitReader& reader, Sink sink) {
    QZN_CHECK(len <= c.capacity, kContextLzSource, 489);
    if (len <= 0) return sink;

    HuffmanDecodeTable<kSymbolCount> symbols;
    symbols.build(c.symbolModel);
    BitCursor in(reader.buffer, reader.bitPosition);
    sink.publish();
    int32_t j = 0;
    for (; j < kOpeningLiterals && j < len; ++j) {
        const uint32_t s = in.symbol(c.symbolModel, symbols);
        QZN_CHECK(s < kLiterals, kContextLzSource, 509);
        sink.edgeLiteral(s);
        in.checkpoint(reader);
    }

    // The token section reads the bits the decoder's does (see decodeChunk), a symbol and its
    // extra bits in one step; its symbol lookups build tables of their own, and the closing
    // literals' table is built again after it.
    SectionTables tables(c);
    ExtraBitsDecodeTable<kSymbolCount>& symbolsWithExtra = tables.symbols;
    ExtraBitsDecodeTable<kDistanceSlots>& distances = tables.distances;
    const int32_t tokenEnd = len - kEndMargin;
    sink.beginSection();
    TokenWindow bits(in.buffer, in.position());
    // The symbol model's countdown in a register: the sink's byte stores could alias it, so a
    // countdown left in the model would be reloaded and stored at every symbol. The model has it
    // back before anything that reads it.
    uint32_t countdown = c.symbolModel.rebuildCountdown;
    while (j < tokenEnd) {
        if (QZN_UNLIKELY(--countdown == 0)) {
            c.symbolModel.rebuildCountdown = 1;
            symbolsWithExtra.rebuild(c.symbolModel);
            countdown = c.symbolModel.rebuildCountdown;
        }
        // At least 42 bits are valid here, 56 after the refill: the symbol and its extra bits
        // take at most 24 of them, a distance and its extra bits the other 32.
        const uint32_t entry = symbolsWithExtra.lookup(c.symbolModel, uint32_t(bits.window));
        const uint64_t symbolWindow = bits.window;
        bits.refill();
        bits.take(ExtraBitsDecodeTable<kSymbolCount>::bitsTaken(entry));
        const uint32_t s = ExtraBitsDecodeTable<kSymbolCount>::symbol(entry);
        c.symbolModel.update(s);
        if (s < kLiterals) {
            sink.literal(s);
            j += 1;
        } else if (s >= kPairNewer) {
            sink.pair(s - kPairNewer);
            j += 2;
        } else {
            const int32_t n =
                c.lengthBase[s - kFirstLengthSymbol] +
                int32_t(ExtraBitsDecodeTable<kSymbolCount>::extraValue(entry, symbolWindow)) +
                kMinMatch;
            distances.tick(c.distanceModel);
            const uint32_t distanceEntry = distances.lookup(c.distanceModel, uint32_t(bits.window));
            const uint64_t distanceWindow = bits.window;
            bits.take(ExtraBitsDecodeTable<kDistanceSlots>::bitsTaken(distanceEntry));
            // Topped up before the model's update, whose rare halving is a call: the window in
            // between would otherwise wait for it in memory, on the chain to the next symbol.
            bits.refill();
            const uint32_t d = ExtraBitsDecodeTable<kDistanceSlots>::symbol(distanceEntry);
            c.distanceModel.update(d);
            const uint32_t v =
                uint32_t(c.distanceBase[d]) +
                ExtraBitsDecodeTable<kDistanceSlots>::extraValue(distanceEntry, distanceWindow);
            sink.match(n, v);
            if (QZN_UNLIKELY(n > len - j)) {
                c.symbolModel.rebuildCountdown = countdown;
                sink.publish();
                assertFailed(kContextLzSource, 549);
            }
            j += n;
        }
        if (QZN_UNLIKELY(bits.position() > kBitCheckpointThreshold)) {
            sink.publish();
            bits.checkpoint(reader);
        }
    }
    c.symbolModel.rebuildCountdown = countdown;
    sink.endSection();
    sink.publish();
    in.buffer = bits.stream;
    in.load(bits.position());
    symbols.build(c.symbolModel);

    for (; j < len; ++j) {
        const uint32_t s = in.symbol(c.symbolModel, symbols);
        QZN_CHECK(s < kLiterals, kContextLzSource, 594);
        sink.edgeLiteral(s);
        in.checkpoint(reader);
    }
    reader.bitPosition = in.position();
    sink.publish();
    return sink;
}

template <typename Sink>
QZN_TARGET_BMI2 Sink followTokensBmi2(ContextLz& c, int32_t len, BitReader& reader, Sink sink) {
    return followTokensWith(c, len, reader, sink);
}

template <typename Sink>
Sink followTokens(ContextLz& c, int32_t len, BitReader& reader, Sink sink) {
    return c.useBmi2 ? followTokensBmi2(c, len, reader, sink)
                     : followTokensWith(c, len, reader, sink);
}

} // namespace

void ContextLz::followChunk(int32_t len, BitReader& reader) {
    followTokens(*this, len, reader, SkipSink{});
}

void ContextLz::followChunk(int32_t len, BitReader& reader, ChunkTokens& tokens) {
    QZN_CHECK(tokens.bytes.size() >= ChunkTokens::capacityFor(len), kContextLzSource, 489);
    tokens.size = 0;
    followTokens(*this, len, reader, RecordSink(tokens, len, tableMask));
}

} // namespace qzn
