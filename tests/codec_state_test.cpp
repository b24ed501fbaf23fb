#include "ContextLz.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>

namespace qzn {
namespace {

std::unique_ptr<ContextLz> configured(uint32_t tableBits, uint32_t hashBits, uint32_t windowBits) {
    auto codec = std::make_unique<ContextLz>();
    codec->configure(tableBits, hashBits, windowBits);
    return codec;
}

TEST(CodecState, ConfigureDerivesSizesAndMasks) {
    auto codec = configured(12, 13, 23);
    EXPECT_EQ(codec->block, nullptr);
    EXPECT_EQ(codec->tableSize, 4096);
    EXPECT_EQ(codec->tableMask, 4095);
    EXPECT_EQ(codec->hashSize, 8192);
    EXPECT_EQ(codec->hashMask, 8191);
    EXPECT_EQ(codec->capacity, 1 << 23);
    EXPECT_EQ(codec->positionMask, (1 << 23) - 1);
    EXPECT_EQ(codec->tableBits, 12u);
    EXPECT_EQ(codec->hashBits, 13u);
    EXPECT_EQ(codec->windowBits, 23u);
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(codec->tables[c].entries, nullptr);
        EXPECT_EQ(codec->rings[c].entries, nullptr);
    }
    // Models are fresh: the all-counts-one code of 289 symbols is 8 or 9 bits long.
    EXPECT_EQ(codec->symbolModel.lookupBits, 9);
    EXPECT_EQ(codec->distanceModel.lookupBits, 8);
}

struct BlockCase {
    uint32_t tableBits, hashBits;
    uint64_t encoderBytes, decoderBytes;
};

TEST(CodecState, BlockSizes) {
    const BlockCase cases[] = {
        {12, 13, 10485760, 4194304}, {7, 7, 262144, 131072}, {12, 17, 73400320, 4194304}};
    for (const BlockCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.tableBits << "/" << c.hashBits);
        auto encoder = configured(c.tableBits, c.hashBits, 23);
        EXPECT_EQ(encoder->allocateEncoder(), c.encoderBytes + sizeof(ContextLz));
        auto decoder = configured(c.tableBits, c.hashBits, 23);
        EXPECT_EQ(decoder->allocateDecoder(), c.decoderBytes + sizeof(ContextLz));
    }
}

TEST(CodecState, EncoderBlockIsCarvedPerContextInOrder) {
    auto codec = configured(7, 8, 16);
    const uint64_t bytes = codec->allocateEncoder() - sizeof(ContextLz);
    const size_t stride = 4 * 128 + 2 * 256 + 2 * 128;
    for (int c = 0; c < 256; ++c) {
        const ContextTable& t = codec->tables[c];
        uint8_t* base = codec->block + c * stride;
        EXPECT_EQ(reinterpret_cast<uint8_t*>(t.entries), base);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(t.buckets), base + 4 * 128);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(t.links), base + 4 * 128 + 2 * 256);
        EXPECT_EQ(t.head, 0);
        EXPECT_EQ(codec->rings[c].entries, nullptr);
    }
    for (uint64_t i = 0; i < bytes; ++i) ASSERT_EQ(codec->block[i], 0) << i;
}

TEST(CodecState, DecoderBlockIsCarvedPerContextInOrder) {
    auto codec = configured(9, 17, 16);
    EXPECT_EQ(codec->allocateDecoder(), 1024u * 512 + sizeof(ContextLz));
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(reinterpret_cast<uint8_t*>(codec->rings[c].entries),
                  codec->block + size_t(c) * 4 * 512);
        EXPECT_EQ(codec->rings[c].head, 0);
        EXPECT_EQ(codec->tables[c].entries, nullptr);
    }
    for (size_t i = 0; i < 1024u * 512; ++i) ASSERT_EQ(codec->block[i], 0) << i;
}

TEST(CodecState, ReleaseAndReconfigure) {
    auto codec = configured(8, 9, 16);
    codec->allocateEncoder();
    codec->release();
    EXPECT_EQ(codec->block, nullptr);
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(codec->tables[c].entries, nullptr);
        EXPECT_EQ(codec->tables[c].buckets, nullptr);
        EXPECT_EQ(codec->tables[c].links, nullptr);
    }
    codec->release(); // twice is harmless

    // Configuring again over an allocated block frees it rather than leaking it.
    codec->allocateDecoder();
    codec->configure(10, 11, 20);
    EXPECT_EQ(codec->block, nullptr);
    EXPECT_EQ(codec->rings[0].entries, nullptr);
    EXPECT_EQ(codec->allocateDecoder(), 1024u * 1024 + sizeof(ContextLz));
}

TEST(CodecState, AllocationResetsModels) {
    auto codec = configured(12, 13, 23);
    for (int i = 0; i < 600; ++i) {
        codec->symbolModel.tick();
        codec->symbolModel.update(65);
    }
    EXPECT_NE(codec->symbolModel.counts[65], 1);
    codec->allocateDecoder();
    EXPECT_EQ(codec->symbolModel.counts[65], 1);
    EXPECT_EQ(codec->symbolModel.rebuildCountdown, 512u);
    EXPECT_EQ(codec->symbolModel.lengths[65], 9);
}

#if !defined(__SANITIZE_ADDRESS__)
// (The sanitizer's allocator aborts on such a request instead of returning null.)
TEST(CodecState, BlockAllocationFailureStopsWithMessage) {
    auto codec = configured(28, 17, 16); // a table block of 384 GiB
    auto stop = testing::runCapturingStop([&] { codec->allocateEncoder(); });
    EXPECT_TRUE(stop.stopped);
    EXPECT_EQ(stop.status, 1);
    EXPECT_EQ(stop.output, "Error: Not enough memory for 402718720 KB\n");
    EXPECT_EQ(codec->block, nullptr);
}
#endif

TEST(CodecState, LengthSlotTable) {
    auto codec = configured(12, 13, 23);
    codec->resetModels();
    // slot: extra bits, base
    const int32_t extra[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                               3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 8, 9, 10};
    const int32_t base[31] = {0,  1,   2,   3,   4,   5,   6,   7,   8,   10, 12,
                              14, 16,  20,  24,  28,  32,  40,  48,  56,  64, 80,
                              96, 112, 128, 160, 192, 224, 256, 512, 1024};
    for (int s = 0; s < 31; ++s) {
        EXPECT_EQ(codec->lengthExtraBits[s], extra[s]) << s;
        EXPECT_EQ(codec->lengthBase[s], base[s]) << s;
    }
    EXPECT_EQ(codec->lengthSlotOf[0], 0);
    EXPECT_EQ(codec->lengthSlotOf[8], 8);
    EXPECT_EQ(codec->lengthSlotOf[9], 8);
    EXPECT_EQ(codec->lengthSlotOf[1023], 29);
    EXPECT_EQ(codec->lengthSlotOf[1024], 30);
    EXPECT_EQ(codec->lengthSlotOf[2047], 30);
    // Every value lies inside its slot's range.
    for (int v = 0; v < 2048; ++v) {
        const int s = codec->lengthSlotOf[v];
        ASSERT_LE(codec->lengthBase[s], v);
        ASSERT_LT(v - codec->lengthBase[s], 1 << codec->lengthExtraBits[s]);
    }
    // The longest match, 2048: slot 30 (symbol 286) with extra value 1020.
    const int s = codec->lengthSlotOf[2048 - 4];
    EXPECT_EQ(s, 30);
    EXPECT_EQ(2048 - 4 - codec->lengthBase[s], 1020);
}

TEST(CodecState, DistanceSlotTable) {
    auto codec = configured(12, 13, 23);
    codec->resetModels();
    int32_t extra[60], base[60];
    const int32_t explicitExtra[24] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4,  4,
                                       5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10};
    const int32_t explicitBase[24] = {0,  1,  2,   3,   4,   6,   8,   12,  16,   24,   32,   48,
                                      64, 96, 128, 192, 256, 384, 512, 768, 1024, 1536, 2048, 3072};
    const int32_t upperBase[10] = {4096,  6144,  8192,  12288, 16384,
                                   24576, 32768, 49152, 65536, 98304};
    for (int s = 0; s < 24; ++s) extra[s] = explicitExtra[s], base[s] = explicitBase[s];
    for (int s = 24; s < 34; ++s) extra[s] = 11 + (s - 24) / 2, base[s] = upperBase[s - 24];
    for (int s = 34; s < 48; ++s) extra[s] = 16, base[s] = 131072 + 65536 * (s - 34);
    for (int s = 48; s < 60; ++s) extra[s] = 18, base[s] = 1048576 + 262144 * (s - 48);
    for (int s = 0; s < 60; ++s) {
        EXPECT_EQ(codec->distanceExtraBits[s], extra[s]) << s;
        EXPECT_EQ(codec->distanceBase[s], base[s]) << s;
    }
    EXPECT_EQ(codec->distanceBase[59] + (1 << codec->distanceExtraBits[59]), 4194304);

    EXPECT_EQ(codec->distanceSlotOf[4], 4);
    EXPECT_EQ(codec->distanceSlotOf[5], 4);
    EXPECT_EQ(codec->distanceSlotOf[4095], 23);
    for (int v = 0; v < 4096; ++v) {
        const int s = codec->distanceSlotOf[v];
        ASSERT_LE(s, 23);
        ASSERT_LE(codec->distanceBase[s], v);
        ASSERT_LT(v - codec->distanceBase[s], 1 << codec->distanceExtraBits[s]);
    }
    // Distance 5: slot 4, 1-bit extra 1. Distance 4095: slot 23, 10-bit extra 1023.
    EXPECT_EQ(5 - codec->distanceBase[4], 1);
    EXPECT_EQ(4095 - codec->distanceBase[23], 1023);
}

} // namespace
} // namespace qzn
