// The production encoder prunes and shortcuts its searches for speed. This test holds it to a
// plain, literal encoder written without any of those shortcuts (full table clearing, byte-by-byte
// comparison, every look-ahead search run in full): both must write exactly the same bits for
// every level, parameter set and kind of data.
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
using testing::mixedData;
using testing::ReferenceEncoder;

std::vector<uint8_t> fileBytes(FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::vector<uint8_t> out;
    for (int c; (c = std::fgetc(f)) != EOF;) out.push_back(uint8_t(c));
    return out;
}

void expectSameStreams(const std::vector<uint8_t>& ba, const std::vector<uint8_t>& bb,
                       const char* what, uint32_t tableBits, uint32_t hashBits, uint32_t windowBits,
                       const Level& level) {
    const int32_t chain = level.chainLimit, lookahead = level.lookaheadLimit,
                  mode = level.parseMode;
    ASSERT_EQ(ba.size(), bb.size())
        << what << " level " << chain << "/" << lookahead << "/" << mode << " bits " << tableBits
        << "/" << hashBits << "/" << windowBits;
    size_t first = 0;
    while (first < ba.size() && ba[first] == bb[first]) ++first;
    EXPECT_EQ(first, ba.size()) << what << " streams differ from byte " << first << " at level "
                                << chain << "/" << lookahead << "/" << mode << " bits " << tableBits
                                << "/" << hashBits << "/" << windowBits;
}

// Encodes the chunks with the production encoder, with the reference, and in two steps (parse
// into token lists by one codec, coding of the lists by another that has no match tables), and
// expects the same bits from all three. Token lists must stay within their bound.
void encodeBoth(const std::vector<uint8_t>& data, uint32_t tableBits, uint32_t hashBits,
                uint32_t windowBits, const Level& level) {
    const int32_t chain = level.chainLimit, lookahead = level.lookaheadLimit,
                  mode = level.parseMode;
    ContextLz real, parser, coder;
    real.configure(tableBits, hashBits, windowBits);
    parser.configure(tableBits, hashBits, windowBits);
    coder.configure(tableBits, hashBits, windowBits);
    real.allocateEncoder();
    parser.allocateEncoder();
    coder.resetModels();
    ReferenceEncoder reference(tableBits, hashBits, windowBits);
    FILE* a = std::tmpfile();
    FILE* b = std::tmpfile();
    FILE* c = std::tmpfile();
    {
        BitWriter wa(a), wb(b), wc(c);
        wa.openBuffer();
        wb.openBuffer();
        wc.openBuffer();
        size_t capacity = size_t(1) << windowBits;
        TokenList tokens;
        tokens.reserve(int32_t(capacity));
        for (size_t at = 0; at < data.size(); at += capacity) {
            int32_t len = int32_t(std::min(capacity, data.size() - at));
            real.encodeChunk(data.data() + at, len, wa, chain, lookahead, mode);
            reference.encodeChunk(data.data() + at, len, wb, level);
            parser.parseChunk(data.data() + at, len, tokens, chain, lookahead, mode);
            EXPECT_LE(tokens.size, TokenList::capacityFor(len));
            coder.codeTokens(data.data() + at, tokens, wc);
        }
        wa.flush();
        wb.flush();
        wc.flush();
    }
    std::vector<uint8_t> ba = fileBytes(a), bb = fileBytes(b), bc = fileBytes(c);
    std::fclose(a);
    std::fclose(b);
    std::fclose(c);
    expectSameStreams(ba, bb, "reference", tableBits, hashBits, windowBits, level);
    expectSameStreams(ba, bc, "two-step", tableBits, hashBits, windowBits, level);
}

TEST(EncoderReference, EveryLevelWritesTheSameBits) {
    std::vector<uint8_t> text = testing::textLikeBytes(300000, 11);
    std::vector<uint8_t> mixed = mixedData(300000, 5);
    for (const auto& level : kLevels) {
        encodeBoth(text, 12, 13, 17, level);
        encodeBoth(mixed, 12, 13, 17, level);
    }
}

TEST(EncoderReference, SmallTablesHashesAndWindows) {
    std::vector<uint8_t> mixed = mixedData(200000, 9);
    const uint32_t settings[][3] = {{7, 7, 16}, {9, 11, 16}, {12, 17, 18}, {8, 7, 12}, {10, 9, 15}};
    for (const auto& s : settings)
        for (const auto& level : kLevels) encodeBoth(mixed, s[0], s[1], s[2], level);
}

TEST(EncoderReference, IncompressibleDataAndAdaptiveSkipping) {
    // Long random stretches drive the skip step to its limit; text afterwards brings it back.
    std::vector<uint8_t> data = testing::randomBytes(1 << 20, 3);
    std::vector<uint8_t> text = testing::textLikeBytes(100000, 4);
    data.insert(data.end(), text.begin(), text.end());
    for (const auto& level : kLevels) encodeBoth(data, 12, 13, 21, level);
}

// Level values beyond the six levels: the nearest-distance mode without look-ahead, an unknown
// mode number (split-point evaluation without nearest distances), budgets of one, look-ahead
// budgets above the chain's, and walks longer than any level's.
TEST(EncoderReference, OtherLevelValuesWriteTheSameBits) {
    std::vector<uint8_t> mixed = mixedData(200000, 21);
    const Level values[] = {{4, 0, 2}, {8, 0, 1}, {6, 3, 3},    {1, 1, 0},
                            {3, 5, 0}, {2, 6, 1}, {300, 40, 2}, {5, 1, 2}};
    for (const auto& level : values) encodeBoth(mixed, 12, 13, 17, level);
}

TEST(EncoderReference, ShortChunks) {
    for (size_t n = 0; n < 40; ++n) {
        std::vector<uint8_t> data(n, 0);
        for (size_t i = 0; i < n; ++i) data[i] = uint8_t(i % 3 == 0 ? 'a' : 'b');
        for (const auto& level : kLevels) encodeBoth(data, 12, 13, 16, level);
    }
}

} // namespace
} // namespace qzn
