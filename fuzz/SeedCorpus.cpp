// Writes the fuzz targets' seed inputs into the folder given: small archives of several kinds,
// made by the program's own pack mode, for the archive readers; parameter bytes followed by
// encoded chunks for the block decoder. Made at build time, so the seeds always have the format
// the code writes.
#include "Cli.h"
#include "ContextLz.h"
#include "FuzzSupport.h"
#include "Main.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Words from a small vocabulary with runs between them: compresses well, so seeds stay small.
Bytes sampleData(size_t n, uint32_t seed) {
    static const char* const words[] = {"archive ", "chunk ", "table ", "the ",   "window ",
                                        "match ",   "bits ",  "\n",     "level ", "file "};
    Bytes out;
    uint32_t x = seed;
    while (out.size() < n) {
        x = x * 1103515245u + 12345u;
        if ((x >> 24) % 9 == 0) {
            out.insert(out.end(), 8 + (x >> 8) % 40, uint8_t(x >> 16));
        } else {
            const std::string word = words[(x >> 16) % std::size(words)];
            out.insert(out.end(), word.begin(), word.end());
        }
    }
    out.resize(n);
    return out;
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Packs `input` into `archive` as the command line would, with the given flags and mode.
void pack(std::vector<std::wstring> arguments, const fs::path& input, const fs::path& archive) {
    arguments.insert(arguments.begin(), L"qzn");
    arguments.push_back(qzn::fromUtf8(archive.string()));
    arguments.push_back(qzn::fromUtf8(input.string()));
    qzn::qznMain(arguments);
}

// The block decoder target reads: table bits, window bits, chunk count and the last chunk's
// length from the first four bytes, then a segmented stream of blocks, each chunk filtered with
// 2, 4, 8 or 16 channels in turn.
void writeBlocks(const fs::path& path, uint8_t tableByte, uint8_t windowByte, uint8_t chunksByte,
                 uint8_t lengthByte, int level) {
    static const int32_t levels[6][3] = {{2, 0, 0},  {4, 1, 0},  {8, 2, 0},
                                         {24, 4, 1}, {64, 8, 1}, {224, 32, 2}};
    const uint32_t tableBits = 7 + tableByte % 6, windowBits = 1 + windowByte % 17;
    const uint32_t chunks = 1 + chunksByte % 3;
    const int32_t capacity = int32_t(1) << windowBits;
    FILE* file = std::fopen(path.string().c_str(), "wb");
    const uint8_t head[4] = {tableByte, windowByte, chunksByte, lengthByte};
    std::fwrite(head, 1, 4, file);
    {
        qzn::ContextLz codec;
        codec.configure(tableBits, 13, windowBits);
        codec.allocateEncoder();
        qzn::BitWriter writer(file);
        writer.openBuffer();
        for (uint32_t i = 0; i < chunks; ++i) {
            const int32_t len = i + 1 == chunks
                                    ? int32_t((lengthByte * 2654435761u) % uint32_t(capacity + 1))
                                    : capacity;
            Bytes chunk = sampleData(size_t(len), i + 1);
            qzn::ChannelFilter::forward(chunk.data(), len, 1 << (1 + i % 4));
            const int32_t* l = levels[level - 1];
            codec.encodeChunk(chunk.data(), len, writer, l[0], l[1], l[2]);
        }
        writer.flush();
    }
    std::fclose(file);
}

int makeSeeds(const fs::path& out) {
    const fs::path work = out / "input";
    fs::remove_all(out);
    for (const char* target : {"bitreader", "filetable", "decodechunk", "testmode", "api"})
        fs::create_directories(out / target);

    // Inputs: one text file; a tree with a duplicate, an empty file and a subfolder; records for
    // the channel filter; more than one 64 KiB chunk; an empty folder.
    fs::create_directories(work / "tree" / "sub");
    fs::create_directories(work / "empty");
    writeBytes(work / "one.txt", sampleData(1500, 1));
    writeBytes(work / "tree" / "a.txt", sampleData(900, 2));
    writeBytes(work / "tree" / "copy of a.txt", sampleData(900, 2));
    writeBytes(work / "tree" / "nothing", {});
    writeBytes(work / "tree" / "sub" / "b.txt", sampleData(700, 3));
    Bytes records;
    for (uint32_t i = 0; i < 600; ++i)
        records.insert(records.end(), {uint8_t(i), uint8_t(i >> 8), 0, 0});
    writeBytes(work / "records.bin", records);
    Bytes repeated; // long but compressing to little, so that the seeds stay small
    const Bytes line = sampleData(500, 4);
    while (repeated.size() < 70000) repeated.insert(repeated.end(), line.begin(), line.end());
    writeBytes(work / "long.txt", repeated);

    const fs::path archives = out / "testmode";
    pack({L"c1"}, work / "one.txt", archives / "one-level1.qzn");
    pack({L"c6"}, work / "tree", archives / "tree-level6.qzn");
    pack({L"-skip-crc", L"c3"}, work / "tree", archives / "tree-without-crc.qzn");
    pack({L"-filter:channels:4", L"c4"}, work / "records.bin", archives / "records-filter4.qzn");
    pack({L"-window:16", L"-table:7", L"-hash:7", L"c5"}, work / "long.txt",
         archives / "two-chunks.qzn");
    pack({L"c2"}, work / "empty", archives / "empty-folder.qzn");
    // The other archive readers start from the same archives.
    for (const auto& entry : fs::directory_iterator(archives)) {
        fs::copy_file(entry.path(), out / "bitreader" / entry.path().filename());
        fs::copy_file(entry.path(), out / "filetable" / entry.path().filename());
        fs::copy_file(entry.path(), out / "api" / entry.path().filename());
    }
    fs::remove_all(work);

    // Byte 0: 7 + b % 6 table bits; byte 1: 1 + b % 17 window bits; byte 2: 1 + b % 3 chunks.
    writeBlocks(out / "decodechunk" / "one-chunk", 5, 11, 0, 200, 2);
    writeBlocks(out / "decodechunk" / "three-chunks", 0, 9, 2, 77, 6);
    writeBlocks(out / "decodechunk" / "two-chunks", 2, 10, 1, 31, 4);

    // Pack mode reports some failures and returns: every seed must be there.
    int missing = 0;
    for (const auto& folder : fs::directory_iterator(out)) {
        for (const auto& seed : fs::directory_iterator(folder.path())) {
            if (fs::file_size(seed.path()) > 4) continue;
            std::fprintf(stderr, "seed %s is empty\n", seed.path().string().c_str());
            ++missing;
        }
    }
    return missing == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s output-folder\n", argv[0]);
        return 2;
    }
    // Pack mode's progress lines are not wanted, and any stop of its run fails the build.
    qzn::fuzz::prepare();
    try {
        return makeSeeds(argv[1]);
    } catch (const qzn::ProcessStop& stop) {
        std::fprintf(stderr, "making the seeds stopped with status %d\n", stop.status);
        return 1;
    }
}
