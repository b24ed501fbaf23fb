// Duplicate search against its literal definition: every pair (i, j), i < j, with identical
// contents makes j point at i (so at the latest such i) and counts once. Groups of files share
// size and CRC-32 without sharing contents, so that the grouping alone cannot give the answer.
#include "Files.h"
#include "FilesSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <unordered_map>

namespace qzn {
namespace {

namespace fs = std::filesystem;
using testing::runCapturingStop;
using testing::TempDir;
using testing::writeFile;

using Bytes = std::vector<uint8_t>;

uint32_t crcOf(const Bytes& bytes) {
    return crc32Update(0, bytes.data(), int32_t(bytes.size()));
}

// Two different 8-byte strings with the same CRC-32, found by a birthday search. Their XOR, D,
// has a CRC of zero in the linear sense: XOR-ing D into any message at any offset keeps the
// message's CRC-32, which gives as many equal-size, equal-CRC, different files as wanted.
Bytes collisionDifference() {
    std::mt19937_64 rng(7);
    std::unordered_map<uint32_t, uint64_t> seen;
    for (;;) {
        uint64_t value = rng();
        Bytes bytes(8);
        for (int k = 0; k < 8; ++k) bytes[size_t(k)] = uint8_t(value >> (8 * k));
        auto [it, fresh] = seen.emplace(crcOf(bytes), value);
        if (fresh || it->second == value) continue;
        Bytes difference(8);
        for (int k = 0; k < 8; ++k)
            difference[size_t(k)] = uint8_t((value ^ it->second) >> (8 * k));
        return difference;
    }
}

TEST(Duplicates, SameOutcomeAsComparingEveryPair) {
    const Bytes difference = collisionDifference();
    for (uint32_t seed : {1u, 2u, 3u}) {
        TempDir tmp;
        std::mt19937 rng(seed);
        const std::vector<std::string> folders = {"in", "in/a", "in/a/b", "in/c"};
        for (const std::string& folder : folders) fs::create_directories(tmp / folder);

        // Groups: a random base message and its variants (the difference XOR-ed in at some
        // offsets), each written several times into random folders; some files empty. Sizes
        // run past the largest file kept in memory, so kept and re-read files meet.
        int written = 0;
        for (int group = 0; group < 12; ++group) {
            const size_t size =
                group % 4 == 3 ? SmallFileCache::kLargestFile + 1 + rng() % 5000 : 16 + rng() % 300;
            Bytes base(size);
            for (uint8_t& b : base) b = uint8_t(rng());
            std::vector<Bytes> variants{base};
            for (int v = 0; v < 3; ++v) {
                Bytes variant = base;
                const size_t at = rng() % (size - 7);
                for (size_t k = 0; k < 8; ++k) variant[at + k] ^= difference[k];
                variants.push_back(variant);
            }
            const int copies = 3 + int(rng() % 6);
            for (int c = 0; c < copies; ++c) {
                const Bytes& contents =
                    rng() % 5 == 0 ? Bytes() : variants[rng() % variants.size()];
                writeFile(tmp /
                              (folders[rng() % folders.size()] + "/f" + std::to_string(written++)),
                          contents);
            }
        }

        FileList list;
        auto run = runCapturingStop([&] {
            list.scan(fromUtf8(tmp / "in"));
            list.measure(true);
            list.findDuplicates();
        });
        ASSERT_FALSE(run.stopped) << run.output;
        ASSERT_EQ(list.files.size(), size_t(written));

        // The literal rule over the files' contents in list order.
        std::vector<Bytes> contents;
        for (uint64_t i = 0; i < list.files.size(); ++i)
            contents.push_back(testing::readFile(toUtf8(list.pathOf(i))));
        std::vector<uint32_t> expected(contents.size(), kNoDuplicate);
        uint32_t pairs = 0;
        size_t collisions = 0; // equal size and CRC, different contents
        for (size_t i = 0; i < contents.size(); ++i) {
            for (size_t j = i + 1; j < contents.size(); ++j) {
                if (contents[i] == contents[j]) {
                    expected[j] = uint32_t(i);
                    ++pairs;
                } else if (contents[i].size() == contents[j].size() &&
                           crcOf(contents[i]) == crcOf(contents[j])) {
                    ++collisions;
                }
            }
        }
        EXPECT_GT(collisions, 10u);
        for (size_t j = 0; j < contents.size(); ++j) {
            EXPECT_EQ(list.files[j].duplicateOf, expected[j]) << "file " << j;
            EXPECT_EQ(list.files[j].crc, crcOf(contents[j]));
        }
        EXPECT_NE(run.output.find("Duplicates: " + std::to_string(pairs) + "/" +
                                  std::to_string(written) + "\n"),
                  std::string::npos)
            << run.output;
    }
}

TEST(Duplicates, ChainsCountEveryIdenticalPair) {
    // Four identical files and three empty ones: 6 + 3 pairs, each pointing at the latest
    // identical earlier file.
    TempDir tmp;
    fs::create_directories(tmp / "in");
    const std::vector<std::string> contents = {"same", "", "same", "", "same", "other", "", "same"};
    std::vector<std::pair<std::string, std::string>> files;
    for (size_t i = 0; i < contents.size(); ++i) files.push_back({std::to_string(i), contents[i]});
    FileList list = testing::folderListOf(tmp / "in", files);
    auto run = runCapturingStop([&] {
        list.measure(true);
        list.findDuplicates();
    });
    EXPECT_NE(run.output.find("Duplicates: 9/8\n"), std::string::npos) << run.output;
    const std::vector<uint32_t> expected = {
        kNoDuplicate, kNoDuplicate, 0, 1, 2, kNoDuplicate, 3, 4};
    for (size_t i = 0; i < contents.size(); ++i) EXPECT_EQ(list.files[i].duplicateOf, expected[i]);
}

} // namespace
} // namespace qzn
