// Decode speed alone, and the stages that unpack and test with threads split it into: each input
// is encoded once per level, then read back N times from the archive bytes held in a temporary
// file, every chunk with each of
//   decode   decodeChunk, the one-thread decoder;
//   follow   followChunk, the tokens read and the models advanced, nothing recorded;
//   record   followChunk recording the tokens;
//   rebuild  rebuildChunk, the bytes from the recorded tokens.
// The best run of each counts, and the output of decode and rebuild is compared.
//
//   codec_decode_bench [--repeat=N] [--levels=26] file ...
//
// Speeds are MB/s of decoded output (2^20 bytes) per second of processor time, taken chunk by
// chunk, so that other load on the machine counts less.
#include "CodecBenchSupport.h"
#include "ContextLz.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

using namespace qzn;
using namespace qzn::bench;

namespace {

double processorSeconds() {
    return double(std::clock()) / CLOCKS_PER_SEC;
}

enum Stage { kDecode, kFollow, kRecord, kRebuild, kStages };
const char* const kStageNames[kStages] = {"decode", "follow", "record", "rebuild"};

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
    ChunkTokens tokens;
    tokens.bytes = LargeBuffer(ChunkTokens::capacityFor(capacity));
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
                encoder.encodeChunk(data.data() + at, len, writer, kLevels[level].chainLimit,
                                    kLevels[level].lookaheadLimit, kLevels[level].parseMode);
            }
            writer.flush();
            std::fflush(file);
        }
        double best[kStages];
        std::fill(best, best + kStages, 1e30);
        bool same = true;
        size_t tokenBytes = 0;
        for (int run = 0; run < repeats; ++run) {
            double time[kStages] = {};
            // decode; follow; record and rebuild, each pass over the whole stream.
            for (int pass = 0; pass < 3; ++pass) {
                std::rewind(file);
                BitReader reader(file);
                reader.openBuffer();
                decoder.resetModels();
                reader.loadSegment();
                tokenBytes = 0;
                for (size_t at = 0; at < data.size(); at += size_t(capacity)) {
                    int32_t len = int32_t(std::min(data.size() - at, size_t(capacity)));
                    double start = processorSeconds();
                    if (pass == 0) {
                        decoder.decodeChunk(out.get(), len, reader);
                        time[kDecode] += processorSeconds() - start;
                    } else if (pass == 1) {
                        decoder.followChunk(len, reader);
                        time[kFollow] += processorSeconds() - start;
                        continue;
                    } else {
                        decoder.followChunk(len, reader, tokens);
                        const double middle = processorSeconds();
                        decoder.rebuildChunk(tokens, len);
                        time[kRecord] += middle - start;
                        time[kRebuild] += processorSeconds() - middle;
                        tokenBytes += tokens.size;
                    }
                    const uint8_t* bytes = pass == 0 ? out.get() : tokens.bytes.get();
                    same &= std::memcmp(bytes, data.data() + at, size_t(len)) == 0;
                }
            }
            for (int s = 0; s < kStages; ++s) best[s] = std::min(best[s], time[s]);
        }
        std::fclose(file);
        const double megabytes = double(data.size()) / (1 << 20);
        std::printf("%-16s c%d", name.c_str(), level + 1);
        for (int s = 0; s < kStages; ++s)
            std::printf("  %s %7.1f MB/s", kStageNames[s], megabytes / std::max(best[s], 1e-9));
        std::printf("  tokens %.2f of the input%s\n", double(tokenBytes) / double(data.size()),
                    same ? "" : "  MISMATCH");
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
