// Code construction: reset codes, tie-breaks, the 14-bit limit and the shape of every code.
#include "Entropy_Huffman.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <queue>
#include <random>
#include <vector>

namespace qzn {
namespace {

template <int N> std::unique_ptr<HuffmanCoder<N>> makeReset() {
    auto coder = std::make_unique<HuffmanCoder<N>>();
    coder->reset();
    return coder;
}

uint32_t reverseBits(uint32_t value, int length) {
    uint32_t out = 0;
    for (int i = 0; i < length; ++i) out |= ((value >> i) & 1u) << (length - 1 - i);
    return out;
}

// Canonical value as sent, most significant bit first.
template <int N> uint32_t canonical(const HuffmanCoder<N>& coder, int symbol) {
    return reverseBits(coder.codes[symbol], coder.lengths[symbol]);
}

// Every 14-bit pattern begins with exactly one code, and the Kraft sum is exactly 1.
template <int N> void expectCompletePrefixCode(const HuffmanCoder<N>& coder) {
    std::vector<int> hits(16384, 0);
    uint64_t kraft = 0; // in units of 2^-14
    for (int s = 0; s < N; ++s) {
        int length = coder.lengths[s];
        ASSERT_GE(length, 1) << "symbol " << s;
        ASSERT_LE(length, 14) << "symbol " << s;
        ASSERT_LT(coder.codes[s], 1u << length) << "symbol " << s;
        kraft += 1u << (14 - length);
        for (uint32_t y = coder.codes[s]; y < 16384; y += 1u << length) ++hits[y];
    }
    EXPECT_EQ(kraft, 16384u);
    for (int y = 0; y < 16384; ++y) ASSERT_EQ(hits[y], 1) << "pattern " << y;
}

// The code is canonical with the stated tie rule: by length, then later in `order` first.
template <int N> void expectCanonicalLayout(const HuffmanCoder<N>& coder) {
    int position[N];
    for (int i = 0; i < N; ++i) position[coder.order[i]] = i;
    std::vector<int> symbols(N);
    for (int s = 0; s < N; ++s) symbols[s] = s;
    std::sort(symbols.begin(), symbols.end(), [&](int a, int b) {
        if (coder.lengths[a] != coder.lengths[b]) return coder.lengths[a] < coder.lengths[b];
        return position[a] > position[b];
    });
    uint32_t value = 0;
    int length = coder.lengths[symbols[0]];
    for (int s : symbols) {
        value <<= coder.lengths[s] - length;
        length = coder.lengths[s];
        ASSERT_EQ(canonical(coder, s), value) << "symbol " << s;
        ++value;
    }
}

template <int N> void expectOrderSorted(const HuffmanCoder<N>& coder) {
    std::vector<bool> seen(N, false);
    for (int i = 0; i < N; ++i) {
        ASSERT_LT(coder.order[i], N);
        ASSERT_FALSE(seen[coder.order[i]]);
        seen[coder.order[i]] = true;
        if (i > 0) {
            ASSERT_LE(coder.counts[coder.order[i - 1]], coder.counts[coder.order[i]]);
        }
    }
}

// Minimal total code length for these weights, whatever the tie-breaks.
uint64_t optimalCost(const std::vector<uint64_t>& weights) {
    std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<>> queue(weights.begin(),
                                                                               weights.end());
    uint64_t cost = 0;
    while (queue.size() > 1) {
        uint64_t a = queue.top();
        queue.pop();
        uint64_t b = queue.top();
        queue.pop();
        cost += a + b;
        queue.push(a + b);
    }
    return cost;
}

// Code lengths of the unlimited tree, built naively: repeatedly join the two lightest items, a
// leaf before a node of equal weight, leaves in ascending stable order (ties by `previous`
// order), nodes in creation order. Result indexed by symbol.
std::vector<int> referenceLengths(const std::vector<uint32_t>& counts,
                                  const std::vector<int>& previous) {
    std::vector<int> leaves = previous;
    std::stable_sort(leaves.begin(), leaves.end(),
                     [&](int a, int b) { return counts[a] < counts[b]; });
    struct Item {
        uint64_t weight;
        int kind; // 0 leaf, 1 node
        int rank;
        int id; // tree index
    };
    std::vector<Item> items;
    std::vector<int> parent(2 * counts.size(), -1);
    for (size_t i = 0; i < leaves.size(); ++i)
        items.push_back({counts[leaves[i]], 0, int(i), leaves[i]});
    int next = int(counts.size());
    int made = 0;
    while (items.size() > 1) {
        Item joined{0, 1, made++, next++};
        for (int k = 0; k < 2; ++k) {
            auto lightest =
                std::min_element(items.begin(), items.end(), [](const Item& a, const Item& b) {
                    if (a.weight != b.weight) return a.weight < b.weight;
                    if (a.kind != b.kind) return a.kind < b.kind;
                    return a.rank < b.rank;
                });
            joined.weight += lightest->weight;
            parent[lightest->id] = joined.id;
            items.erase(lightest);
        }
        items.push_back(joined);
    }
    std::vector<int> lengths(counts.size(), 0);
    for (size_t s = 0; s < counts.size(); ++s)
        for (int i = int(s); parent[i] >= 0; i = parent[i]) ++lengths[s];
    return lengths;
}

int unlimitedDepth(const std::vector<uint32_t>& counts) {
    std::vector<int> identity(counts.size());
    for (size_t i = 0; i < identity.size(); ++i) identity[i] = int(i);
    std::vector<int> lengths = referenceLengths(counts, identity);
    return *std::max_element(lengths.begin(), lengths.end());
}

std::vector<uint32_t> fibonacci(int count) {
    std::vector<uint32_t> f{1, 1};
    while (int(f.size()) < count) f.push_back(f[f.size() - 1] + f[f.size() - 2]);
    f.resize(count);
    return f;
}

// Symbols 0..k-1 count F1..Fk, all others Fk.
std::vector<uint32_t> fibonacciCounts(int n, int k) {
    std::vector<uint32_t> f = fibonacci(k);
    std::vector<uint32_t> counts(n, f[k - 1]);
    std::copy(f.begin(), f.end(), counts.begin());
    return counts;
}

template <int N> std::unique_ptr<HuffmanCoder<N>> buildFrom(const std::vector<uint32_t>& counts) {
    auto coder = makeReset<N>();
    for (int s = 0; s < N; ++s) coder->counts[s] = uint16_t(counts[s]);
    coder->buildCode();
    return coder;
}

TEST(HuffmanResetCode, N256AllEightBits) {
    auto coder = makeReset<256>();
    EXPECT_EQ(coder->lookupBits, 8);
    for (int s = 0; s < 256; ++s) EXPECT_EQ(coder->lengths[s], 8) << s;
    EXPECT_EQ(coder->codes[255], 0);
    EXPECT_EQ(canonical(*coder, 254), 1u);
    EXPECT_EQ(coder->codes[254], 0x80);
    EXPECT_EQ(coder->codes[1], 0x7F);
    EXPECT_EQ(coder->codes[0], 0xFF);
    expectCompletePrefixCode(*coder);
    expectCanonicalLayout(*coder);
}

TEST(HuffmanResetCode, N289EightAndNineBits) {
    auto coder = makeReset<289>();
    EXPECT_EQ(coder->lookupBits, 9);
    for (int s = 0; s <= 65; ++s) EXPECT_EQ(coder->lengths[s], 9) << s;
    for (int s = 66; s <= 288; ++s) EXPECT_EQ(coder->lengths[s], 8) << s;
    EXPECT_EQ(coder->codes[288], 0);
    EXPECT_EQ(canonical(*coder, 287), 1u); // sent as 00000001
    EXPECT_EQ(canonical(*coder, 66), 222u);
    EXPECT_EQ(canonical(*coder, 65), 446u);
    EXPECT_EQ(coder->codes[0], 0x1FF);
    expectCompletePrefixCode(*coder);
    expectCanonicalLayout(*coder);
}

TEST(HuffmanResetCode, N60FiveAndSixBits) {
    auto coder = makeReset<60>();
    EXPECT_EQ(coder->lookupBits, 8); // the floor
    for (int s = 0; s <= 55; ++s) EXPECT_EQ(coder->lengths[s], 6) << s;
    for (int s = 56; s <= 59; ++s) EXPECT_EQ(coder->lengths[s], 5) << s;
    EXPECT_EQ(coder->codes[59], 0);
    expectCompletePrefixCode(*coder);
    expectCanonicalLayout(*coder);
}

TEST(HuffmanLengthLimit, FibonacciTableScaledOnceWithShift9) {
    std::vector<uint32_t> counts = fibonacciCounts(60, 20);
    EXPECT_EQ(unlimitedDepth(counts), 23);
    auto coder = buildFrom<60>(counts);

    for (int s = 0; s <= 15; ++s) EXPECT_EQ(coder->counts[s], 1) << s;
    EXPECT_EQ(coder->counts[16], 3);
    EXPECT_EQ(coder->counts[17], 5);
    EXPECT_EQ(coder->counts[18], 8);
    EXPECT_EQ(coder->counts[19], 13);
    for (int s = 20; s < 60; ++s) EXPECT_EQ(coder->counts[s], 13) << s;

    std::vector<int> lengths(coder->lengths, coder->lengths + 60);
    std::sort(lengths.begin(), lengths.end());
    lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
    EXPECT_EQ(lengths, (std::vector<int>{5, 6, 7, 9}));
    EXPECT_EQ(coder->lookupBits, 9);
    expectCompletePrefixCode(*coder);
    expectCanonicalLayout(*coder);
    expectOrderSorted(*coder);

    // The scaled counts are the model's counts now: another build leaves them alone.
    uint16_t before[60];
    std::copy(coder->counts, coder->counts + 60, before);
    coder->buildCode();
    EXPECT_TRUE(std::equal(before, before + 60, coder->counts));
}

TEST(HuffmanLengthLimit, DepthFourteenIsKept) {
    std::vector<uint32_t> counts = fibonacciCounts(60, 11);
    ASSERT_EQ(unlimitedDepth(counts), 14);
    auto coder = buildFrom<60>(counts);
    for (int s = 0; s < 60; ++s) EXPECT_EQ(coder->counts[s], counts[s]) << s;
    EXPECT_EQ(*std::max_element(coder->lengths, coder->lengths + 60), 14);
    EXPECT_EQ(coder->lookupBits, 14);
    expectCompletePrefixCode(*coder);
}

TEST(HuffmanLengthLimit, DepthFifteenIsHalved) {
    std::vector<uint32_t> counts = fibonacciCounts(60, 12);
    ASSERT_EQ(unlimitedDepth(counts), 15);
    auto coder = buildFrom<60>(counts);
    for (int s = 0; s < 60; ++s) EXPECT_EQ(coder->counts[s], std::max(1u, counts[s] >> 1)) << s;
    EXPECT_LE(*std::max_element(coder->lengths, coder->lengths + 60), 14);
    EXPECT_EQ(coder->lookupBits, *std::max_element(coder->lengths, coder->lengths + 60));
    expectCompletePrefixCode(*coder);
}

TEST(HuffmanTies, EqualCountsRankedByPreviousOrder) {
    auto coder = makeReset<60>();
    coder->counts[3] = 5;
    coder->counts[5] = 4;
    coder->buildCode();
    EXPECT_EQ(coder->order[58], 5);
    EXPECT_EQ(coder->order[59], 3);

    // Now tied: 5 keeps its place before 3 although it has the higher number.
    coder->counts[5] = 5;
    coder->buildCode();
    EXPECT_EQ(coder->order[58], 5);
    EXPECT_EQ(coder->order[59], 3);
    ASSERT_EQ(coder->lengths[3], coder->lengths[5]);
    EXPECT_LT(canonical(*coder, 3), canonical(*coder, 5)); // later in order, smaller value
    EXPECT_EQ(coder->codes[3], 0);

    // A fresh coder with the same counts ranks them by symbol number instead.
    auto fresh = makeReset<60>();
    fresh->counts[3] = 5;
    fresh->counts[5] = 5;
    fresh->buildCode();
    EXPECT_EQ(fresh->order[58], 3);
    EXPECT_EQ(fresh->order[59], 5);
    EXPECT_EQ(fresh->codes[5], 0);
}

TEST(HuffmanTies, RebuildingFromTheSameStateGivesTheSameCode) {
    std::mt19937 random(7);
    auto coder = makeReset<289>();
    for (int s = 0; s < 289; ++s) coder->counts[s] = uint16_t(1 + random() % 40);
    coder->buildCode();
    auto again = std::make_unique<HuffmanCoder<289>>(*coder);
    again->buildCode();
    EXPECT_TRUE(std::equal(coder->codes, coder->codes + 289, again->codes));
    EXPECT_TRUE(std::equal(coder->lengths, coder->lengths + 289, again->lengths));
    EXPECT_TRUE(std::equal(coder->order, coder->order + 289, again->order));
    EXPECT_EQ(coder->lookupBits, again->lookupBits);
}

// Random count tables of every shape: each build is a complete canonical code with sorted
// order, and an optimal one whenever no scaling was needed.
template <int N> void checkRandomBuilds(uint32_t seed) {
    std::mt19937 random(seed);
    auto coder = makeReset<N>();
    int scaled = 0;
    for (int round = 0; round < 300; ++round) {
        int shape = round % 4;
        for (int s = 0; s < N; ++s) {
            uint32_t c;
            if (shape == 0)
                c = 1 + random() % 16384;
            else if (shape == 1)
                c = 1 + random() % 4; // many ties
            else if (shape == 2)
                c = std::max(1u, 16384u >> (random() % 16)); // steep
            else
                c = 1 + (uint32_t(s) * 37 % N) * 50;
            coder->counts[s] = uint16_t(c);
        }
        std::vector<uint16_t> before(coder->counts, coder->counts + N);
        std::vector<int> previous(coder->order, coder->order + N);
        coder->buildCode();
        ASSERT_NO_FATAL_FAILURE(expectCompletePrefixCode(*coder));
        ASSERT_NO_FATAL_FAILURE(expectCanonicalLayout(*coder));
        ASSERT_NO_FATAL_FAILURE(expectOrderSorted(*coder));
        int longest = *std::max_element(coder->lengths, coder->lengths + N);
        ASSERT_EQ(coder->lookupBits, std::max(longest, 8));
        if (std::equal(before.begin(), before.end(), coder->counts)) {
            std::vector<uint64_t> weights(before.begin(), before.end());
            uint64_t cost = 0;
            for (int s = 0; s < N; ++s) cost += uint64_t(coder->counts[s]) * coder->lengths[s];
            ASSERT_EQ(cost, optimalCost(weights)) << "round " << round;
            std::vector<uint32_t> counts(before.begin(), before.end());
            std::vector<int> expected = referenceLengths(counts, previous);
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), coder->lengths))
                << "round " << round;
        } else {
            ++scaled;
        }
    }
    EXPECT_GT(scaled, 0); // the steep tables do need the limit
}

TEST(HuffmanBuild, EveryBuildIsACompleteCanonicalCode) {
    checkRandomBuilds<256>(1);
    checkRandomBuilds<289>(2);
    checkRandomBuilds<60>(3);
}

TEST(HuffmanScale, ShiftsWithAFloorOfOne) {
    auto coder = makeReset<60>();
    coder->counts[0] = 16384;
    coder->counts[1] = 3;
    coder->counts[2] = 1;
    coder->counts[3] = 65535;
    coder->scaleCounts(1);
    EXPECT_EQ(coder->counts[0], 8192);
    EXPECT_EQ(coder->counts[1], 1);
    EXPECT_EQ(coder->counts[2], 1);
    EXPECT_EQ(coder->counts[3], 32767);
    coder->scaleCounts(20); // wider than the count: everything drops to the floor
    for (int s = 0; s < 60; ++s) EXPECT_EQ(coder->counts[s], 1);
}

} // namespace
} // namespace qzn
