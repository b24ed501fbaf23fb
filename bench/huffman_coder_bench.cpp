// Symbols per second through the adaptive coder for the codec's symbol alphabet (N = 289), on a
// stream shaped like the codec's: mostly literals, some length slots, a few pair symbols.
#include "Entropy_Huffman.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

namespace {

using qzn::BitReader;
using qzn::BitWriter;
using Coder = qzn::HuffmanCoder<289>;

constexpr size_t kSymbols = 1 << 20;

std::vector<uint32_t> codecLikeStream() {
    std::mt19937 random(2026);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<uint32_t> byRank(256);
    for (uint32_t b = 0; b < 256; ++b) byRank[b] = b;
    std::vector<uint32_t> symbols;
    symbols.reserve(kSymbols);
    while (symbols.size() < kSymbols) {
        // A new file every 512K symbols: the favourite bytes move, the model has to follow.
        if (symbols.size() % 524288 == 0) std::shuffle(byRank.begin(), byRank.end(), random);
        double kind = unit(random);
        if (kind < 0.75) { // literal, steep text-like ranks
            uint32_t r = 0;
            while (r < 255 && unit(random) < 0.93) ++r;
            symbols.push_back(byRank[r]);
        } else if (kind < 0.95) { // length slot, short matches dominate
            uint32_t slot = 0;
            while (slot < 30 && unit(random) < 0.6) ++slot;
            symbols.push_back(256 + slot);
        } else { // pair symbols, the recent pair more often
            symbols.push_back(unit(random) < 0.7 ? 287 : 288);
        }
    }
    return symbols;
}

const std::vector<uint32_t>& stream() {
    static const std::vector<uint32_t> symbols = codecLikeStream();
    return symbols;
}

void encodeAll(Coder& coder, BitWriter& writer, const std::vector<uint32_t>& symbols) {
    coder.reset();
    for (uint32_t s : symbols) {
        coder.tick();
        coder.encode(s, writer);
        coder.update(s);
        writer.checkpoint();
    }
    writer.flush();
}

void BM_Encode289(benchmark::State& state) {
    const std::vector<uint32_t>& symbols = stream();
    FILE* file = std::tmpfile();
    auto coder = std::make_unique<Coder>();
    BitWriter writer(file);
    writer.openBuffer();
    for (auto _ : state) {
        std::rewind(file);
        encodeAll(*coder, writer, symbols);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(symbols.size()));
    state.counters["bits/symbol"] = double(std::ftell(file) * 8) / double(symbols.size());
    writer.release();
    std::fclose(file);
}
BENCHMARK(BM_Encode289)->Unit(benchmark::kMillisecond);

void BM_Decode289(benchmark::State& state) {
    const std::vector<uint32_t>& symbols = stream();
    FILE* file = std::tmpfile();
    auto coder = std::make_unique<Coder>();
    {
        BitWriter writer(file);
        writer.openBuffer();
        encodeAll(*coder, writer, symbols);
    }
    BitReader reader(file);
    reader.openBuffer();
    uint64_t sum = 0;
    for (auto _ : state) {
        std::rewind(file);
        reader.loadSegment();
        coder->reset();
        for (size_t i = 0; i < symbols.size(); ++i) {
            coder->tick();
            uint32_t s = coder->decode(reader);
            coder->update(s);
            reader.checkpoint();
            sum += s;
        }
    }
    benchmark::DoNotOptimize(sum);
    uint64_t expected = 0;
    for (uint32_t s : symbols) expected += s;
    if (sum != expected * state.iterations()) state.SkipWithError("decoded stream differs");
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(symbols.size()));
    reader.release();
    std::fclose(file);
}
BENCHMARK(BM_Decode289)->Unit(benchmark::kMillisecond);

// One rebuild: sort, tree, canonical codes and both decode tables.
void BM_Rebuild289(benchmark::State& state) {
    const std::vector<uint32_t>& symbols = stream();
    auto coder = std::make_unique<Coder>();
    coder->reset();
    for (size_t i = 0; i < 200000; ++i) coder->update(symbols[i]);
    for (auto _ : state) {
        coder->buildCode();
        coder->buildDecodeTables();
        benchmark::DoNotOptimize(coder->fullTable[0]);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_Rebuild289)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
