// Adaptive coding: decode tables, bit placement, the rebuild schedule, halving, and writer and
// reader coders kept in lockstep through a real bit stream.
#include "Entropy_Huffman.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace qzn {
namespace {

template <int N> std::unique_ptr<HuffmanCoder<N>> makeReset() {
    auto coder = std::make_unique<HuffmanCoder<N>>();
    coder->reset();
    return coder;
}

// Both tables against a brute-force search over all codes.
template <int N> void expectDecodeTables(const HuffmanCoder<N>& coder) {
    for (uint32_t x = 0; x < 256; ++x) {
        int shortMatch = -1, longMatches = 0;
        for (int s = 0; s < N; ++s) {
            uint32_t length = coder.lengths[s];
            uint32_t prefix = length <= 8 ? length : 8;
            if ((x & ((1u << prefix) - 1)) != (coder.codes[s] & ((1u << prefix) - 1))) continue;
            if (length <= 8)
                shortMatch = s;
            else
                ++longMatches;
        }
        if (shortMatch >= 0) {
            ASSERT_EQ(coder.fastTable[x], shortMatch) << "fast " << x;
            ASSERT_EQ(longMatches, 0);
        } else {
            ASSERT_EQ(coder.fastTable[x], 0xFFFF) << "fast " << x;
            ASSERT_GT(longMatches, 0);
        }
    }
    for (uint32_t y = 0; y < 16384; ++y) {
        uint32_t s = coder.fullTable[y];
        ASSERT_LT(s, uint32_t(N)) << "full " << y;
        ASSERT_EQ(y & ((1u << coder.lengths[s]) - 1), coder.codes[s]) << "full " << y;
    }
}

// A file of segments: written by one BitWriter, read back by one BitReader.
struct Stream {
    FILE* file = std::tmpfile();
    BitWriter writer{file};
    BitReader reader{file};
    Stream() { writer.openBuffer(); }
    ~Stream() {
        writer.release();
        reader.release();
        std::fclose(file);
    }
    void startReading() {
        writer.flush();
        std::rewind(file);
        reader.openBuffer();
        reader.loadSegment();
    }
};

TEST(HuffmanTables, ResetTablesOfEveryAlphabet) {
    auto c256 = makeReset<256>();
    auto c289 = makeReset<289>();
    auto c60 = makeReset<60>();
    expectDecodeTables(*c256);
    expectDecodeTables(*c289);
    expectDecodeTables(*c60);

    int empty256 = 0, empty289 = 0;
    for (int x = 0; x < 256; ++x) {
        empty256 += c256->fastTable[x] == 0xFFFF;
        empty289 += c289->fastTable[x] == 0xFFFF;
    }
    EXPECT_EQ(empty256, 0);
    EXPECT_EQ(empty289, 33); // 8-bit prefixes of the 66 nine-bit codes
}

TEST(HuffmanEncode, ResetCodesAsBytes) {
    struct Case {
        uint32_t symbol;
        uint8_t byte;
    };
    for (Case c : {Case{254, 0x80}, Case{1, 0x7F}, Case{255, 0x00}}) {
        auto coder = makeReset<256>();
        BitWriter writer;
        writer.openBuffer(); // an empty, zeroed buffer
        coder->encode(c.symbol, writer);
        EXPECT_EQ(writer.bitPosition, 8u);
        EXPECT_EQ(writer.buffer[0], c.byte) << "symbol " << c.symbol;
    }
}

TEST(HuffmanEncode, SymbolOutsideTheAlphabetIsAnAssertion) {
    BitWriter writer;
    writer.openBuffer();
    auto c289 = makeReset<289>();
    auto c60 = makeReset<60>();
    auto c256 = makeReset<256>();
    EXPECT_ASSERT_STOP(c289->encode(289, writer), "Source/Entropy_Huffman.cpp", 213);
    EXPECT_ASSERT_STOP(c60->encode(60, writer), "Source/Entropy_Huffman.cpp", 213);
    EXPECT_ASSERT_STOP(c256->encode(0xFFFFFFFFu, writer), "Source/Entropy_Huffman.cpp", 213);
    EXPECT_EQ(writer.bitPosition, 0u);
}

// Every symbol of each reset code reads back; the 9-bit codes of N = 289 take the second
// lookup, the 8-bit ones do not.
template <int N> void roundTripEverySymbol() {
    auto writing = makeReset<N>();
    auto reading = makeReset<N>();
    Stream stream;
    for (int s = 0; s < N; ++s) writing->encode(uint32_t(s), stream.writer);
    for (int s = N - 1; s >= 0; --s) writing->encode(uint32_t(s), stream.writer);
    stream.startReading();
    for (int s = 0; s < N; ++s) {
        uint32_t before = stream.reader.bitPosition;
        ASSERT_EQ(reading->decode(stream.reader), uint32_t(s));
        ASSERT_EQ(stream.reader.bitPosition - before, reading->lengths[s]);
    }
    for (int s = N - 1; s >= 0; --s) ASSERT_EQ(reading->decode(stream.reader), uint32_t(s));
}

TEST(HuffmanDecode, ResetCodesRoundTrip) {
    roundTripEverySymbol<256>();
    roundTripEverySymbol<289>();
    roundTripEverySymbol<60>();

    auto coder = makeReset<289>();
    EXPECT_EQ(coder->fastTable[coder->codes[66]], 66);            // 8 bits: first level
    EXPECT_EQ(coder->fastTable[coder->codes[65] & 0xFF], 0xFFFF); // 9 bits: second level
    EXPECT_EQ(coder->fullTable[coder->codes[65]], 65);
}

TEST(HuffmanDecode, ArbitraryBitsDecodeToSymbolsOfTheAlphabet) {
    auto coder = makeReset<60>();
    for (int s = 0; s < 20; ++s) coder->counts[s] = uint16_t(1u << (s % 15)); // long codes
    coder->buildCode();
    coder->buildDecodeTables();
    ASSERT_GT(coder->lookupBits, 8);
    BitReader reader;
    reader.openBuffer();
    std::mt19937 random(11);
    for (uint32_t i = 0; i < 4096; ++i) reader.buffer[i] = uint8_t(random());
    while (reader.bitPosition < 4000 * 8) {
        uint32_t before = reader.bitPosition;
        uint32_t s = coder->decode(reader);
        ASSERT_LT(s, 60u);
        ASSERT_EQ(reader.bitPosition - before, coder->lengths[s]);
    }
}

TEST(HuffmanDecode, HardBoundIsTestedBeforeReading) {
    auto coder = makeReset<289>();
    BitReader reader;
    reader.openBuffer();
    reader.bitPosition = 0x3FFFDF; // rounds down to 0x3FFFD8: still inside
    EXPECT_LT(coder->decode(reader), 289u);
    reader.bitPosition = 0x3FFFE0;
    EXPECT_ASSERT_STOP(coder->decode(reader), kIoSource, 184);
    EXPECT_ASSERT_STOP(coder->decode(reader, 162), kIoSource, 162);
    EXPECT_EQ(reader.bitPosition, 0x3FFFE0u);
}

TEST(HuffmanSchedule, SymbolFiveHundredTwelveUsesTheCountsAfter511Updates) {
    auto coder = makeReset<289>();
    auto resetCode = makeReset<289>();
    std::mt19937 random(5);
    BitWriter writer;
    writer.openBuffer();
    auto next = [&] { return uint32_t(random() % 8 == 0 ? random() % 289 : 200 + random() % 5); };
    for (int i = 1; i <= 511; ++i) {
        coder->tick();
        ASSERT_TRUE(std::equal(coder->codes, coder->codes + 289, resetCode->codes)) << i;
        ASSERT_TRUE(std::equal(coder->lengths, coder->lengths + 289, resetCode->lengths)) << i;
        uint32_t s = next();
        coder->encode(s, writer);
        coder->update(s);
    }
    auto expected = std::make_unique<HuffmanCoder<289>>(*coder);
    expected->buildCode();

    coder->tick(); // symbol 512
    EXPECT_TRUE(std::equal(coder->codes, coder->codes + 289, expected->codes));
    EXPECT_TRUE(std::equal(coder->lengths, coder->lengths + 289, expected->lengths));
    EXPECT_FALSE(std::equal(coder->lengths, coder->lengths + 289, resetCode->lengths));
    EXPECT_EQ(coder->fullTable[expected->codes[202]], 202);
    EXPECT_EQ(coder->rebuildInterval, 1024u);
    EXPECT_EQ(coder->rebuildCountdown, 1024u);

    uint32_t position = writer.bitPosition;
    coder->encode(202, writer);
    EXPECT_EQ(writer.bitPosition - position, expected->lengths[202]);
}

TEST(HuffmanSchedule, IntervalDoublesToItsCapAndStays) {
    auto coder = makeReset<60>();
    std::vector<uint64_t> rebuildAt;
    std::vector<uint32_t> intervalAfter;
    for (uint64_t symbol = 1; rebuildAt.size() < 12; ++symbol) {
        uint32_t countdown = coder->rebuildCountdown;
        coder->tick();
        if (countdown == 1) {
            rebuildAt.push_back(symbol);
            intervalAfter.push_back(coder->rebuildInterval);
            EXPECT_EQ(coder->rebuildCountdown, coder->rebuildInterval);
        }
        coder->update(uint32_t(symbol * 7 % 60));
    }
    uint64_t at = 0, interval = 512;
    for (size_t k = 0; k < rebuildAt.size(); ++k) {
        at += interval;
        EXPECT_EQ(rebuildAt[k], at) << "rebuild " << k + 1;
        interval = interval < 262144 ? interval * 2 : interval;
        EXPECT_EQ(intervalAfter[k], interval) << "rebuild " << k + 1;
    }
    EXPECT_EQ(rebuildAt[0], 512u);
    EXPECT_EQ(rebuildAt[3], 7680u);
    EXPECT_EQ(intervalAfter[7], 131072u);
    EXPECT_EQ(intervalAfter[8], 262144u); // ninth rebuild
    EXPECT_EQ(intervalAfter[11], 262144u);
}

TEST(HuffmanUpdate, HalvingAt16384WithoutRebuild) {
    auto coder = makeReset<60>();
    coder->counts[5] = 16382;
    coder->counts[7] = 3;
    coder->counts[9] = 2;
    auto before = std::make_unique<HuffmanCoder<60>>(*coder);
    coder->update(5);
    EXPECT_EQ(coder->counts[5], 16383);
    coder->update(5);
    EXPECT_EQ(coder->counts[5], 8192);
    EXPECT_EQ(coder->counts[7], 1);
    EXPECT_EQ(coder->counts[9], 1);
    EXPECT_EQ(coder->counts[0], 1);
    EXPECT_TRUE(std::equal(coder->codes, coder->codes + 60, before->codes));
    EXPECT_EQ(std::memcmp(coder->fullTable, before->fullTable, sizeof(before->fullTable)), 0);
    EXPECT_EQ(coder->rebuildCountdown, before->rebuildCountdown);
}

// A skewed source whose shape and favourites change every phase: steep geometric tails (which
// need the length limit), one dominant symbol (halvings), near-uniform subsets.
std::vector<uint32_t> changingStream(int n, size_t length, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint32_t> symbols;
    symbols.reserve(length);
    std::vector<uint32_t> rank(n);
    for (int s = 0; s < n; ++s) rank[s] = uint32_t(s);
    while (symbols.size() < length) {
        std::shuffle(rank.begin(), rank.end(), random);
        size_t phase = 20000 + random() % 60000;
        int shape = int(random() % 4);
        double ratio = shape == 0 ? 0.5 : shape == 1 ? 0.8 : 0.95;
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (size_t i = 0; i < phase && symbols.size() < length; ++i) {
            uint32_t r;
            if (shape == 3) {
                r = unit(random) < 0.97 ? 0 : uint32_t(random() % n);
            } else {
                r = 0;
                while (r + 1 < uint32_t(n) && unit(random) > 1.0 - ratio) ++r;
            }
            symbols.push_back(rank[r]);
        }
    }
    return symbols;
}

// Everything the two sides must agree on, besides the tables (compared at the end).
template <int N> uint64_t stateDigest(const HuffmanCoder<N>& coder) {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    auto mix = [&h](const void* data, size_t bytes) {
        const auto* p = static_cast<const uint8_t*>(data);
        for (size_t i = 0; i < bytes; i += 8) {
            uint64_t word = 0;
            std::memcpy(&word, p + i, bytes - i < 8 ? bytes - i : 8);
            h = (h ^ word) * 0xFF51AFD7ED558CCDull;
            h ^= h >> 29;
        }
    };
    mix(coder.codes, sizeof(coder.codes));
    mix(coder.lengths, sizeof(coder.lengths));
    mix(coder.order, sizeof(coder.order));
    mix(coder.counts, sizeof(coder.counts));
    uint32_t scalars[3] = {uint32_t(coder.lookupBits), coder.rebuildInterval,
                           coder.rebuildCountdown};
    mix(scalars, sizeof(scalars));
    return h;
}

// Raw bits between the symbols, as a codec writes extra bits after its slots; they also carry the
// stream across segment boundaries.
uint32_t extraBits(size_t i) {
    return uint32_t(i % 11);
}
uint32_t extraValue(size_t i, uint32_t n) {
    return uint32_t(i * 2654435761u) & ((1u << n) - 1);
}

template <int N> void lockstepRoundTrip(uint32_t seed) {
    const size_t length = 600000; // past the tenth rebuild (symbol 523776)
    std::vector<uint32_t> symbols = changingStream(N, length, seed);
    Stream stream;
    auto writing = makeReset<N>();
    std::vector<uint64_t> digests;
    digests.reserve(length);
    int rebuilds = 0, limitedBuilds = 0, halvings = 0, segments = 0;
    for (size_t i = 0; i < length; ++i) {
        uint32_t s = symbols[i];
        bool rebuild = writing->rebuildCountdown == 1;
        std::vector<uint16_t> countsBefore;
        if (rebuild) countsBefore.assign(writing->counts, writing->counts + N);
        writing->tick();
        if (rebuild) {
            ++rebuilds;
            if (!std::equal(countsBefore.begin(), countsBefore.end(), writing->counts))
                ++limitedBuilds;
            ASSERT_NO_FATAL_FAILURE(expectDecodeTables(*writing)) << "symbol " << i;
        }
        writing->encode(s, stream.writer);
        uint16_t count = writing->counts[s];
        writing->update(s);
        if (writing->counts[s] < count) ++halvings;
        if (uint32_t n = extraBits(i)) stream.writer.put(extraValue(i, n), n);
        uint32_t position = stream.writer.bitPosition;
        stream.writer.checkpoint();
        if (stream.writer.bitPosition < position) ++segments;
        digests.push_back(stateDigest(*writing));
    }
    EXPECT_EQ(rebuilds, 10);
    EXPECT_EQ(writing->rebuildInterval, 262144u);
    EXPECT_GE(limitedBuilds, 1);
    EXPECT_GE(halvings, 3);
    EXPECT_GE(segments, 1);

    stream.startReading();
    auto reading = makeReset<N>();
    for (size_t i = 0; i < length; ++i) {
        reading->tick();
        uint32_t s = reading->decode(stream.reader);
        reading->update(s);
        if (s != symbols[i]) FAIL() << "symbol " << i << ": " << s << " != " << symbols[i];
        if (uint32_t n = extraBits(i)) {
            if (stream.reader.get(n) != extraValue(i, n)) FAIL() << "extra bits " << i;
        }
        stream.reader.checkpoint();
        if (stateDigest(*reading) != digests[i]) FAIL() << "state differs after symbol " << i;
    }
    EXPECT_EQ(std::memcmp(writing.get(), reading.get(), sizeof(HuffmanCoder<N>)), 0);
}

TEST(HuffmanLockstep, WriterAndReaderStayIdentical256) {
    lockstepRoundTrip<256>(101);
}
TEST(HuffmanLockstep, WriterAndReaderStayIdentical289) {
    lockstepRoundTrip<289>(202);
}
TEST(HuffmanLockstep, WriterAndReaderStayIdentical60) {
    lockstepRoundTrip<60>(303);
}

} // namespace
} // namespace qzn
