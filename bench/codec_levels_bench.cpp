// Encode speed of every level, decode speed and compressed size, on a text-like and a binary-like
// input, next to the system's general-purpose compressors run on the same bytes.
//
//   codec_levels_bench [--repeat=N] [text-file binary-file ...]
//
// Every figure is the best of N runs (default 1): on a shared machine the minimum is the least
// disturbed measurement.
// Without arguments the inputs are the corpus files in $HOME/.cache/qzn-corpus when present,
// otherwise generated (8 MiB each). Sizes are in bytes, speeds in MB/s of input (2^20 bytes).
#include "CodecBenchSupport.h"
#include "ContextLz.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

using namespace qzn;
using namespace qzn::bench;

namespace {

// Prose from a Zipf-like vocabulary of made-up words, with punctuation and line breaks.
std::vector<uint8_t> generateText(size_t n) {
    static const char* syllables[] = {"ka", "ro",  "ne",   "ti",  "su",  "ma", "lo",
                                      "ve", "pri", "stan", "der", "qu",  "il", "on",
                                      "ex", "ar",  "gen",  "tor", "ble", "is"};
    std::vector<std::string> words;
    uint32_t x = 7;
    auto next = [&] { return x = x * 1664525u + 1013904223u; };
    for (int i = 0; i < 5000; ++i) {
        std::string w;
        for (uint32_t s = 1 + next() % 4; s > 0; --s) w += syllables[next() >> 27 & 15];
        words.push_back(w);
    }
    std::vector<uint8_t> out;
    int column = 0;
    bool capital = true;
    while (out.size() < n) {
        // Rank from a rough power law: small ranks dominate.
        double u = (next() >> 8) / double(1 << 24);
        size_t rank = size_t(u * u * u * words.size());
        std::string w = words[rank];
        if (capital) w[0] = char(w[0] - 32), capital = false;
        uint32_t r = next() >> 24;
        if (r < 20)
            w += ".", capital = true;
        else if (r < 40)
            w += ",";
        out.insert(out.end(), w.begin(), w.end());
        column += int(w.size()) + 1;
        if (column > 72)
            out.push_back('\n'), column = 0;
        else
            out.push_back(' ');
    }
    out.resize(n);
    return out;
}

// Tables of little-endian records, code-like byte soup with repeated blocks, and some noise.
std::vector<uint8_t> generateBinary(size_t n) {
    std::vector<uint8_t> out;
    uint32_t x = 99;
    auto next = [&] { return x = x * 1664525u + 1013904223u; };
    while (out.size() < n) {
        switch (next() >> 30) {
        case 0: { // record table
            uint32_t value = next() >> 16;
            for (int i = 0, count = int(200 + (next() >> 22)); i < count; ++i) {
                value += (next() >> 28);
                const uint8_t record[16] = {uint8_t(i),
                                            uint8_t(i >> 8),
                                            0,
                                            0,
                                            uint8_t(value),
                                            uint8_t(value >> 8),
                                            uint8_t(value >> 16),
                                            0,
                                            0x10,
                                            0x00,
                                            uint8_t(next() >> 29),
                                            0,
                                            0xFF,
                                            0xFF,
                                            0,
                                            0};
                out.insert(out.end(), record, record + 16);
            }
            break;
        }
        case 1: { // instruction-like soup over a small alphabet of opcodes
            static const uint8_t ops[] = {0x48, 0x89, 0x8B, 0xE8, 0x0F, 0x85, 0x84, 0xC3,
                                          0x83, 0xC4, 0x24, 0x44, 0x00, 0xFF, 0x74, 0x31};
            for (int i = 0, count = int(1000 + (next() >> 20)); i < count; ++i)
                out.push_back((next() >> 28) < 12 ? ops[next() >> 28] : uint8_t(next() >> 24));
            break;
        }
        case 2: { // a repeat of an earlier block
            if (out.size() > 70000) {
                size_t length = 64 + (next() >> 20), from = next() % (out.size() - length);
                std::vector<uint8_t> copy(out.begin() + from, out.begin() + from + length);
                out.insert(out.end(), copy.begin(), copy.end());
            }
            break;
        }
        default: // noise
            for (int i = 0, count = int(next() >> 22); i < count; ++i)
                out.push_back(uint8_t(next() >> 24));
        }
    }
    out.resize(n);
    return out;
}

// Wall time of a shell command, best of `repeats`.
int gRepeats = 1;

double timeCommand(const std::string& command, int repeats = gRepeats) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        double start = seconds();
        if (std::system(command.c_str()) != 0) return -1;
        best = std::min(best, seconds() - start);
    }
    return best;
}

long fileSize(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return -1;
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fclose(f);
    return size;
}

void benchInput(const std::string& name, const std::vector<uint8_t>& data) {
    const double mb = double(data.size()) / (1 << 20);
    std::printf("\n%s: %zu bytes\n", name.c_str(), data.size());
    std::printf("%-10s %12s %8s %12s %12s\n", "codec", "size", "ratio", "enc MB/s", "dec MB/s");

    ContextLz encoder, decoder;
    encoder.configure(kTableBits, kHashBits, kWindowBits);
    encoder.allocateEncoder();
    decoder.configure(kTableBits, kHashBits, kWindowBits);
    decoder.allocateDecoder();
    const int32_t capacity = encoder.capacity;
    // Touch every page the timed runs use (tables, output buffer) before the clock starts.
    std::vector<uint8_t> out(static_cast<size_t>(capacity), 0);
    {
        FILE* file = std::tmpfile();
        BitWriter writer(file);
        writer.openBuffer();
        int32_t len = int32_t(std::min(data.size(), size_t(capacity)));
        encoder.encodeChunk(data.data(), len, writer, 2, 0, 0);
        writer.flush();
        std::rewind(file);
        BitReader reader(file);
        reader.openBuffer();
        reader.loadSegment();
        decoder.decodeChunk(out.data(), len, reader);
        std::fclose(file);
    }

    for (int level = 0; level < 6; ++level) {
        double bestEncode = 1e30, bestDecode = 1e30;
        long size = 0;
        bool same = true;
        for (int run = 0; run < gRepeats; ++run) {
            FILE* file = std::tmpfile();
            BitWriter writer(file);
            writer.openBuffer();
            encoder.resetModels();
            double start = seconds();
            for (size_t at = 0; at < data.size(); at += size_t(capacity)) {
                int32_t len = int32_t(std::min(data.size() - at, size_t(capacity)));
                encoder.encodeChunk(data.data() + at, len, writer, kLevels[level].chainLimit,
                                    kLevels[level].lookaheadLimit, kLevels[level].parseMode);
            }
            writer.flush();
            std::fflush(file);
            double encodeTime = seconds() - start;
            size = std::ftell(file);
            writer.release();

            std::rewind(file);
            BitReader reader(file);
            reader.openBuffer();
            decoder.resetModels();
            start = seconds();
            reader.loadSegment();
            double decodeTime = 0;
            for (size_t at = 0; at < data.size(); at += size_t(capacity)) {
                int32_t len = int32_t(std::min(data.size() - at, size_t(capacity)));
                decoder.decodeChunk(out.data(), len, reader);
                decodeTime += seconds() - start;
                same &= std::memcmp(out.data(), data.data() + at, size_t(len)) == 0;
                start = seconds();
            }
            reader.release();
            std::fclose(file);
            bestEncode = std::min(bestEncode, encodeTime);
            bestDecode = std::min(bestDecode, decodeTime);
        }
        std::printf("qzn c%-5d %12ld %8.3f %12.1f %12.1f%s\n", level + 1, size,
                    double(size) / double(data.size()), mb / bestEncode, mb / bestDecode,
                    same ? "" : "  MISMATCH");
    }

    // The same bytes through the system compressors, files in the temporary folder.
    const std::string base = "/tmp/qzn-bench-" + std::to_string(long(getpid()));
    const std::string in = base + ".in";
    FILE* f = std::fopen(in.c_str(), "wb");
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    struct Tool {
        const char* label;
        const char* compress;
        const char* decompress;
    };
    const Tool tools[] = {{"gzip -6", "gzip -6 -c", "gzip -d -c"},
                          {"zstd -3", "zstd -3 -q -c", "zstd -d -q -c"},
                          {"xz -6", "xz -6 -c", "xz -d -c"}};
    for (const Tool& tool : tools) {
        const std::string packed = base + ".z";
        double encodeTime = timeCommand(std::string(tool.compress) + " " + in + " > " + packed);
        double decodeTime =
            timeCommand(std::string(tool.decompress) + " " + packed + " > /dev/null");
        long size = fileSize(packed);
        if (encodeTime < 0 || decodeTime < 0) {
            std::printf("%-10s unavailable\n", tool.label);
            continue;
        }
        std::printf("%-10s %12ld %8.3f %12.1f %12.1f\n", tool.label, size,
                    double(size) / double(data.size()), mb / encodeTime, mb / decodeTime);
        std::remove(packed.c_str());
    }
    std::remove(in.c_str());
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> inputs;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--repeat=", 9) == 0) {
            gRepeats = std::max(1, std::atoi(argv[i] + 9));
            continue;
        }
        inputs.emplace_back(argv[i], readAll(argv[i]));
    }
    if (inputs.empty()) {
        const char* home = std::getenv("HOME");
        const std::string corpus = std::string(home ? home : "") + "/.cache/qzn-corpus/";
        for (const char* name : {"text-one.txt", "bin.tar"}) {
            std::vector<uint8_t> bytes = readAll(corpus + name);
            if (!bytes.empty()) inputs.emplace_back(corpus + name, std::move(bytes));
        }
    }
    if (inputs.empty()) {
        inputs.emplace_back("generated text", generateText(8 << 20));
        inputs.emplace_back("generated binary", generateBinary(8 << 20));
    }
    for (const auto& [name, bytes] : inputs) {
        if (bytes.empty()) {
            std::printf("%s: empty or unreadable\n", name.c_str());
            continue;
        }
        benchInput(name, bytes);
    }
    return 0;
}
