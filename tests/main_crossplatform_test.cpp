// Archives cross between the Linux and the Windows build: the same input and flags give the
// same bytes, and a tree packed by either unpacks to the same tree with the other. Driven from
// the Linux side, which runs qzn.exe through Wine (Wine cannot report the status of a Linux
// program started from Windows). Skipped unless QZN_WINDOWS_BINARY names qzn.exe; once it is
// set, a missing qzn.exe or Wine is a failure, not a skip.
#include "main_e2e.h"

#include <cstdlib>

using namespace qzn_e2e;

namespace {

std::string findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "";
    for (size_t start = 0; start <= folders.size();) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const fs::path candidate = fs::path(folders.substr(start, end - start)) / program;
        std::error_code ec;
        if (end > start && fs::is_regular_file(candidate, ec)) return candidate.string();
        start = end + 1;
    }
    return {};
}

class CrossPlatform : public ::testing::Test {
  protected:
    void SetUp() override {
        if (qzn::testing::kWindows) GTEST_SKIP() << "driven from the Linux build";
        const char* exe = std::getenv("QZN_WINDOWS_BINARY");
        if (!exe || !*exe) GTEST_SKIP() << "QZN_WINDOWS_BINARY does not name a qzn.exe";
        exe_ = fs::absolute(exe).string();
        ASSERT_TRUE(fs::is_regular_file(exe_)) << "QZN_WINDOWS_BINARY=" << exe_;
        wine_ = findOnPath("wine");
        ASSERT_FALSE(wine_.empty()) << "no wine on PATH";
    }

    // qzn.exe in the sandbox's work folder, which Wine sees as a folder of drive Z:.
    RunResult runWindows(const Sandbox& box, const std::vector<std::string>& args,
                         const std::string& input = "") const {
        std::vector<std::string> argv{"wine", exe_};
        argv.insert(argv.end(), args.begin(), args.end());
        writeFile(box.root / "stdin", input);
        RunResult result;
        result.status = qzn::testing::runProgram(wine_, argv, box.work, box.root / "stdin",
                                                 box.root / "stdout", box.root / "stderr");
        result.out = readFile(box.root / "stdout");
        result.err = readFile(box.root / "stderr");
        return result;
    }

    std::string exe_, wine_;
};

// One file, several flag sets: level, window, filter, table and hash sizes, CRCs skipped.
TEST_F(CrossPlatform, SingleFileArchivesAreByteIdentical) {
    Sandbox box;
    box.put("in.bin", textBytes(150000, 1) + sampleBytes(60000, 2) + randomBytes(5000, 3));
    const std::vector<std::vector<std::string>> flagSets = {
        {"c1"},
        {"-window:16", "-filter:channels:4", "c4"},
        {"-skip-crc", "-window:17", "-table:9", "-hash:17", "c6"},
    };
    for (const auto& flags : flagSets) {
        SCOPED_TRACE(flags.back());
        std::vector<std::string> onLinux{"-force-overwrite"};
        onLinux.insert(onLinux.end(), flags.begin(), flags.end());
        std::vector<std::string> onWindows = onLinux;
        onLinux.insert(onLinux.end(), {"linux.qzn", "in.bin"});
        onWindows.insert(onWindows.end(), {"windows.qzn", "in.bin"});
        RunResult r = box.run(onLinux);
        ASSERT_EQ(r.status, 0) << r.out;
        r = runWindows(box, onWindows);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const std::string archive = readFile(box.at("linux.qzn"));
        EXPECT_GT(archive.size(), 1000u);
        EXPECT_TRUE(archive == readFile(box.at("windows.qzn")));
    }
}

// A tree of names both platforms hold (beyond ASCII and beyond the Basic Multilingual Plane),
// nested and empty folders, empty files, duplicates and several chunks: packed by each, tested
// and unpacked by the other; the list of one archive is the same bytes from both.
TEST_F(CrossPlatform, TreesUnpackWithTheOtherBuild) {
    Sandbox box;
    const std::string same = randomBytes(3000, 4);
    box.put("tree/text.txt", textBytes(150000, 5));
    box.put("tree/dup1.bin", same);
    box.put("tree/gr\xC3\xB6\xC3\x9F"
            "e \xC3\xBC.txt",
            textBytes(4000, 6));
    box.put("tree/\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x98\x80.bin", randomBytes(900, 7));
    box.put("tree/\xE6\x97\xA5\xE6\x9C\xAC/dup2.bin", same);
    box.put("tree/d1/empty", "");
    box.put("tree/d1/d2/samples.raw", sampleBytes(40000, 8));
    box.put("tree/d1/d2/last-empty", "");
    fs::create_directories(box.at("tree/d1/empty-folder"));
    fs::create_directories(box.at("tree/empty-folder"));
    const auto tree = snapshot(box.at("tree"));

    // Packed on Linux, unpacked on Windows (to a relative and to an absolute Z: path).
    RunResult r = box.run({"-window:16", "c3", "linux.qzn", "tree"});
    ASSERT_EQ(r.status, 0) << r.out;
    r = runWindows(box, {"t", "linux.qzn"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
    r = runWindows(box, {"d", "linux.qzn", "out-windows"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("Warning"), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(box.at("out-windows")), tree);
    const std::string drivePath = "Z:" + utf8Text(box.at("out-z"));
    r = runWindows(box, {"d", "Z:" + utf8Text(box.at("linux.qzn")), drivePath});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(snapshot(box.at("out-z")), tree);

    const std::string linuxList = box.run({"l", "linux.qzn"}).out;
    EXPECT_NE(linuxList.find("\t\xF0\x9F\x98\x80.bin ("), std::string::npos) << linuxList;
    EXPECT_EQ(runWindows(box, {"l", "linux.qzn"}).out, linuxList);

    // Packed on Windows, unpacked on Linux.
    r = runWindows(box, {"-window:16", "c3", "windows.qzn", "tree"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = box.run({"t", "windows.qzn"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
    r = box.run({"d", "windows.qzn", "out-linux"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(snapshot(box.at("out-linux")), tree);
    EXPECT_EQ(runWindows(box, {"l", "windows.qzn"}).out, box.run({"l", "windows.qzn"}).out);
}

// A tree of a few hundred files (names beyond ASCII, names that differ only in case, empty
// folders, duplicates) packs to the same bytes with both builds, at one and at two threads.
TEST_F(CrossPlatform, TreeArchivesAreByteIdentical) {
    Sandbox box;
    const auto entries = mixedTree(true);
    std::vector<size_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = order.size() - 1 - i;
    createTree(box, "tree", entries, order);
    for (const char* threads : {"-threads:1", "-threads:2"}) {
        SCOPED_TRACE(threads);
        RunResult r = box.run({"-force-overwrite", threads, "c2", "linux.qzn", "tree"});
        ASSERT_EQ(r.status, 0) << r.out;
        r = runWindows(box, {"-force-overwrite", threads, "c2", "windows.qzn", "tree"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const std::string archive = readFile(box.at("linux.qzn"));
        EXPECT_GT(archive.size(), 10000u);
        EXPECT_TRUE(archive == readFile(box.at("windows.qzn")));
    }
}

} // namespace
