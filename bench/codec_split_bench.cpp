// The single-core split of packing between the parse (match finding, the share that pack workers
// run in parallel) and the coding of its tokens through the models (the share that stays on one
// thread), per level, next to the one-step encoder; with the size of the token lists.
//
//   codec_split_bench [--repeat=N] file...
//
// Figures are the best of N runs (default 3), in MB/s of input (2^20 bytes); "tokens" is the
// largest token list of a chunk as a share of that chunk's size. Chunks are 8 MiB.
#include "CodecBenchSupport.h"
#include "ContextLz.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace qzn;
using namespace qzn::bench;

namespace {

void benchFile(const std::string& path, int repeats) {
    const std::vector<uint8_t> data = readAll(path);
    if (data.empty()) {
        std::printf("%s: cannot read or empty\n", path.c_str());
        return;
    }
    const double mb = double(data.size()) / (1 << 20);
    std::printf("\n%s: %zu bytes\n", path.c_str(), data.size());
    std::printf("%-6s %11s %11s %11s %9s %8s\n", "level", "encode MB/s", "parse MB/s",
                "coding MB/s", "coding %", "tokens");

    ContextLz fused, parser, coder;
    for (ContextLz* codec : {&fused, &parser, &coder})
        codec->configure(kTableBits, kHashBits, kWindowBits);
    fused.allocateEncoder();
    parser.allocateEncoder();
    const int32_t capacity = fused.capacity;
    const size_t chunks = (data.size() + size_t(capacity) - 1) / size_t(capacity);
    std::vector<TokenList> lists(chunks);
    for (TokenList& list : lists) list.reserve(capacity);

    for (int level = 0; level < 6; ++level) {
        const Level& l = kLevels[level];
        double encode = 1e30, parse = 1e30, code = 1e30;
        double largest = 0;
        for (int run = 0; run < repeats; ++run) {
            FILE* file = std::tmpfile();
            {
                BitWriter writer(file);
                writer.openBuffer();
                fused.resetModels();
                double start = seconds();
                for (size_t at = 0, i = 0; at < data.size(); at += size_t(capacity), ++i) {
                    int32_t len = int32_t(std::min(data.size() - at, size_t(capacity)));
                    fused.encodeChunk(data.data() + at, len, writer, l.chainLimit, l.lookaheadLimit,
                                      l.parseMode);
                }
                writer.flush();
                encode = std::min(encode, seconds() - start);

                start = seconds();
                for (size_t at = 0, i = 0; at < data.size(); at += size_t(capacity), ++i) {
                    int32_t len = int32_t(std::min(data.size() - at, size_t(capacity)));
                    parser.parseChunk(data.data() + at, len, lists[i], l.chainLimit,
                                      l.lookaheadLimit, l.parseMode);
                    largest = std::max(largest, double(lists[i].size) / len);
                }
                parse = std::min(parse, seconds() - start);
            }
            std::rewind(file);
            {
                BitWriter writer(file);
                writer.openBuffer();
                coder.resetModels();
                double start = seconds();
                for (size_t at = 0, i = 0; at < data.size(); at += size_t(capacity), ++i)
                    coder.codeTokens(data.data() + at, lists[i], writer);
                writer.flush();
                code = std::min(code, seconds() - start);
            }
            std::fclose(file);
        }
        std::printf("c%-5d %11.2f %11.2f %11.2f %8.1f%% %7.1f%%\n", level + 1, mb / encode,
                    mb / parse, mb / code, 100.0 * code / (parse + code), 100.0 * largest);
    }
}

} // namespace

int main(int argc, char** argv) {
    int repeats = 3;
    int first = 1;
    if (argc > 1 && std::strncmp(argv[1], "--repeat=", 9) == 0) {
        repeats = std::max(1, std::atoi(argv[1] + 9));
        first = 2;
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: %s [--repeat=N] file...\n", argv[0]);
        return 2;
    }
    for (int i = first; i < argc; ++i) benchFile(argv[i], repeats);
    return 0;
}
