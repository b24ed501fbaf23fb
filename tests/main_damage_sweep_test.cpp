// Damaged archives: every byte of a real archive's first 4 KiB flipped, and the archive cut at
// every 97th byte, each run through list, test and unpack, the last two with one thread and
// with the decode pipeline. Every run must end in success, a clear "Error: " message with status
// 1, or the assertion stop; nothing may appear outside the output folder. The drivers run in
// this process with stops turned into exceptions, so a crash or a sanitizer report ends the
// test program itself.
#include "Files.h"
#include "Main.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

namespace qzn {
namespace {

namespace fs = std::filesystem;

// Relative path -> "dir" or the file's bytes, for every entry below the folder.
std::map<std::string, std::string> treeOf(const fs::path& folder) {
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        const std::string name = fs::relative(e.path(), folder).string();
        if (e.is_directory()) {
            tree[name] = "dir";
        } else {
            const std::vector<uint8_t> bytes = testing::readFile(e.path().string());
            tree[name] = "file:" + std::string(bytes.begin(), bytes.end());
        }
    }
    return tree;
}

// The entries of treeOf without their names, in a fixed order.
std::multiset<std::string> contentsOf(const fs::path& folder) {
    std::multiset<std::string> contents;
    for (const auto& [name, value] : treeOf(folder)) contents.insert(value);
    return contents;
}

// Runs `body` and checks that it ended in one of the accepted ways; returns whether it ended
// with success.
bool expectCleanEnd(const std::function<void()>& body, const std::string& what) {
    testing::StopResult r = testing::runCapturingStop(body);
    if (!r.stopped) return true;
    EXPECT_TRUE(r.status == 1 || r.status == kAssertStatus) << what << ": status " << r.status;
    if (r.status == 1) {
        EXPECT_NE(r.output.find("Error: "), std::string::npos) << what << ":\n" << r.output;
    } else if (r.status == kAssertStatus) {
        EXPECT_NE(r.output.find("Assert failed\n"), std::string::npos) << what << ":\n" << r.output;
    }
    return false;
}

class DamageSweep : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = fs::current_path();
        // Runs happen in work/, so a name that escaped the output folder would land in the
        // sandbox where the final check sees it.
        fs::create_directory(sandbox_ / "work");
        fs::current_path(sandbox_ / "work");
        fs::create_directories("in/sub/deeper");
        fs::create_directory("in/empty-folder");
        testing::writeFile("in/text.txt", testing::textLikeBytes(20000, 1));
        testing::writeFile("in/sub/more.txt", testing::textLikeBytes(15000, 2));
        testing::writeFile("in/sub/deeper/random.bin", testing::randomBytes(3000, 3));
        testing::writeFile("in/sub/copy.txt", testing::textLikeBytes(20000, 1));
        testing::writeFile("in/empty", std::string());
        Archiver archiver;
        archiver.tableBits = 10;
        archiver.windowBits = 15; // several chunks
        archiver.forceOverwrite = true;
        auto packed = testing::runCapturingStop([&] { pack(archiver, L"in", L"good.qzn"); });
        ASSERT_FALSE(packed.stopped) << packed.output;
        archive_ = testing::readFile("good.qzn");
        ASSERT_GT(archive_.size(), 4096u);
    }

    void TearDown() override {
        fs::current_path(previous_);
        std::set<std::string> top;
        for (const auto& e : fs::directory_iterator(sandbox_.path()))
            top.insert(testing::utf8Text(e.path().filename()));
        EXPECT_EQ(top, std::set<std::string>{"work"}) << "something was created outside work/";
        std::set<std::string> work;
        for (const auto& e : fs::directory_iterator(sandbox_ / "work"))
            work.insert(testing::utf8Text(e.path().filename()));
        EXPECT_EQ(work, (std::set<std::string>{"in", "good.qzn", "bad.qzn"}))
            << "something was created outside the output folder";
    }

    // list, test and unpack of one damaged archive, test and unpack with `threads`.
    void runAll(const std::vector<uint8_t>& bytes, const std::string& what, int32_t threads) {
        testing::writeFile("bad.qzn", bytes);
        expectCleanEnd(
            [] {
                // What a list reads: the header and the file table.
                BitReader reader;
                FileStream stream;
                ArchiveInput archive;
                openArchiveForReading(archive, L"bad.qzn", reader, stream);
            },
            what + " list");
        const std::string withThreads = what + " with " + std::to_string(threads) + " threads";
        expectCleanEnd(
            [&] {
                Archiver a;
                a.threads = threads;
                test(a, L"bad.qzn");
            },
            withThreads + " test");
        const bool unpacked = expectCleanEnd(
            [&] {
                Archiver a;
                a.threads = threads;
                a.forceOverwrite = true;
                unpack(a, L"bad.qzn", L"out");
            },
            withThreads + " unpack");
        // Success means exactly the original files and folders, nothing less and nothing else.
        // Names carry no check in the format, so a flipped name byte may rename an entry; its
        // contents must still be right.
        if (unpacked) {
            EXPECT_EQ(contentsOf("out"), contentsOf("in")) << what << " unpack ended with success";
        }
        std::error_code ignored;
        fs::remove_all("out", ignored);
    }

    testing::TempDir sandbox_;
    fs::path previous_;
    std::vector<uint8_t> archive_;
};

// The thread counts the sweeps decode with: one thread, and the pipeline with one and with
// three workers.
constexpr int32_t kThreadCounts[] = {1, 2, 4};

TEST_F(DamageSweep, EveryByteFlipInTheFirstFourKilobytes) {
    for (size_t i = 0; i < 4096; ++i) {
        std::vector<uint8_t> bad = archive_;
        bad[i] ^= 0xFF;
        runAll(bad, "flip at " + std::to_string(i), kThreadCounts[i % 3]);
        if (HasFailure()) break;
    }
}

TEST_F(DamageSweep, TruncationAtEvery97thByte) {
    for (size_t cut = 0; cut < archive_.size(); cut += 97) {
        for (int32_t threads : kThreadCounts)
            runAll(std::vector<uint8_t>(archive_.begin(), archive_.begin() + long(cut)),
                   "cut at " + std::to_string(cut), threads);
        if (HasFailure()) break;
    }
}

TEST_F(DamageSweep, TruncationIsReportedNotDecodedAsZeros) {
    // Cut inside the compressed data: the CRCs are not even needed to notice.
    std::vector<uint8_t> cut(archive_.begin(), archive_.begin() + long(archive_.size() / 2));
    testing::writeFile("bad.qzn", cut);
    for (int32_t threads : kThreadCounts) {
        auto r = testing::runCapturingStop([&] {
            Archiver a;
            a.threads = threads;
            test(a, L"bad.qzn");
        });
        EXPECT_TRUE(r.stopped);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find("Error: Corrupt archive: bad.qzn ends before its data"),
                  std::string::npos)
            << threads << " threads:\n"
            << r.output;
    }
}

} // namespace
} // namespace qzn
