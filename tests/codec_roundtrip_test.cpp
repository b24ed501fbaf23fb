// Encoder and decoder together: one codec object per side carries a run of chunks through a real
// segmented stream, for every level and several table and hash sizes.
#include "CodecSupport.h"
#include "ContextLz.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace qzn {
namespace {

using testing::kLevels;
using testing::Level;

struct Setting {
    uint32_t tableBits, hashBits, windowBits;
};

// Little-endian records: a counter, a slowly varying measurement, a flag byte and padding.
std::vector<uint8_t> binaryLike(size_t n, uint32_t seed) {
    std::vector<uint8_t> out;
    uint32_t x = seed, value = 1000;
    for (uint32_t i = 0; out.size() < n; ++i) {
        x = x * 1103515245u + 12345u;
        value += (x >> 28) - 7;
        const uint8_t record[12] = {uint8_t(i),
                                    uint8_t(i >> 8),
                                    uint8_t(i >> 16),
                                    0,
                                    uint8_t(value),
                                    uint8_t(value >> 8),
                                    0,
                                    0,
                                    uint8_t(x >> 31),
                                    0xAB,
                                    0xCD,
                                    0};
        out.insert(out.end(), record, record + 12);
    }
    out.resize(n);
    return out;
}

std::vector<uint8_t> runs(size_t n, uint32_t seed) {
    std::vector<uint8_t> out;
    uint32_t x = seed;
    while (out.size() < n) {
        x = x * 1103515245u + 12345u;
        out.insert(out.end(), 1 + (x >> 20) % 3000, uint8_t(x >> 12));
    }
    out.resize(n);
    return out;
}

std::vector<uint8_t> pattern(size_t n, size_t period) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t((i % period) * 37 + 11);
    return out;
}

// Encodes `chunks` with one codec into a temporary file, then decodes them with another; with
// `rebuild`, follows each chunk recording its tokens and rebuilds its bytes from them instead.
void roundTrip(const Setting& s, const Level& level,
               const std::vector<std::vector<uint8_t>>& chunks, size_t* compressedBytes = nullptr,
               bool rebuild = false) {
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        ContextLz encoder;
        encoder.configure(s.tableBits, s.hashBits, s.windowBits);
        encoder.allocateEncoder();
        BitWriter writer(file);
        writer.openBuffer();
        for (const auto& chunk : chunks) {
            ASSERT_LE(chunk.size(), size_t(encoder.capacity));
            encoder.encodeChunk(chunk.data(), int32_t(chunk.size()), writer, level.chainLimit,
                                level.lookaheadLimit, level.parseMode);
        }
        writer.flush();
        writer.release();
        encoder.release();
    }
    if (compressedBytes) *compressedBytes = size_t(std::ftell(file));
    std::rewind(file);
    ContextLz decoder;
    decoder.configure(s.tableBits, s.hashBits, s.windowBits);
    decoder.allocateDecoder();
    BitReader reader(file);
    reader.openBuffer();
    reader.loadSegment();
    ChunkTokens tokens;
    tokens.bytes = LargeBuffer(ChunkTokens::capacityFor(decoder.capacity));
    for (size_t i = 0; i < chunks.size(); ++i) {
        const int32_t len = int32_t(chunks[i].size());
        std::vector<uint8_t> out(chunks[i].size());
        if (rebuild) {
            decoder.followChunk(len, reader, tokens);
            decoder.rebuildChunk(tokens, len);
            out.assign(tokens.bytes.get(), tokens.bytes.get() + out.size());
        } else {
            decoder.decodeChunk(out.data(), len, reader);
        }
        ASSERT_EQ(out, chunks[i]) << "chunk " << i << " of length " << chunks[i].size();
    }
    reader.release();
    std::fclose(file);
}

std::vector<std::vector<uint8_t>> variedChunks() {
    std::vector<std::vector<uint8_t>> chunks;
    chunks.push_back({});
    for (size_t n = 1; n <= 13; ++n) chunks.push_back(testing::textLikeBytes(n, uint32_t(n)));
    chunks.push_back(std::vector<uint8_t>(13, 0));
    chunks.push_back(testing::textLikeBytes(65536, 1)); // exactly the capacity
    chunks.push_back(binaryLike(65536, 2));
    chunks.push_back(runs(65536, 3));
    chunks.push_back(testing::randomBytes(40000, 4));
    chunks.push_back(pattern(65536, 3));
    chunks.push_back(pattern(30000, 1000));
    chunks.push_back(std::vector<uint8_t>(65536, 0x55));
    chunks.push_back(testing::textLikeBytes(777, 5)); // a short last chunk
    return chunks;
}

const Setting kVariedSettings[] = {{12, 13, 16}, {7, 7, 16}, {12, 17, 16}, {9, 11, 16}};

TEST(CodecRoundTrip, VariedChunksAllLevelsAndSizes) {
    const std::vector<std::vector<uint8_t>> chunks = variedChunks();
    for (const Setting& s : kVariedSettings)
        for (int level = 0; level < 6; ++level) {
            SCOPED_TRACE(::testing::Message() << "table " << s.tableBits << " hash " << s.hashBits
                                              << " level " << level + 1);
            roundTrip(s, kLevels[level], chunks);
        }
}

TEST(CodecRoundTrip, VariedChunksFollowedAndRebuilt) {
    // The follower reads a symbol and its extra bits in one lookup, codes longer than its fast
    // table (the binary-like records and the noise give some, with extra bits) included: the
    // tokens it records rebuild every chunk.
    const std::vector<std::vector<uint8_t>> chunks = variedChunks();
    for (const Setting& s : kVariedSettings)
        for (int level : {0, 2, 5}) {
            SCOPED_TRACE(::testing::Message() << "table " << s.tableBits << " hash " << s.hashBits
                                              << " level " << level + 1);
            roundTrip(s, kLevels[level], chunks, nullptr, true);
        }
}

TEST(CodecRoundTrip, TinyWindowManyChunks) {
    // 16-byte chunks: every chunk has a short token section and starts with empty tables.
    std::vector<uint8_t> text = testing::textLikeBytes(5000, 9);
    std::vector<std::vector<uint8_t>> chunks;
    for (size_t at = 0; at < text.size(); at += 16)
        chunks.emplace_back(text.begin() + at, text.begin() + std::min(at + 16, text.size()));
    chunks.push_back(std::vector<uint8_t>(16, 0));
    for (int level = 0; level < 6; ++level) roundTrip({7, 7, 4}, kLevels[level], chunks);
    std::vector<std::vector<uint8_t>> bigger;
    for (size_t at = 0; at < text.size(); at += 1024)
        bigger.emplace_back(text.begin() + at, text.begin() + std::min(at + 1024, text.size()));
    for (int level = 0; level < 6; ++level) roundTrip({12, 13, 10}, kLevels[level], bigger);
}

TEST(CodecRoundTrip, StreamCrossesSegmentBoundaries) {
    // Noise barely compresses, so ~1.2 MB of it spans several 512 KiB segments.
    std::vector<std::vector<uint8_t>> chunks = {
        testing::randomBytes(1 << 19, 11), testing::textLikeBytes(1 << 19, 12),
        testing::randomBytes(1 << 19, 13), binaryLike(300000, 14)};
    for (int level : {0, 3, 5}) {
        size_t compressed = 0;
        roundTrip({12, 13, 19}, kLevels[level], chunks, &compressed);
        EXPECT_GT(compressed, size_t(2 * 524288 + 8));
    }
}

TEST(CodecRoundTrip, LongestMatchesAndFarDistances) {
    // Long runs give 2048-byte matches. In "K r K r ..." every noise byte follows 'K', so that
    // one context's ring wraps; a copy of pairs about 4000 tokens back gives distances near the
    // largest, one of pairs further back finds its slots overwritten.
    std::vector<uint8_t> data(20001, 'x'); // odd: skipped searches land on noise bytes
    std::vector<uint8_t> noise = testing::randomBytes(6000, 21);
    std::vector<uint8_t> keyed;
    for (uint8_t r : noise) keyed.insert(keyed.end(), {'K', r});
    data.insert(data.end(), keyed.begin(), keyed.end());
    data.insert(data.end(), keyed.begin() + 4000, keyed.begin() + 4600);
    data.insert(data.end(), keyed.begin() + 2000, keyed.begin() + 2600);
    for (int level = 0; level < 6; ++level) {
        roundTrip({12, 13, 16}, kLevels[level], {data});
        roundTrip({7, 7, 16}, kLevels[level], {data});
    }
}

} // namespace
} // namespace qzn
