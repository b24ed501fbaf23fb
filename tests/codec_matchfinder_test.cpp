// Context match finder: hash and entry layout, insertion, chain walks, distances, budgets and caps.
#include "ContextLz_MatchFinder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace qzn {
namespace {

// 256 context tables over private storage, emptied like the encoder does at a chunk start.
struct TestTables {
    std::vector<int32_t> entries;
    std::vector<uint16_t> buckets, links;
    ContextTable tables[256];
    uint32_t tableBits, hashBits, windowBits;

    TestTables(uint32_t tb, uint32_t hb, uint32_t wb)
        : tableBits(tb), hashBits(hb), windowBits(wb) {
        const size_t ts = size_t(1) << tb, hs = size_t(1) << hb;
        entries.assign(256 * ts, -1);
        buckets.assign(256 * hs, 0xFFFF);
        links.assign(256 * ts, 0xFFFF);
        for (int c = 0; c < 256; ++c) {
            tables[c].entries = &entries[c * ts];
            tables[c].buckets = &buckets[c * hs];
            tables[c].links = &links[c * ts];
        }
    }
    MatchFinder finder(const std::vector<uint8_t>& data) {
        return MatchFinder(tables, tableBits, hashBits, windowBits, data.data(),
                           int32_t(data.size()));
    }
    // One probe of the quick look-ahead in its plainest form: walks the bucket chain of q, at
    // most `budget` entries, until a link leads to a position not older than the last, and
    // reports whether a candidate c holds `word` at c + offset.
    bool plainProbe(const MatchFinder& f, const std::vector<uint8_t>& data, int32_t q,
                    int32_t budget, int32_t offset, uint32_t word) const {
        const PositionHash h = f.hash(q);
        const ContextTable& t = tables[h.context];
        const uint32_t mask = (1u << windowBits) - 1;
        uint32_t i = t.buckets[h.bucketIndex];
        for (int32_t examined = 0; i != 0xFFFF && examined < budget; ++examined) {
            const uint32_t c = uint32_t(t.entries[i]) & mask;
            uint32_t w;
            std::memcpy(&w, &data[c + uint32_t(offset)], 4);
            if (w == word) return true;
            const uint32_t next = t.links[i];
            if (next == 0xFFFF || (uint32_t(t.entries[next]) & mask) >= c) return false;
            i = next;
        }
        return false;
    }
};

void put(std::vector<uint8_t>& data, size_t at, const std::string& bytes) {
    std::memcpy(&data[at], bytes.data(), bytes.size());
}

// A background in which 4-byte patterns do not repeat by accident.
std::vector<uint8_t> background(size_t n) {
    std::vector<uint8_t> data(n);
    uint32_t x = 12345;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 23);
    }
    return data;
}

TEST(MatchFinderHash, WorkedExample) {
    TestTables t(12, 13, 23);
    std::vector<uint8_t> data(200, 0);
    data[99] = 0x7A;
    put(data, 100, "abcd");
    MatchFinder f = t.finder(data);
    PositionHash h = f.hash(100);
    EXPECT_EQ(h.bucketIndex, 3072u);
    EXPECT_EQ(h.hashTag, 99u);
    EXPECT_EQ(h.context, 0x7Au);
    EXPECT_EQ(f.entryValue(100, h.hashTag), 0x31800064u);

    PositionHash z = f.hash(0);
    EXPECT_EQ(z.bucketIndex, 0u);
    EXPECT_EQ(z.hashTag, 0u);
    EXPECT_EQ(z.context, 0u); // position 0 files under context 0
}

TEST(MatchFinderHash, BucketStaysInsideSmallestTable) {
    // With 7 hash bits the XOR with the byte reaches 255; the index is masked to 0..127.
    TestTables t(7, 7, 16);
    std::vector<uint8_t> data = background(4096);
    MatchFinder f = t.finder(data);
    bool sawHighXor = false;
    for (int32_t p = 1; p + 4 <= int32_t(data.size()); ++p) {
        uint32_t w;
        std::memcpy(&w, &data[p], 4);
        uint32_t unmasked = ((w * 0x9E3779B1u) >> 25) ^ data[p];
        sawHighXor |= unmasked > 127;
        PositionHash h = f.hash(p);
        ASSERT_EQ(h.bucketIndex, unmasked & 127u);
        ASSERT_EQ(h.hashTag, (w * 0x9E3779B1u) >> 17);
    }
    EXPECT_TRUE(sawHighXor);
}

TEST(MatchFinderSearch, ZerosFindNewestEntryAtDistanceOne) {
    TestTables t(12, 13, 23);
    std::vector<uint8_t> data(64, 0);
    MatchFinder f = t.finder(data);
    for (int32_t p = 0; p < 4; ++p) f.insert(p, f.hash(p));
    EXPECT_EQ(t.tables[0].head, 4);
    EXPECT_EQ(t.tables[0].buckets[0], 3); // entry 3 is examined first
    EXPECT_EQ(t.tables[0].links[3], 2);
    EXPECT_EQ(t.tables[0].links[0], 0xFFFF);
    MatchResult r = f.search<false>(4, f.hash(4), 2, 0, nullptr);
    EXPECT_EQ(r.distance, 1);
    EXPECT_EQ(r.length, f.matchCap(4)); // 64 - 8 - 4
    EXPECT_EQ(r.length, 52);

    // Budget 0 and an empty bucket find nothing.
    EXPECT_EQ(f.search<false>(4, f.hash(4), 0, 0, nullptr).length, 0);
    data[40] = 1;
    MatchFinder g = t.finder(data);
    EXPECT_EQ(g.search<false>(41, g.hash(41), 8, 0, nullptr).length, 0); // context 1 is empty
}

TEST(MatchFinderSearch, DistancesAcrossAFullRing) {
    TestTables t(12, 13, 23);
    std::vector<uint8_t> data = background(256);
    data[9] = 'K';
    put(data, 10, "target-bytes");
    data[29] = 'K';
    put(data, 30, "filler");
    data[99] = 'K';
    put(data, 100, "target-bytes");
    MatchFinder f = t.finder(data);
    f.insert(10, f.hash(10)); // slot 0
    for (int i = 0; i < 4094; ++i) f.insert(30, f.hash(30));
    MatchResult r = f.search<false>(100, f.hash(100), 4, 0, nullptr);
    EXPECT_EQ(r.distance, 4095);
    EXPECT_EQ(r.length, 12);
    f.insert(30, f.hash(30)); // the ring is full: slot 0 is the oldest, overwritten next
    r = f.search<false>(100, f.hash(100), 4, 0, nullptr);
    EXPECT_EQ(r.distance, 0);
    EXPECT_EQ(r.length, 12);
}

TEST(MatchFinderSearch, EqualLengthsPreferTheNewerLongerWinsOverBudget) {
    TestTables t(12, 13, 23);
    std::vector<uint8_t> data = background(512);
    data[19] = 'Q';
    put(data, 20, "abcdefgh-1");
    data[59] = 'Q';
    put(data, 60, "abcdefgh-2");
    data[99] = 'Q';
    put(data, 100, "abcdefgh-3");
    data[139] = 'Q';
    put(data, 140, "abcdefgh-3x");
    MatchFinder f = t.finder(data);
    f.insert(20, f.hash(20));
    f.insert(60, f.hash(60));
    MatchResult r = f.search<false>(140, f.hash(140), 8, 0, nullptr);
    EXPECT_EQ(r.length, 9);
    EXPECT_EQ(r.distance, 1); // position 60, the newer of two equal candidates

    f.insert(100, f.hash(100));
    r = f.search<false>(140, f.hash(140), 8, 0, nullptr);
    EXPECT_EQ(r.length, 10);
    EXPECT_EQ(r.distance, 1);

    // A longer but older candidate beyond the budget is not seen.
    f.insert(60, f.hash(60)); // chain now 60 (slot 3) -> 100 stops: 100 is not older than 60
    r = f.search<false>(140, f.hash(140), 1, 0, nullptr);
    EXPECT_EQ(r.length, 9);
    EXPECT_EQ(r.distance, 1);
    r = f.search<false>(140, f.hash(140), 8, 0, nullptr);
    EXPECT_EQ(r.length, 9); // the stale link to the newer position ends the walk
}

TEST(MatchFinderSearch, LengthIsCappedBeforeTheChunkEnd) {
    TestTables t(12, 13, 23);
    std::vector<uint8_t> data(3000, 'z');
    MatchFinder f = t.finder(data);
    for (int32_t p = 0; p < 4; ++p) f.insert(p, f.hash(p));
    EXPECT_EQ(f.matchCap(4), 2048);
    EXPECT_EQ(f.search<false>(4, f.hash(4), 1, 0, nullptr).length, 2048);
    EXPECT_EQ(f.matchCap(2988), 4);
    EXPECT_EQ(f.search<false>(2988, f.hash(2988), 1, 0, nullptr).length, 4);
    EXPECT_EQ(f.matchCap(2989), 3);
    EXPECT_EQ(f.search<false>(2989, f.hash(2989), 4, 0, nullptr).length, 0);
    EXPECT_EQ(f.matchCap(2992), 0);
    EXPECT_EQ(f.search<false>(2992, f.hash(2992), 4, 0, nullptr).length, 0);
}

TEST(MatchFinderSearch, RecordsNearestDistancePerLength) {
    TestTables t(12, 13, 23);
    std::vector<uint8_t> data = background(512);
    data[19] = 'R';
    put(data, 20, "0123456789AB"); // oldest, longest
    data[59] = 'R';
    put(data, 60, "01234567--"); // middle
    data[99] = 'R';
    put(data, 100, "012345+-"); // newest, shortest
    data[139] = 'R';
    put(data, 140, "0123456789AB");
    MatchFinder f = t.finder(data);
    f.insert(20, f.hash(20));
    f.insert(60, f.hash(60));
    f.insert(100, f.hash(100));
    std::vector<int32_t> nearest(2049, -7);
    MatchResult r = f.search<true>(140, f.hash(140), 8, 3, nearest.data());
    EXPECT_EQ(r.length, 12);
    EXPECT_EQ(r.distance, 3);
    for (int j = 0; j <= 3; ++j) EXPECT_EQ(nearest[j], -7) << j;
    for (int j = 4; j <= 6; ++j) EXPECT_EQ(nearest[j], 1) << j;
    for (int j = 7; j <= 8; ++j) EXPECT_EQ(nearest[j], 2) << j;
    for (int j = 9; j <= 12; ++j) EXPECT_EQ(nearest[j], 3) << j;
    EXPECT_EQ(nearest[13], -7);
    // The result never depends on recording.
    MatchResult plain = f.search<false>(140, f.hash(140), 8, 0, nullptr);
    EXPECT_EQ(plain.length, r.length);
    EXPECT_EQ(plain.distance, r.distance);
    // A floor only hides candidates that cannot beat it.
    MatchResult floored = f.search<false>(140, f.hash(140), 8, 9, nullptr);
    EXPECT_EQ(floored.length, 12);
    EXPECT_EQ(floored.distance, 3);
    EXPECT_EQ(f.search<false>(140, f.hash(140), 8, 12, nullptr).length, 0);
}

TEST(MatchFinderTailProbe, LooksAtOffsetWordAndStopsAtStaleLinks) {
    TestTables t(7, 13, 16); // a 128-entry ring wraps quickly
    std::vector<uint8_t> data = background(1024);
    data[99] = 'K';
    put(data, 100, "abcdWXYZ");
    data[199] = 'K';
    put(data, 200, "abcd1234");
    data[299] = 'K';
    put(data, 300, "fill");
    data[399] = 'K';
    put(data, 400, "mnopPQRS");
    data[499] = 'K';
    put(data, 500, "abcd");
    MatchFinder f = t.finder(data);
    f.insert(100, f.hash(100)); // slot 0
    f.insert(200, f.hash(200)); // slot 1, linked to slot 0
    auto word = [&](int32_t at) {
        uint32_t w;
        std::memcpy(&w, &data[at], 4);
        return w;
    };
    // One probe alone: both walks the same.
    auto probe = [&](int32_t q, int32_t budget, int32_t offset, uint32_t w) {
        return f.tailProbeEither(f.hash(q), f.hash(q), budget, offset, w, w);
    };
    EXPECT_TRUE(probe(500, 2, 4, word(104)));
    EXPECT_FALSE(probe(500, 1, 4, word(104))); // budget 1 sees only position 200
    EXPECT_TRUE(probe(500, 1, 4, word(204)));
    EXPECT_FALSE(probe(500, 0, 4, word(204)));
    EXPECT_FALSE(probe(500, 8, 4, word(404)));

    for (int i = 0; i < 126; ++i) f.insert(300, f.hash(300)); // slots 2..127
    f.insert(400, f.hash(400));                               // overwrites slot 0
    // Slot 1 still links to slot 0, which now holds a newer position: the walk stops there.
    EXPECT_FALSE(probe(500, 8, 4, word(404)));
    EXPECT_FALSE(probe(500, 8, 4, word(104)));
    EXPECT_TRUE(probe(500, 8, 4, word(204)));
}

// The paired probe answers what the two single probes answer together, whichever of them finds
// the word, at every budget and over rings that have wrapped (stale links included).
TEST(MatchFinderTailProbe, PairedProbeAnswersLikeTwoProbes) {
    TestTables t(7, 9, 16);
    // Few distinct words, so that chains are long, shared and often hold the probed word.
    std::vector<uint8_t> data(6000);
    uint32_t x = 77;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = uint8_t("abcab"[(x >> 16) % 5]);
    }
    MatchFinder f = t.finder(data);
    auto word = [&](int32_t at) {
        uint32_t w;
        std::memcpy(&w, &data[size_t(at)], 4);
        return w;
    };
    int yes = 0, onlySecond = 0;
    for (int32_t p = 1; p + 16 < int32_t(data.size()); ++p) {
        for (int32_t budget = 0; budget <= 3; ++budget) {
            const int32_t offset = 1 + p % 5;
            const uint32_t first = word(p + offset + 1), second = word(p + offset + 2);
            const bool a = t.plainProbe(f, data, p, budget, offset, first);
            const bool b = t.plainProbe(f, data, p + 1, budget, offset, second);
            ASSERT_EQ(f.tailProbeEither(f.hash(p), f.hash(p + 1), budget, offset, first, second),
                      a || b)
                << "position " << p << " budget " << budget;
            yes += a || b;
            onlySecond += b && !a;
        }
        f.insert(p, f.hash(p));
    }
    EXPECT_GT(yes, 600);
    EXPECT_GT(onlySecond, 200);
}

// The addresses the parse prefetches are those the search reads first: the bucket head, the
// newest entry of the bucket and that entry's bytes.
TEST(MatchFinderSearch, PrefetchAddressesAreTheFirstReads) {
    TestTables t(12, 13, 23);
    std::vector<uint8_t> data = background(256);
    data[9] = 'K';
    put(data, 10, "same-bytes");
    data[49] = 'K';
    put(data, 50, "same-bytes");
    data[99] = 'K';
    put(data, 100, "same-bytes");
    MatchFinder f = t.finder(data);
    const PositionHash h = f.hash(100);
    EXPECT_EQ(f.bucketOf(h), &t.tables['K'].buckets[h.bucketIndex]);
    EXPECT_EQ(f.newestEntryOf(h), nullptr);
    EXPECT_EQ(f.newestCandidateOf(h), nullptr);
    f.insert(10, f.hash(10));
    f.insert(50, f.hash(50));
    EXPECT_EQ(f.newestEntryOf(h), &t.tables['K'].entries[1]);
    EXPECT_EQ(f.newestCandidateOf(h), &data[50]);
}

TEST(MatchFinderScore, WorkedExamples) {
    EXPECT_EQ(score(10, 3, 12), 40957);
    EXPECT_EQ(noMatchScore(12), 12281);
    EXPECT_EQ(score(3, 0, 12), 12281);
    EXPECT_EQ(score(4, 4095, 12), 12289);
    EXPECT_GT(score(4, 127, 7), noMatchScore(7));
}

} // namespace
} // namespace qzn
