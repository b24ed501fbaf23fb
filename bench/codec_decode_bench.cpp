// Decode speed alone: each input is encoded once per level, then decoded N times from the
// archive bytes held in a temporary file; the best run counts and the output is compared.
//
//   codec_decode_bench [--repeat=N] [--levels=26] file ...
//
// Speeds are MB/s of decoded output (2^20 bytes).
#include "CodecBenchSupport.h"
#include "ContextLz.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace qzn;
using namespace qzn::bench;

namespace {

void benchInput(const std::string& name, const std::vector<uint8_t>& data,
                const std::string& levels, int repeats) {
    ContextLz encoder, decoder;
    encoder.configure(kTableBits, kHashBits, kWindowBits);
    encoder.allocateEncoder();
    decoder.configure(kTableBits, kHashBits, kWindowBits);
    decoder.allocateDecoder();
    const int32_t capacity = encoder.capacity;
    // The program's own kind of chunk buffer, so that its page size counts as in a real unpack.
    LargeBuffer out(static_cast<size_t>(capacity));
    for (char digit : levels) {
        const int level = digit - '1';
        if (level < 0 || level > 5) continue;
        FILE* file = std::tmpfile();
        {
            BitWriter writer(file);
            writer.openBuffer();
            encoder.resetModels();
            for (size_t at = 0; at < data.size(); at += size_t(capacity)) {
                int32_t len = int32_t(std::min(data.size() - at, size_t(capacity)));
                encoder.encodeChunk(data.data() + at, len, writer, kLevels[level].chain,
                                    kLevels[level].lookahead, kLevels[level].mode);
            }
            writer.flush();
            std::fflush(file);
        }
        double best = 1e30;
        bool same = true;
        for (int run = 0; run < repeats; ++run) {
            std::rewind(file);
            BitReader reader(file);
            reader.openBuffer();
            decoder.resetModels();
            reader.loadSegment();
            double time = 0;
            for (size_t at = 0; at < data.size(); at += size_t(capacity)) {
                int32_t len = int32_t(std::min(data.size() - at, size_t(capacity)));
                double start = seconds();
                decoder.decodeChunk(out.get(), len, reader);
                time += seconds() - start;
                same &= std::memcmp(out.get(), data.data() + at, size_t(len)) == 0;
            }
            best = std::min(best, time);
        }
        std::fclose(file);
        std::printf("%-16s c%d %9.1f MB/s%s\n", name.c_str(), level + 1,
                    double(data.size()) / (1 << 20) / best, same ? "" : "  MISMATCH");
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv) {
    int repeats = 5;
    std::string levels = "26";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--repeat=", 0) == 0) {
            repeats = std::max(1, std::atoi(arg.c_str() + 9));
        } else if (arg.rfind("--levels=", 0) == 0) {
            levels = arg.substr(9);
        } else {
            std::vector<uint8_t> data = readAll(arg);
            std::string name = arg.substr(arg.find_last_of('/') + 1);
            if (data.empty())
                std::printf("%s: empty or unreadable\n", name.c_str());
            else
                benchInput(name, data, levels, repeats);
        }
    }
    return 0;
}
