#include "CodecSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace qzn::testing {

std::vector<uint8_t> mixedData(size_t n, uint32_t seed) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> text = textLikeBytes(n + 4000, seed);
    std::vector<uint8_t> noise = randomBytes(n + 4000, seed + 1);
    // Pieces stay a small part of short data, so that it still mixes every kind and repeats
    // itself; from about 24 KB on they are up to 3 KB long, repeats reach back up to 4 KB.
    const size_t longest = std::min<size_t>(3000, n / 8 + 16), reach = longest * 4 / 3;
    size_t t = 0, r = 0;
    uint32_t x = seed;
    while (out.size() < n) {
        x = x * 1103515245u + 12345u;
        size_t piece = 16 + (x >> 16) % longest;
        switch ((x >> 8) % 5) {
        case 0:
            out.insert(out.end(), text.begin() + t % n, text.begin() + t % n + piece / 2);
            t += piece;
            break;
        case 1:
            out.insert(out.end(), noise.begin() + r % n, noise.begin() + r % n + piece);
            r += piece;
            break;
        case 2:
            out.insert(out.end(), piece, uint8_t(x >> 24));
            break;
        case 3:
            for (size_t i = 0; i < piece; ++i) out.push_back(uint8_t((i % 12) * 7 + (i / 12) % 3));
            break;
        default:
            if (out.size() > reach + longest / 3) {
                size_t from = (x >> 3) % (out.size() - reach);
                std::vector<uint8_t> copy(out.begin() + from, out.begin() + from + piece % reach);
                out.insert(out.end(), copy.begin(), copy.end());
            }
        }
    }
    out.resize(n);
    return out;
}

ReferenceEncoder::ReferenceEncoder(uint32_t tableBits, uint32_t hashBits, uint32_t windowBits)
    : tb_(tableBits), hb_(hashBits), wb_(windowBits), tableSize_(1u << tableBits),
      hashSize_(1u << hashBits), tables_(256) {
    lz_.configure(tableBits, hashBits, windowBits);
    lz_.resetModels();
    for (Table& t : tables_) {
        t.entries.resize(tableSize_);
        t.links.resize(tableSize_);
        t.buckets.resize(hashSize_);
    }
}

void ReferenceEncoder::encodeChunk(const uint8_t* data, int32_t len, BitWriter& w,
                                   const Level& level) {
    data_ = data;
    len_ = len;
    for (Table& t : tables_) {
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
            Found f = search(p, level.chainLimit, level.parseMode == 2, nearest);
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
        if (level.lookaheadLimit >= 1 && d >= 4 && d <= 127) {
            if (level.parseMode == 0) {
                if (tailProbe(p + 1, level.lookaheadLimit, d - 3, word(p + d - 2)) ||
                    tailProbe(p + 2, level.lookaheadLimit, d - 3, word(p + d - 1)))
                    d = 0;
            } else {
                int32_t bestTotal =
                    score(d, D) + score(search(p + d, level.chainLimit, false, nullptr));
                int32_t chosen = d;
                for (int32_t h = d; h >= 1; --h) {
                    int32_t total =
                        score(h, D) + score(search(p + h, level.lookaheadLimit, false, nullptr));
                    if (total > bestTotal) {
                        bestTotal = total;
                        chosen = h;
                    }
                }
                d = chosen;
                if (level.parseMode == 2 && d >= 4) D = nearest[d];
            }
        }
        insert(p);
        if (d >= 4) {
            EXPECT_LE(p + d, len - 8);
            int32_t slot = lz_.lengthSlotOf[d - 4];
            symbol(uint32_t(256 + slot), w);
            if (lz_.lengthExtraBits[slot] > 0)
                w.put(uint32_t(d - 4 - lz_.lengthBase[slot]), uint32_t(lz_.lengthExtraBits[slot]));
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

uint32_t ReferenceEncoder::word(int32_t p) const {
    return uint32_t(data_[p]) | uint32_t(data_[p + 1]) << 8 | uint32_t(data_[p + 2]) << 16 |
           uint32_t(data_[p + 3]) << 24;
}

void ReferenceEncoder::hash(int32_t p, uint32_t& bucket, uint32_t& tag, uint32_t& context) const {
    uint32_t h = word(p) * 0x9E3779B1u;
    bucket = ((h >> (32 - hb_)) ^ data_[p]) & (hashSize_ - 1);
    tag = h >> (wb_ + 1);
    context = p == 0 ? 0 : data_[p - 1];
}

int32_t ReferenceEncoder::score(int32_t length, int32_t distance) const {
    return length < 4 ? (3 << tb_) - 7 : (length << tb_) - distance;
}

void ReferenceEncoder::insert(int32_t p) {
    uint32_t bucket, tag, context;
    hash(p, bucket, tag, context);
    Table& t = tables_[context];
    t.links[t.head] = t.buckets[bucket];
    t.buckets[bucket] = uint16_t(t.head);
    t.entries[t.head] = int32_t(uint32_t(p) | (tag << wb_));
    t.head = (t.head + 1) & (tableSize_ - 1);
}

ReferenceEncoder::Found ReferenceEncoder::search(int32_t p, int32_t budget, bool record,
                                                 int32_t* nearest) const {
    uint32_t bucket, tag, context;
    hash(p, bucket, tag, context);
    const Table& t = tables_[context];
    uint32_t i = t.buckets[bucket];
    Found none;
    if (i == 0xFFFF || budget == 0) return none;
    int32_t best = record ? 3 : 0;
    int32_t bestIndex = -1;
    const int32_t cap = std::min(2048, (len_ - 8) - p);
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

bool ReferenceEncoder::tailProbe(int32_t q, int32_t budget, int32_t offset, uint32_t w) const {
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

void ReferenceEncoder::symbol(uint32_t s, BitWriter& w) {
    lz_.symbolModel.tick();
    lz_.symbolModel.encode(s, w);
    lz_.symbolModel.update(s);
}

} // namespace qzn::testing
