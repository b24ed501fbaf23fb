// Archives cross between the Linux and the Windows build: the same input and flags give the
// same bytes, and a tree packed by either unpacks to the same tree with the other. Driven from
// the Linux side, which runs qzn.exe through Wine (Wine cannot report the status of a Linux
// program started from Windows). Skipped unless QZN_WINDOWS_BINARY names qzn.exe; once it is
// set, a missing qzn.exe or Wine is a failure, not a skip.
#include "main_e2e.h"

#include <cstdlib>
#include <set>

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

#ifndef _WIN32
    // Like runWindows, with standard output a pipe whose reader has already gone, as after
    // "| head -c 10".
    int runWindowsIntoClosedPipe(const Sandbox& box, const std::vector<std::string>& args) const {
        std::vector<std::string> all{"wine", exe_};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        int ends[2];
        if (pipe(ends) != 0) return -1;
        pid_t pid = fork();
        if (pid == 0) {
            int in = open("/dev/null", O_RDONLY);
            int err = open((box.root / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || err < 0 || chdir(box.work.c_str()) != 0) _exit(126);
            signal(SIGPIPE, SIG_DFL);
            dup2(in, 0);
            dup2(ends[1], 1);
            dup2(err, 2);
            close(ends[0]);
            execv(wine_.c_str(), argv.data());
            _exit(127);
        }
        close(ends[0]);
        close(ends[1]);
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
#endif

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

// Names made on Linux that are not UTF-8 cannot be written as they are on Windows: each byte
// that is not UTF-8 becomes U+FFFD, with the warning every renamed entry gets, showing the byte.
TEST_F(CrossPlatform, NamesThatAreNotUtf8AreWrittenWithAWarning) {
    Sandbox box;
    box.put("tree/caf\xE9.txt", "coffee");
    box.put("tree/d\xFF/inner", "inside");
    ASSERT_EQ(box.run({"c", "a.qzn", "tree"}).status, 0);
    RunResult r = runWindows(box, {"d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string replaced = "\xEF\xBF\xBD";
    EXPECT_NE(r.out.find("Warning: caf\\xE9.txt is written as out\\caf" + replaced + ".txt\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Warning: d\\xFF is written as out\\d" + replaced + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(countOf(r.out, "Warning"), 2u) << r.out;
    EXPECT_EQ(readFile(box.at("out/caf" + replaced + ".txt")), "coffee");
    EXPECT_EQ(readFile(box.at("out/d" + replaced + "/inner")), "inside");
}

// Links in the output folder, planted from this side (a Windows program cannot make them under
// Wine), are never written through by the Windows build: a link to a folder is refused, a link to
// a file replaced. Wine shows a link to a file as the file itself, so the question about it
// cannot say it is a link there.
TEST_F(CrossPlatform, LinksInTheOutputFolderAreNeverWrittenThrough) {
    Sandbox box;
    const fs::path elsewhere = packTreeBesideElsewhere(box);
    const auto outside = snapshot(elsewhere);
    fs::create_directories(box.at("out"));
    fs::create_symlink(elsewhere / "victim", box.at("out/file2"));
    fs::create_symlink(elsewhere, box.at("out/sub"));

    RunResult r = runWindows(box, {"-force-overwrite", "d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Error: Output folder out\\sub is a link; nothing is unpacked into it\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(snapshot(elsewhere), outside);
    EXPECT_FALSE(fs::is_symlink(box.at("out/file2")));
    EXPECT_EQ(readFile(box.at("out/file2")), "two");
    EXPECT_EQ(readFile(box.at("out/file1")), "one");
    EXPECT_TRUE(fs::is_symlink(box.at("out/sub")));
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

#ifndef _WIN32
// Windows has no SIGPIPE: a reader of the output that went away only makes the writes to it
// fail. The run goes on to its end, so what it leaves is complete: the archive or the unpacked
// file, and no temporary file.
TEST_F(CrossPlatform, ClosedOutputPipeLeavesOnlyCompleteFiles) {
    Sandbox box;
    box.put("old.qzn", "the previous archive");
    box.put("big", textBytes(4 << 20, 6));
    EXPECT_EQ(
        runWindowsIntoClosedPipe(box, {"-force-overwrite", "-window:16", "c1", "old.qzn", "big"}),
        0)
        << readFile(box.root / "stderr");
    EXPECT_EQ(runWindowsIntoClosedPipe(box, {"d", "old.qzn", "big.out"}), 0)
        << readFile(box.root / "stderr");
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(box.work))
        names.insert(utf8Text(entry.path().filename()));
    EXPECT_EQ(names, (std::set<std::string>{"big", "big.out", "old.qzn"}));
    EXPECT_EQ(box.run({"t", "old.qzn"}).status, 0);
    EXPECT_TRUE(readFile(box.at("big.out")) == readFile(box.at("big")));
}
#endif

} // namespace
