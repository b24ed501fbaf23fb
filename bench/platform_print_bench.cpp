// Lines per second through the wide print, formatted as the list prints a file: a name as most
// are (no control characters, one formatting call), and one holding an escape sequence (each
// conversion formatted on its own, the name made visible). Standard output goes to /dev/null;
// the figures go to standard error.
#include "Platform.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>

namespace {

void printListLine(benchmark::State& state, const wchar_t* name) {
    long long kilobytes = 0;
    for (auto _ : state) {
        ++kilobytes;
        qzn::printWide(L"\t%ls (%lld KB, crc32: %X)\n", name, kilobytes,
                       unsigned(kilobytes * 2654435761u));
    }
    std::fflush(stdout);
    state.SetItemsProcessed(state.iterations());
}

void BM_ListLinePlainName(benchmark::State& state) {
    printListLine(state, L"some_file_name_of_typical_length.cpp");
}
BENCHMARK(BM_ListLinePlainName);

void BM_ListLineNameWithEscape(benchmark::State& state) {
    printListLine(state, L"esc\x1B[31mfile_name_of_typical_length.cpp");
}
BENCHMARK(BM_ListLineNameWithEscape);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!std::freopen("/dev/null", "w", stdout)) return 2;
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_None);
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
