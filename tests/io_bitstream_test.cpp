#include "IO.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace qzn {
namespace {

using Bytes = std::vector<uint8_t>;

// A writer over a temporary file; bytes() flushes and returns the whole file.
struct WrittenStream {
    FILE* file = std::tmpfile();
    BitWriter writer{file};
    WrittenStream() { writer.openBuffer(); }
    ~WrittenStream() {
        writer.release();
        std::fclose(file);
    }
    Bytes bytes() {
        writer.flush();
        std::fflush(file);
        Bytes all;
        std::rewind(file);
        for (int c; (c = std::fgetc(file)) != EOF;) all.push_back(uint8_t(c));
        return all;
    }
    // The payload of a single segment written so far, without its 4-byte count.
    Bytes payload() {
        Bytes all = bytes();
        return Bytes(all.begin() + 4, all.end());
    }
};

FILE* fileWith(const Bytes& bytes) {
    FILE* file = std::tmpfile();
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

Bytes segmentRecord(uint32_t count, const Bytes& payload) {
    Bytes out(4 + payload.size());
    for (int i = 0; i < 4; ++i) out[size_t(i)] = uint8_t(count >> (8 * i));
    std::copy(payload.begin(), payload.end(), out.begin() + 4);
    return out;
}

TEST(BitWriter, VarintWorkedExamples) {
    struct Case {
        uint64_t value;
        uint32_t bits;
        Bytes bytes;
    } cases[] = {
        {0, 4, {0x00}},
        {5, 4, {0x0a}},
        {8, 6, {0x01}},
        {24, 8, {0x43}},
        {1000, 18, {0x7f, 0xe8, 0x01}},
        {uint64_t(1) << 32, 62, {0xff, 0xff, 0xff, 0x1f, 0x00, 0x00, 0x00, 0x20}},
    };
    for (const Case& c : cases) {
        WrittenStream s;
        s.writer.putVarint(c.value);
        EXPECT_EQ(s.writer.bitPosition, c.bits) << c.value;
        EXPECT_EQ(s.payload(), c.bytes) << c.value;
    }
}

TEST(BitWriter, PutAndPut32AreLeastSignificantBitFirst) {
    {
        WrittenStream s;
        s.writer.put(0x1234, 16);
        s.writer.put(5, 3);
        EXPECT_EQ(s.payload(), (Bytes{0x34, 0x12, 0x05}));
    }
    {
        WrittenStream s;
        s.writer.put32(0x12345678);
        EXPECT_EQ(s.payload(), (Bytes{0x78, 0x56, 0x34, 0x12}));
    }
}

TEST(BitWriter, FlushWritesLengthPrefixedSegments) {
    WrittenStream s;
    for (int i = 0; i < 8; ++i) s.writer.put(1, 1);
    s.writer.flush();
    // A flush with nothing written still writes a record, with count 0.
    EXPECT_EQ(s.bytes(), (Bytes{0x01, 0x00, 0x00, 0x00, 0xff, 0x00, 0x00, 0x00, 0x00}));
}

TEST(BitWriter, CheckpointClosesTheSegmentOnlyPastTheThreshold) {
    WrittenStream s;
    // 4186111 bits: 261631 full 16-bit puts and 15 more bits.
    for (int i = 0; i < 261631; ++i) s.writer.put(0xFFFF, 16);
    s.writer.put(0x7FFF, 15);
    ASSERT_EQ(s.writer.bitPosition, 4186111u);
    s.writer.checkpoint();
    EXPECT_EQ(s.writer.bitPosition, 4186111u);
    s.writer.put(1, 1);
    s.writer.checkpoint();
    EXPECT_EQ(s.writer.bitPosition, 0u);
    Bytes all = s.bytes();
    ASSERT_GE(all.size(), 4u);
    uint32_t count = all[0] | all[1] << 8 | all[2] << 16 | uint32_t(all[3]) << 24;
    EXPECT_EQ(count, 523264u);
    // The closing flush after it writes an empty record; the buffer was cleared.
    EXPECT_EQ(all.size(), 4u + 523264u + 4u);
    EXPECT_EQ(all.back(), 0);
}

TEST(BitWriter, RejectsValuesWiderThanTheirCount) {
    WrittenStream s;
    EXPECT_ASSERT_STOP(s.writer.put(16, 4), "Source/IO.cpp", 130);
    EXPECT_ASSERT_STOP(s.writer.putVarint(uint64_t(3) << 62), "Source/IO.cpp", 263);
}

TEST(BitWriter, StopsAtTheHardBound) {
    WrittenStream s;
    s.writer.bitPosition = kBitHardBound; // as if 8160 bits had been written past the threshold
    EXPECT_ASSERT_STOP(s.writer.put(1, 1), "Source/IO.cpp", 132);
    s.writer.bitPosition = 0;
}

TEST(BitWriter, OpeningTwiceIsAnAssertion) {
    WrittenStream s;
    EXPECT_ASSERT_STOP(s.writer.openBuffer(), "Source/IO.cpp", 97);
}

TEST(BitStream, VarintRoundTripsAcrossEveryRange) {
    std::vector<uint64_t> values = {0,
                                    7,
                                    8,
                                    23,
                                    24,
                                    47,
                                    48,
                                    95,
                                    96,
                                    191,
                                    1000,
                                    uint64_t(1) << 32,
                                    (uint64_t(1) << 63),
                                    (uint64_t(3) << 62) - 1};
    for (int k = 0; k < 62; ++k) {
        values.push_back(uint64_t(1) << k);
        values.push_back((uint64_t(1) << k) + 3);
    }
    WrittenStream s;
    for (uint64_t v : values) {
        s.writer.putVarint(v);
        s.writer.put(5, 3); // a marker keeps the decoder honest about where each value ends
        s.writer.checkpoint();
    }
    Bytes all = s.bytes();
    FILE* file = fileWith(all);
    BitReader reader(file);
    reader.openBuffer();
    reader.loadSegment();
    for (uint64_t v : values) {
        EXPECT_EQ(reader.getVarint(), v);
        EXPECT_EQ(reader.get(3), 5u);
        reader.checkpoint();
    }
    reader.release();
    std::fclose(file);
}

TEST(BitStream, ValuesAndSegmentsRoundTrip) {
    WrittenStream s;
    uint32_t seed = 1;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    std::vector<std::pair<uint32_t, uint32_t>> written;
    for (int i = 0; i < 700000; ++i) { // enough to cross two segments
        uint32_t n = 1 + next() % 16;
        uint32_t v = next() & ((1u << n) - 1);
        s.writer.put(v, n);
        written.push_back({v, n});
        s.writer.checkpoint();
    }
    Bytes all = s.bytes();
    FILE* file = fileWith(all);
    BitReader reader(file);
    reader.openBuffer();
    reader.loadSegment();
    for (auto [v, n] : written) {
        ASSERT_EQ(reader.get(n), v);
        reader.checkpoint();
    }
    // Past the last segment everything reads as zero.
    reader.loadSegment();
    reader.loadSegment();
    EXPECT_EQ(reader.get32(), 0u);
    EXPECT_EQ(reader.getVarint(), 0u);
    std::fclose(file);
}

TEST(BitReader, AcceptsFullSegmentsAndRejectsLarger) {
    {
        FILE* file = fileWith(segmentRecord(524288, Bytes(524288, 0xAB)));
        BitReader reader(file);
        reader.openBuffer();
        reader.loadSegment();
        EXPECT_EQ(reader.size, 524288u);
        EXPECT_EQ(reader.get(8), 0xABu);
        std::fclose(file);
    }
    {
        FILE* file = fileWith(segmentRecord(524289, Bytes(16, 0xAB)));
        BitReader reader(file);
        reader.openBuffer();
        EXPECT_ASSERT_STOP(reader.loadSegment(), "Source/IO.cpp", 77);
        std::fclose(file);
    }
}

TEST(BitReader, ShortFilesReadAsZeros) {
    // A count that promises more than the file holds, and a truncated count.
    for (const Bytes& data : {segmentRecord(100, Bytes{0xFF, 0x01}), Bytes{0x05, 0x00}, Bytes{}}) {
        FILE* file = fileWith(data);
        BitReader reader(file);
        reader.openBuffer();
        reader.loadSegment();
        reader.get(16);
        for (int i = 0; i < 10; ++i) EXPECT_EQ(reader.get32(), 0u);
        std::fclose(file);
    }
}

TEST(BitReader, StopsAtTheHardBoundInsteadOfReadingOutside) {
    FILE* file = fileWith(segmentRecord(4, Bytes{1, 2, 3, 4}));
    BitReader reader(file);
    reader.openBuffer();
    reader.loadSegment();
    reader.bitPosition = kBitHardBound - 8;
    reader.get(8); // the last byte that may be read alone
    EXPECT_ASSERT_STOP(reader.get(1), "Source/IO.cpp", 184);
    std::fclose(file);
}

TEST(BitReader, ReleaseTwiceIsHarmless) {
    BitReader reader;
    reader.openBuffer();
    reader.release();
    reader.release();
    EXPECT_EQ(reader.buffer, nullptr);
    EXPECT_EQ(reader.size, 0u);
}

} // namespace
} // namespace qzn

namespace qzn {
namespace {

TEST(BitReader, NotesWhenTheArchiveEndsBeforeItsData) {
    Bytes whole = segmentRecord(2, Bytes{7, 9});
    FILE* file = fileWith(whole);
    BitReader reader(file);
    reader.openBuffer();
    reader.loadSegment();
    EXPECT_FALSE(reader.truncated);
    reader.loadSegment(); // nothing follows
    EXPECT_TRUE(reader.truncated);
    std::fclose(file);

    file = fileWith(segmentRecord(10, Bytes{7, 9}));
    BitReader cut(file);
    cut.openBuffer();
    cut.loadSegment();
    EXPECT_TRUE(cut.truncated);
    EXPECT_EQ(cut.get(16), 0x0907u);
    std::fclose(file);
}

} // namespace
} // namespace qzn
