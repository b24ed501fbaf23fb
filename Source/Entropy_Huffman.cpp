// Code construction and decode tables of HuffmanCoder. Every ordering and tie-break here is part
// of the archive format: writer and reader must derive the same code from the same counts.
#include "Entropy_Huffman.h"

#include <cstring>

namespace qzn {

namespace {

constexpr int32_t kWeightSentinel = 0x7FFFFFFF; // ends the leaf queue, blocks unfinished nodes
constexpr int kMinLookupBits = 8;

// Bottom-up merge sort of distinct keys, ascending, through `scratch`; returns the array that
// holds the result (either `keys` or `scratch`).
template <int N> uint32_t* mergeSort(uint32_t* keys, uint32_t* scratch) {
    uint32_t* src = keys;
    uint32_t* dst = scratch;
    for (int width = 1; width < N; width *= 2) {
        for (int lo = 0; lo < N; lo += 2 * width) {
            int mid = lo + width < N ? lo + width : N;
            int hi = lo + 2 * width < N ? lo + 2 * width : N;
            int a = lo, b = mid, k = lo;
            while (a < mid && b < hi) dst[k++] = src[b] < src[a] ? src[b++] : src[a++];
            while (a < mid) dst[k++] = src[a++];
            while (b < hi) dst[k++] = src[b++];
        }
        uint32_t* t = src;
        src = dst;
        dst = t;
    }
    return src;
}

} // namespace

template <int N> void HuffmanCoder<N>::scaleCounts(int shift) {
    for (int s = 0; s < N; ++s) {
        uint32_t c = shift < 16 ? uint32_t(counts[s]) >> shift : 0;
        counts[s] = uint16_t(c > 1 ? c : 1);
    }
}

template <int N> void HuffmanCoder<N>::buildCode() {
    // 1. Stable sort of `order` by count. The key carries the previous position below the count,
    //    so keys are distinct and equal counts keep their previous relative order.
    uint32_t keys[N];
    uint32_t scratch[N];
    for (int i = 0; i < N; ++i) keys[i] = uint32_t(counts[order[i]]) << 16 | uint32_t(i);
    const uint32_t* sorted = mergeSort<N>(keys, scratch);
    uint16_t previous[N];
    std::memcpy(previous, order, sizeof(previous));
    for (int i = 0; i < N; ++i) order[i] = previous[sorted[i] & 0xFFFF];

    // Leaves are 0..N-1 (ascending weight), N is the sentinel, internal nodes N+1..2N-1.
    int32_t weight[2 * N];
    int32_t depth[2 * N];
    int32_t firstChild[2 * N];
    int32_t secondChild[2 * N];
    for (;;) {
        // 2./3. Two-queue merge; a leaf wins against a node of equal weight.
        for (int i = 0; i < N; ++i) weight[i] = counts[order[i]];
        weight[N] = kWeightSentinel;
        int leaf = 0;
        int node = N + 1;
        for (int n = N + 1; n < 2 * N; ++n) {
            weight[n] = kWeightSentinel;
            int a = weight[leaf] > weight[node] ? node++ : leaf++;
            int b = weight[leaf] > weight[node] ? node++ : leaf++;
            firstChild[n] = a;
            secondChild[n] = b;
            weight[n] = weight[a] + weight[b];
        }

        // 4. Depths: children are numbered below their parent, so one descending pass suffices.
        depth[2 * N - 1] = 0;
        for (int n = 2 * N - 1; n > N; --n) {
            depth[firstChild[n]] = depth[n] + 1;
            depth[secondChild[n]] = depth[n] + 1;
        }

        // 5. Length limit: scale for good and rebuild the tree on the same order (scaling keeps
        //    the ascending order, it only adds ties).
        int deepest = depth[0];
        lookupBits = deepest > kMinLookupBits ? deepest : kMinLookupBits;
        if (deepest <= kHuffmanMaxCodeLength) break;
        scaleCounts(deepest - kHuffmanMaxCodeLength);
    }

    // 6. Canonical codes, heaviest first, kept bit-reversed so that `put` sends the first bit
    //    first. The increment runs in reversed bit order: clear the run of ones from bit L-1
    //    down, set the first zero below it.
    uint32_t c = 0;
    for (int i = N - 1; i >= 0; --i) {
        int s = order[i];
        int length = depth[i];
        lengths[s] = uint16_t(length);
        codes[s] = uint16_t(c);
        uint32_t a = 1u << (length - 1);
        while (c & a) a >>= 1;
        c = a + (c & (a - 1));
    }
}

template <int N> void HuffmanCoder<N>::reset() {
    rebuildInterval = kFirstRebuildInterval;
    rebuildCountdown = kFirstRebuildInterval;
    for (int s = 0; s < N; ++s) {
        order[s] = uint16_t(s);
        counts[s] = 1;
        codes[s] = 0;
        lengths[s] = 0;
    }
    lookupBits = 0;
    buildCode();
    buildDecodeTables();
}

template <int N> void HuffmanCoder<N>::buildDecodeTables() {
    // 0xFFFF bytes make 0xFFFF entries. A complete code overwrites every fullTable entry; the
    // clear keeps a stale symbol from surviving should that ever not hold.
    std::memset(fastTable, 0xFF, sizeof(fastTable));
    std::memset(fullTable, 0xFF, sizeof(fullTable));
    for (int s = 0; s < N; ++s) {
        uint32_t length = lengths[s];
        if (length == 0) continue; // no code yet
        uint32_t stride = 1u << length;
        uint16_t symbol = uint16_t(s);
        if (length <= 8)
            for (uint32_t x = codes[s]; x < 256; x += stride) fastTable[x] = symbol;
        for (uint32_t y = codes[s]; y < (1u << kHuffmanMaxCodeLength); y += stride)
            fullTable[y] = symbol;
    }
}

template struct HuffmanCoder<256>;
template struct HuffmanCoder<289>;
template struct HuffmanCoder<60>;

} // namespace qzn
