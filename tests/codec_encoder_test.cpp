// Chunk encoder: worked examples decoded symbol by symbol, the assertion on oversized chunks, and
// a bit-for-bit comparison with a plain, unoptimised transcription of the parse rules.
#include "CodecSupport.h"
#include "ContextLz.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace qzn {
namespace {

// ---- A writer on a temporary file, and a reader of the symbols it received -------------------

struct TempStream {
    FILE* file = std::tmpfile();
    BitWriter writer{file};
    TempStream() { writer.openBuffer(); }
    ~TempStream() {
        writer.release();
        std::fclose(file);
    }
    std::vector<uint8_t> finish() {
        writer.flush();
        std::vector<uint8_t> bytes(size_t(std::ftell(file)));
        std::rewind(file);
        EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), file), bytes.size());
        return bytes;
    }
};

// Mirrors the models of a freshly allocated codec and reads one segment's symbols back.
struct SymbolReader {
    BitReader reader;
    HuffmanCoder<289> symbols;
    HuffmanCoder<60> distances;
    explicit SymbolReader(const BitWriter& writer) {
        reader.openBuffer();
        std::memcpy(reader.buffer, writer.buffer, (writer.bitPosition + 7) / 8);
        symbols.reset();
        distances.reset();
    }
    uint32_t symbol() {
        symbols.tick();
        uint32_t s = symbols.decode(reader);
        symbols.update(s);
        return s;
    }
    uint32_t distanceSlot() {
        distances.tick();
        uint32_t s = distances.decode(reader);
        distances.update(s);
        return s;
    }
    uint32_t bits(uint32_t n) { return reader.get(n); }
};

using testing::kLevels;
using testing::Level;
using testing::mixedData;
using testing::ReferenceEncoder;

std::vector<uint8_t> bytesOf(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

struct Encoder {
    ContextLz codec;
    TempStream stream;
    Encoder(uint32_t tableBits, uint32_t hashBits, uint32_t windowBits) {
        codec.configure(tableBits, hashBits, windowBits);
        codec.allocateEncoder();
    }
    void encode(const std::vector<uint8_t>& data, const Level& level) {
        codec.encodeChunk(data.data(), int32_t(data.size()), stream.writer, level.chainLimit,
                          level.lookaheadLimit, level.parseMode);
    }
};

// ---- Worked examples --------------------------------------------------------------------------

TEST(EncodeChunk, EmptyChunkWritesNothing) {
    Encoder e(12, 13, 16);
    const uint32_t countdown = e.codec.symbolModel.rebuildCountdown;
    for (const Level& level : kLevels) e.encode({}, level);
    EXPECT_EQ(e.stream.writer.bitPosition, 0u);
    EXPECT_EQ(e.codec.symbolModel.rebuildCountdown, countdown);
}

TEST(EncodeChunk, ShortChunksAreLiteralsOnly) {
    for (int len = 1; len <= 12; ++len) {
        for (int kind = 0; kind < 2; ++kind) {
            std::vector<uint8_t> data = kind == 0 ? std::vector<uint8_t>(size_t(len), 0)
                                                  : bytesOf(std::string("abababababab", len));
            Encoder e(12, 13, 16);
            e.encode(data, kLevels[5]);
            SymbolReader r(e.stream.writer);
            for (int i = 0; i < len; ++i) EXPECT_EQ(r.symbol(), data[i]) << len << " " << i;
            EXPECT_EQ(r.reader.bitPosition, e.stream.writer.bitPosition);
        }
    }
}

TEST(EncodeChunk, ThirteenZerosCodeAPairNewer) {
    for (const Level& level : kLevels) {
        Encoder e(12, 13, 16);
        e.encode(std::vector<uint8_t>(13, 0), level);
        SymbolReader r(e.stream.writer);
        const uint32_t expected[12] = {0, 0, 0, 0, 287, 0, 0, 0, 0, 0, 0, 0};
        for (uint32_t s : expected) EXPECT_EQ(r.symbol(), s);
        EXPECT_EQ(r.reader.bitPosition, e.stream.writer.bitPosition);
    }
}

TEST(EncodeChunk, PeriodicTextAtLevelOneIsOneMatch) {
    // Position 4 has an empty context ('d'); position 5 repeats position 1 under context 'a'.
    std::vector<uint8_t> data;
    for (int i = 0; i < 10; ++i) data.insert(data.end(), {'a', 'b', 'c', 'd'});
    Encoder e(12, 13, 16);
    e.encode(data, kLevels[0]);
    SymbolReader r(e.stream.writer);
    for (uint32_t s : {'a', 'b', 'c', 'd', 'a'}) EXPECT_EQ(r.symbol(), s);
    EXPECT_EQ(r.symbol(), 256u + 13); // length 27: slot 13, base 20, 2 extra bits
    EXPECT_EQ(r.bits(2), 3u);
    EXPECT_EQ(r.distanceSlot(), 1u);                              // distance 1, no extra bits
    for (int i = 32; i < 40; ++i) EXPECT_EQ(r.symbol(), data[i]); // closing literals
    EXPECT_EQ(r.reader.bitPosition, e.stream.writer.bitPosition);
}

TEST(EncodeChunk, QuickCheckDropsShortMatchesButNotLongOnes) {
    std::vector<uint8_t> data;
    for (int i = 0; i < 10; ++i) data.insert(data.end(), {'a', 'b', 'c', 'd'});
    {
        // At level 2 the match of 27 at position 5 is dropped: position 6 repeats position 2
        // and covers the 4 bytes beyond it. No pair is known for 'a', so 'b' is a literal.
        Encoder e(12, 13, 16);
        e.encode(data, kLevels[1]);
        SymbolReader r(e.stream.writer);
        for (uint32_t s : {'a', 'b', 'c', 'd', 'a', 'b'}) EXPECT_EQ(r.symbol(), s);
    }
    for (int i = 0; i < 90; ++i) data.insert(data.end(), {'a', 'b', 'c', 'd'});
    for (int level = 1; level < 6; ++level) {
        // 400 bytes: the match at 5 is 387 long, beyond the look-ahead band, taken at once.
        Encoder e(12, 13, 16);
        e.encode(data, kLevels[level]);
        SymbolReader r(e.stream.writer);
        for (uint32_t s : {'a', 'b', 'c', 'd', 'a'}) EXPECT_EQ(r.symbol(), s);
        EXPECT_EQ(r.symbol(), 256u + 28); // slot 28: base 256, 8 extra bits
        EXPECT_EQ(r.bits(8), 387u - 4 - 256);
        EXPECT_EQ(r.distanceSlot(), 1u);
    }
}

TEST(EncodeChunk, OversizedChunkIsAnAssertion) {
    Encoder e(12, 13, 16);
    std::vector<uint8_t> data(65537, 0);
    EXPECT_ASSERT_STOP(e.encode(data, kLevels[0]), kContextLzSource, 315);
}

// ---- The plain parse ------------------------------------------------------------------------

struct Setting {
    uint32_t tableBits, hashBits, windowBits;
};

TEST(EncodeChunk, MatchesThePlainParseBitForBit) {
    const Setting settings[] = {{12, 13, 17}, {7, 7, 16}, {9, 11, 16}, {12, 17, 18}};
    std::vector<std::vector<uint8_t>> chunks = {mixedData(70000, 1),
                                                testing::textLikeBytes(40000, 2),
                                                mixedData(131072, 3),
                                                std::vector<uint8_t>(20000, 0),
                                                testing::randomBytes(30000, 4),
                                                mixedData(13, 5),
                                                mixedData(21, 6)};
    for (const Setting& s : settings) {
        for (int level = 0; level < 6; ++level) {
            Encoder fast(s.tableBits, s.hashBits, s.windowBits);
            TempStream plainStream;
            ReferenceEncoder plain(s.tableBits, s.hashBits, s.windowBits);
            for (const auto& chunk : chunks) {
                if (chunk.size() > (size_t(1) << s.windowBits)) continue;
                fast.encode(chunk, kLevels[level]);
                plain.encodeChunk(chunk.data(), int32_t(chunk.size()), plainStream.writer,
                                  kLevels[level]);
            }
            EXPECT_EQ(fast.stream.finish(), plainStream.finish())
                << "table " << s.tableBits << " hash " << s.hashBits << " level " << level + 1;
        }
    }
}

TEST(EncodeChunk, SkippingReachesItsLargestStepAndRecovers) {
    // 128 misses at each step from 1 to 4096 take about a megabyte of noise; text follows.
    std::vector<uint8_t> chunk = testing::randomBytes(1300000, 7);
    std::vector<uint8_t> text = testing::textLikeBytes(200000, 8);
    chunk.insert(chunk.end(), text.begin(), text.end());
    for (int level : {0, 3}) {
        Encoder fast(12, 13, 21);
        TempStream plainStream;
        ReferenceEncoder plain(12, 13, 21);
        fast.encode(chunk, kLevels[level]);
        plain.encodeChunk(chunk.data(), int32_t(chunk.size()), plainStream.writer, kLevels[level]);
        EXPECT_EQ(fast.stream.finish(), plainStream.finish()) << "level " << level + 1;
    }
}

} // namespace
} // namespace qzn
