// Throughput of crc32Update over a 64 MiB buffer: through the tables alone and as the program runs
// it (folded by the processor where it can). Bytes per second are in the bytes_per_second column.
#include "Files.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

constexpr size_t kBufferBytes = size_t(64) << 20;

const std::vector<uint8_t>& buffer() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b(kBufferBytes);
        std::mt19937 random(2026);
        for (uint8_t& x : b) x = uint8_t(random());
        return b;
    }();
    return bytes;
}

// As the measuring pass and the data pass call it: in 8 MiB blocks, chained.
template <uint32_t (*update)(uint32_t, const uint8_t*, int32_t)>
void crcOverBuffer(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = buffer();
    constexpr size_t kBlock = size_t(8) << 20;
    for (auto _ : state) {
        uint32_t crc = 0;
        for (size_t at = 0; at < bytes.size(); at += kBlock)
            crc = update(crc, bytes.data() + at, int32_t(kBlock));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * bytes.size()));
}

void BM_Crc32Tables(benchmark::State& state) {
    crcOverBuffer<qzn::crc32UpdateByTables>(state);
}
BENCHMARK(BM_Crc32Tables)->Unit(benchmark::kMillisecond);

void BM_Crc32Update(benchmark::State& state) {
    crcOverBuffer<qzn::crc32Update>(state);
}
BENCHMARK(BM_Crc32Update)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
