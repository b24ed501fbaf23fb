// The production encoder prunes and shortcuts its searches for speed. This test holds it to a
// plain, literal encoder written without any of those shortcuts (full table clearing, byte-by-byte
// comparison, every look-ahead search run in full): both must write exactly the same bits for
// every level, parameter set and kind of data.
#include "ContextLz.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace qzn {
namespace {

struct Found {
    int32_t length = 0;
    int32_t distance = 0;
};

// The literal encoder. It borrows only the models and slot tables of a ContextLz.
class ReferenceEncoder {
  public:
    ReferenceEncoder(ContextLz& lz)
        : lz_(lz), tb_(lz.tableBits), hb_(lz.hashBits), wb_(lz.windowBits), tableSize_(1u << tb_),
          hashSize_(1u << hb_) {
        for (auto& t : tables_) {
            t.entries.resize(tableSize_);
            t.links.resize(tableSize_);
            t.buckets.resize(hashSize_);
        }
    }

    void encodeChunk(const uint8_t* data, int32_t len, BitWriter& w, int32_t chainLimit,
                     int32_t lookaheadLimit, int32_t parseMode) {
        data_ = data;
        len_ = len;
        for (auto& t : tables_) {
            std::fill(t.entries.begin(), t.entries.end(), -1);
            std::fill(t.links.begin(), t.links.end(), 0xFFFF);
            std::fill(t.buckets.begin(), t.buckets.end(), 0xFFFF);
            t.head = 0;
        }
        int32_t p = 0;
        for (; p < len && p < 4; ++p) {
            if (p + 4 <= len) insert(p);
            symbol(data[p], w);
            w.checkpoint();
        }
        uint32_t pairMemory[256] = {};
        int32_t nearest[2049] = {};
        int32_t skipStep = 0, missCount = 0;
        while (p < len - 8) {
            int32_t d = 0, D = 0;
            if (skipStep == 0 || p % (2 * skipStep) == 0) {
                Found f = search(p, chainLimit, parseMode == 2, nearest);
                d = f.length;
                D = f.distance;
                if (d < 4) {
                    if (++missCount == 128) {
                        missCount = 0;
                        skipStep = skipStep == 0 ? 1 : 2 * skipStep;
                        if (skipStep > 4096) skipStep /= 2;
                    }
                } else {
                    missCount = 0;
                    skipStep /= 2;
                }
            }
            if (lookaheadLimit >= 1 && d >= 4 && d <= 127) {
                if (parseMode == 0) {
                    if (tailProbe(p + 1, lookaheadLimit, d - 3, word(p + d - 2)) ||
                        tailProbe(p + 2, lookaheadLimit, d - 3, word(p + d - 1)))
                        d = 0;
                } else {
                    int32_t bestTotal =
                        score(d, D) + score(search(p + d, chainLimit, false, nullptr));
                    int32_t chosen = d;
                    for (int32_t h = d; h >= 1; --h) {
                        int32_t total =
                            score(h, D) + score(search(p + h, lookaheadLimit, false, nullptr));
                        if (total > bestTotal) {
                            bestTotal = total;
                            chosen = h;
                        }
                    }
                    d = chosen;
                    if (parseMode == 2 && d >= 4) D = nearest[d];
                }
            }
            insert(p);
            if (d >= 4) {
                int32_t slot = lz_.lengthSlotOf[d - 4];
                symbol(uint32_t(256 + slot), w);
                if (lz_.lengthExtraBits[slot] > 0)
                    w.put(uint32_t(d - 4 - lz_.lengthBase[slot]),
                          uint32_t(lz_.lengthExtraBits[slot]));
                int32_t dslot = lz_.distanceSlotOf[D];
                lz_.distanceModel.tick();
                lz_.distanceModel.encode(uint32_t(dslot), w);
                lz_.distanceModel.update(uint32_t(dslot));
                if (lz_.distanceExtraBits[dslot] > 0)
                    w.put(uint32_t(D - lz_.distanceBase[dslot]),
                          uint32_t(lz_.distanceExtraBits[dslot]));
                p += d;
            } else {
                uint32_t x =
                    pairMemory[data[p - 1]] ^ (((uint32_t(data[p]) << 8) | data[p + 1]) * 0x10001u);
                if ((x & 0xFFFF) == 0) {
                    symbol(287, w);
                    p += 2;
                } else if ((x >> 16) == 0) {
                    symbol(288, w);
                    p += 2;
                } else {
                    symbol(data[p], w);
                    p += 1;
                }
            }
            uint32_t& m = pairMemory[data[p - 3]];
            m = (m << 16) | (uint32_t(data[p - 2]) << 8) | data[p - 1];
            w.checkpoint();
        }
        for (; p < len; ++p) {
            symbol(data[p], w);
            w.checkpoint();
        }
    }

  private:
    struct Table {
        std::vector<int32_t> entries;
        std::vector<uint16_t> links, buckets;
        uint32_t head = 0;
    };

    uint32_t word(int32_t p) const {
        return uint32_t(data_[p]) | uint32_t(data_[p + 1]) << 8 | uint32_t(data_[p + 2]) << 16 |
               uint32_t(data_[p + 3]) << 24;
    }
    void hash(int32_t p, uint32_t& bucket, uint32_t& tag, uint32_t& context) const {
        uint32_t h = word(p) * 0x9E3779B1u;
        bucket = ((h >> (32 - hb_)) ^ data_[p]) & (hashSize_ - 1);
        tag = h >> (wb_ + 1);
        context = p == 0 ? 0 : data_[p - 1];
    }
    int32_t matchCap(int32_t p) const { return std::min(2048, (len_ - 8) - p); }
    int32_t score(int32_t length, int32_t distance) const {
        return length < 4 ? (3 << tb_) - 7 : (length << tb_) - distance;
    }
    int32_t score(Found f) const { return score(f.length, f.distance); }

    void insert(int32_t p) {
        uint32_t bucket, tag, context;
        hash(p, bucket, tag, context);
        Table& t = tables_[context];
        t.links[t.head] = t.buckets[bucket];
        t.buckets[bucket] = uint16_t(t.head);
        t.entries[t.head] = int32_t(uint32_t(p) | (tag << wb_));
        t.head = (t.head + 1) & (tableSize_ - 1);
    }

    Found search(int32_t p, int32_t budget, bool record, int32_t* nearest) const {
        uint32_t bucket, tag, context;
        hash(p, bucket, tag, context);
        const Table& t = tables_[context];
        uint32_t i = t.buckets[bucket];
        Found none;
        if (i == 0xFFFF || budget == 0) return none;
        int32_t best = record ? 3 : 0;
        int32_t bestIndex = -1;
        int32_t cap = matchCap(p);
        int32_t examined = 0;
        for (;;) {
            int32_t e = t.entries[i];
            int32_t c = e & ((1 << wb_) - 1);
            uint32_t next = t.links[i];
            ++examined;
            if ((uint32_t(e) >> wb_) == tag && data_[c + best] == data_[p + best] &&
                std::memcmp(data_ + c, data_ + p, 4) == 0) {
                int32_t L;
                if (cap < 4) {
                    L = cap;
                } else {
                    L = 4;
                    while (L < cap && data_[c + L] == data_[p + L]) ++L;
                }
                if (L > best) {
                    if (record)
                        for (int32_t j = best + 1; j <= L; ++j)
                            nearest[j] = int32_t((t.head - i) & (tableSize_ - 1));
                    best = L;
                    bestIndex = int32_t(i);
                }
                if (L == cap) break;
            }
            if (next == 0xFFFF || (t.entries[next] & ((1 << wb_) - 1)) >= c || examined == budget)
                break;
            i = next;
        }
        if (best < 4) return none;
        return {best, int32_t((t.head - uint32_t(bestIndex)) & (tableSize_ - 1))};
    }

    bool tailProbe(int32_t q, int32_t budget, int32_t offset, uint32_t w) const {
        uint32_t bucket, tag, context;
        hash(q, bucket, tag, context);
        const Table& t = tables_[context];
        uint32_t i = t.buckets[bucket];
        if (i == 0xFFFF) return false;
        for (int32_t examined = 1;; ++examined) {
            int32_t c = t.entries[i] & ((1 << wb_) - 1);
            if (word(c + offset) == w) return true;
            uint32_t next = t.links[i];
            if (next == 0xFFFF || (t.entries[next] & ((1 << wb_) - 1)) >= c || examined == budget)
                return false;
            i = next;
        }
    }

    void symbol(uint32_t s, BitWriter& w) {
        lz_.symbolModel.tick();
        lz_.symbolModel.encode(s, w);
        lz_.symbolModel.update(s);
    }

    ContextLz& lz_;
    uint32_t tb_, hb_, wb_, tableSize_, hashSize_;
    Table tables_[256];
    const uint8_t* data_ = nullptr;
    int32_t len_ = 0;
};

std::vector<uint8_t> fileBytes(FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::vector<uint8_t> out;
    for (int c; (c = std::fgetc(f)) != EOF;) out.push_back(uint8_t(c));
    return out;
}

void expectSameStreams(const std::vector<uint8_t>& ba, const std::vector<uint8_t>& bb,
                       const char* what, uint32_t tableBits, uint32_t hashBits, uint32_t windowBits,
                       int32_t chain, int32_t lookahead, int32_t mode) {
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
                uint32_t windowBits, int32_t chain, int32_t lookahead, int32_t mode) {
    ContextLz real, ref, parser, coder;
    real.configure(tableBits, hashBits, windowBits);
    ref.configure(tableBits, hashBits, windowBits);
    parser.configure(tableBits, hashBits, windowBits);
    coder.configure(tableBits, hashBits, windowBits);
    real.allocateEncoder();
    ref.allocateEncoder();
    parser.allocateEncoder();
    coder.resetModels();
    ReferenceEncoder reference(ref);
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
            reference.encodeChunk(data.data() + at, len, wb, chain, lookahead, mode);
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
    expectSameStreams(ba, bb, "reference", tableBits, hashBits, windowBits, chain, lookahead, mode);
    expectSameStreams(ba, bc, "two-step", tableBits, hashBits, windowBits, chain, lookahead, mode);
}

constexpr int32_t kLevels[6][3] = {{2, 0, 0},  {4, 1, 0},  {8, 2, 0},
                                   {24, 4, 1}, {64, 8, 1}, {224, 32, 2}};

std::vector<uint8_t> mixedData(size_t n, uint32_t seed) {
    std::vector<uint8_t> out = testing::textLikeBytes(n / 2, seed);
    std::vector<uint8_t> random = testing::randomBytes(n / 8, seed + 1);
    out.insert(out.end(), random.begin(), random.end());
    for (size_t i = 0; out.size() < n; ++i) {
        // Records with small periods and long runs exercise overlapping and capped matches.
        uint8_t v = uint8_t(i / 3000);
        out.push_back(i % 7 == 0 ? uint8_t(i) : v);
    }
    out.resize(n);
    return out;
}

TEST(EncoderReference, EveryLevelWritesTheSameBits) {
    std::vector<uint8_t> text = testing::textLikeBytes(300000, 11);
    std::vector<uint8_t> mixed = mixedData(300000, 5);
    for (const auto& level : kLevels) {
        encodeBoth(text, 12, 13, 17, level[0], level[1], level[2]);
        encodeBoth(mixed, 12, 13, 17, level[0], level[1], level[2]);
    }
}

TEST(EncoderReference, SmallTablesHashesAndWindows) {
    std::vector<uint8_t> mixed = mixedData(200000, 9);
    const uint32_t settings[][3] = {{7, 7, 16}, {9, 11, 16}, {12, 17, 18}, {8, 7, 12}, {10, 9, 15}};
    for (const auto& s : settings)
        for (const auto& level : kLevels)
            encodeBoth(mixed, s[0], s[1], s[2], level[0], level[1], level[2]);
}

TEST(EncoderReference, IncompressibleDataAndAdaptiveSkipping) {
    // Long random stretches drive the skip step to its limit; text afterwards brings it back.
    std::vector<uint8_t> data = testing::randomBytes(1 << 20, 3);
    std::vector<uint8_t> text = testing::textLikeBytes(100000, 4);
    data.insert(data.end(), text.begin(), text.end());
    for (const auto& level : kLevels) encodeBoth(data, 12, 13, 21, level[0], level[1], level[2]);
}

TEST(EncoderReference, ShortChunks) {
    for (size_t n = 0; n < 40; ++n) {
        std::vector<uint8_t> data(n, 0);
        for (size_t i = 0; i < n; ++i) data[i] = uint8_t(i % 3 == 0 ? 'a' : 'b');
        for (const auto& level : kLevels)
            encodeBoth(data, 12, 13, 16, level[0], level[1], level[2]);
    }
}

} // namespace
} // namespace qzn
