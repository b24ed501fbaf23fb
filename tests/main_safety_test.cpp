// Nothing lost, nothing destroyed: an archive never overwrites or stores its own input, a failed
// or interrupted run leaves what was there before, and no run that ends with status 0 left less
// than it should. All through the real binary.
#include "main_e2e.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#ifndef _WIN32
#include <dirent.h>
#endif

using namespace qzn_e2e;

namespace {

TEST(Safety, FailedPackLeavesTheOldArchive) {
    Sandbox box;
    box.put("old.qzn", "the previous archive");
    box.put("in/a.txt", textBytes(3000, 1));
    // A mistyped input: the old archive stays as it was, and no temporary file is left.
    RunResult r = box.run({"-force-overwrite", "c2", "old.qzn", "/missing/path"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Error: /missing/path does not exist\n"), std::string::npos) << r.out;
    EXPECT_EQ(readFile(box.at("old.qzn")), "the previous archive");
    EXPECT_EQ(namesIn(box.work), (std::set<std::string>{"old.qzn", "in"}));

    // A successful pack replaces it; the replaced archive keeps its permissions.
    fs::permissions(box.at("old.qzn"), fs::perms(0640));
    r = box.run({"-force-overwrite", "c2", "old.qzn", "in"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(namesIn(box.work), (std::set<std::string>{"old.qzn", "in"}));
    if (!qzn::testing::kWindows) { // POSIX permission bits
        EXPECT_EQ(fs::status(box.at("old.qzn")).permissions() & fs::perms::all, fs::perms(0640));
    }
    EXPECT_EQ(box.run({"t", "old.qzn"}).status, 0);
}

// File-size limits and signals: POSIX cases.
#ifndef _WIN32
TEST(Safety, FailedFinalFlushPrintsNoStatistics) {
    Sandbox box;
    box.put("old.qzn", "the previous archive");
    // 300 KB that do not compress: the whole archive is written by the final flush, past the
    // child's 64 KB file size limit.
    box.put("in.bin", randomBytes(300000, 2));
    box.fileSizeLimit = 64 << 10;
    RunResult r = box.run({"-force-overwrite", "c2", "old.qzn", "in.bin"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Done compressing"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Error: Failed to write old.qzn\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(" -> "), std::string::npos) << r.out;
    EXPECT_EQ(readFile(box.at("old.qzn")), "the previous archive");
    EXPECT_EQ(namesIn(box.work), (std::set<std::string>{"old.qzn", "in.bin"}));
}

// A failed unpack takes away the file it was writing, but never a device named as the output.
TEST(Safety, FailedUnpackKeepsADeviceNamedAsOutput) {
    if (!fs::is_character_file("/dev/full")) GTEST_SKIP() << "no /dev/full";
    Sandbox box;
    box.put("in.txt", textBytes(5000, 3));
    ASSERT_EQ(box.run({"c2", "one.qzn", "in.txt"}).status, 0);
    RunResult r = box.run({"-force-overwrite", "d", "one.qzn", "/dev/full"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Error: Failed to write /dev/full\n"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

// Each of the four signals, part way through a pack and part way through an unpack. The run starts
// with each of them at its default action (Sandbox::start), as a shell in the foreground leaves
// them, whatever the test program was started with. Each run is held part way by its output
// pipe, so that the signal lands before its end however fast the machine.
TEST(Safety, InterruptedPackAndUnpackLeaveNothingBehind) {
    Sandbox box;
    // Incompressible bytes first, so that segments reach the disk early; 160 chunks of 64 KB,
    // whose progress lines fill the output pipe.
    box.put("big", randomBytes(2 << 20, 3) + textBytes(8 << 20, 4));
    box.put("old.qzn", "the previous archive");
    box.put("long.txt", textBytes(32 << 20, 5));
    ASSERT_EQ(box.run({"-window:16", "c1", "long.qzn", "long.txt"}).status, 0);
    const auto before = namesIn(box.work);

    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(sig);
        int output = -1;
        pid_t pid =
            box.startHeld({"-force-overwrite", "-window:16", "c1", "old.qzn", "big"}, output);
        // Part way: the first segment is on the disk (the header goes with it), so the encoder
        // is running.
        EXPECT_TRUE(waitFor([&] { return sizeOf(temporaryBeside(box.work, "old.qzn")) > 0; }));
        kill(pid, sig);
        RunResult r = box.finish(pid, output);
        EXPECT_EQ(r.status, 128 + sig) << r.out;
        EXPECT_EQ(r.out.find(" -> "), std::string::npos) << r.out;
        EXPECT_EQ(readFile(box.at("old.qzn")), "the previous archive");
        EXPECT_EQ(namesIn(box.work), before);

        pid = box.startHeld({"d", "long.qzn", "long.out"}, output);
        EXPECT_TRUE(waitFor([&] { return sizeOf(box.at("long.out")) > 0; }));
        kill(pid, sig);
        r = box.finish(pid, output);
        EXPECT_EQ(r.status, 128 + sig) << r.out;
        EXPECT_EQ(r.out.find("All crc32 match"), std::string::npos) << r.out;
        EXPECT_EQ(namesIn(box.work), before);
    }
}

// A reader of standard output that goes away, as "qzn c a.qzn dir | head -c 10" does, ends a
// pack or an unpack with SIGPIPE's status and takes the unfinished file with it.
TEST(Safety, ClosedOutputPipeEndsTheRunAndLeavesNothingBehind) {
    Sandbox box;
    box.put("old.qzn", "the previous archive");
    // 256 chunks of 64 KB: their progress lines fill the output buffer several times over, so
    // that output reaches the pipe long before the end.
    box.put("big", textBytes(16 << 20, 6));
    ASSERT_EQ(box.run({"-window:16", "c1", "big.qzn", "big"}).status, 0);
    const auto before = namesIn(box.work);
    const std::vector<std::vector<std::string>> runs = {
        {"-force-overwrite", "-window:16", "c1", "old.qzn", "big"}, {"d", "big.qzn", "big.out"}};
    for (const auto& args : runs) {
        SCOPED_TRACE(args[args.size() - 3]);
        int output = -1;
        pid_t pid = box.start(QZN_BINARY, args, "", &output);
        close(output); // gone before the first line arrives
        RunResult r = box.finish(pid);
        EXPECT_EQ(r.status, 128 + SIGPIPE);
        EXPECT_EQ(readFile(box.at("old.qzn")), "the previous archive");
        EXPECT_EQ(namesIn(box.work), before);
    }
}

// A reader of standard output that goes away ends a run with SIGPIPE's status only while nothing
// is in place yet. A small pack prints nothing before its end, as its output waits in the buffer:
// that is flushed before the rename, so it ends so with the old archive still there. A small
// unpack has all its files in place when its output goes out: it ends with its own status.
TEST(Safety, ClosedOutputPipeStatusSaysWhatWasDone) {
    Sandbox box;
    box.put("old.qzn", "the previous archive");
    box.put("in/a.txt", textBytes(3000, 1));
    box.put("in/sub/b.txt", textBytes(2000, 2));
    ASSERT_EQ(box.run({"c1", "in.qzn", "in"}).status, 0);
    const auto before = namesIn(box.work);

    int output = -1;
    pid_t pid = box.start(QZN_BINARY, {"-force-overwrite", "c1", "old.qzn", "in"}, "", &output);
    close(output);
    RunResult r = box.finish(pid);
    EXPECT_EQ(r.status, 128 + SIGPIPE);
    EXPECT_EQ(readFile(box.at("old.qzn")), "the previous archive");
    EXPECT_EQ(namesIn(box.work), before);

    pid = box.start(QZN_BINARY, {"d", "in.qzn", "out"}, "", &output);
    close(output);
    r = box.finish(pid);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at("in")));
}

// Started with SIGPIPE ignored (as under nohup), a run leaves it so: a reader that goes away does
// not end it, and the archive is finished.
TEST(Safety, SigpipeIgnoredAtStartStaysIgnored) {
    Sandbox box;
    box.put("big", textBytes(16 << 20, 6)); // progress lines fill the output buffer many times
    box.ignoredSignals = {SIGPIPE};
    int output = -1;
    const pid_t pid = box.start(QZN_BINARY, {"-window:16", "c1", "big.qzn", "big"}, "", &output);
    close(output);
    RunResult r = box.finish(pid);
    box.ignoredSignals.clear();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(box.run({"t", "big.qzn"}).status, 0);
}

// A write past the file size limit (ulimit -f), with SIGXFSZ at its default action, fails with
// the system's reason, and the unfinished file goes: by unpack as by pack.
TEST(Safety, FileSizeLimitIsReportedAndLeavesNothing) {
    Sandbox box;
    box.put("in/big.bin", randomBytes(300000, 2));
    ASSERT_EQ(box.run({"c1", "a.qzn", "in"}).status, 0);
    box.fileSizeLimit = 64 << 10;
    RunResult r = box.run({"c1", "b.qzn", "in"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Error: Failed to write b.qzn\n" + std::string(std::strerror(EFBIG))),
              std::string::npos)
        << r.out;
    r = box.run({"d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(std::string(std::strerror(EFBIG)) + "\n"), std::string::npos) << r.out;
    box.fileSizeLimit = 0;
    EXPECT_EQ(namesIn(box.work), (std::set<std::string>{"a.qzn", "in", "out"}));
    EXPECT_TRUE(fs::is_empty(box.at("out")));
}

// The deepest folder of a chain below `top`, as a descriptor, and the chain's path.
int openChain(const fs::path& top, const std::vector<std::string>& names, bool create) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (const std::string& name : names) {
        if (create) mkdirat(fd, name.c_str(), 0755);
        const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    return fd;
}

std::set<std::string> namesInFolder(int folder) {
    std::set<std::string> names;
    DIR* dir = fdopendir(dup(folder));
    if (dir) rewinddir(dir); // the offset is shared with `folder`, and may be at the end
    while (dirent* entry = dir ? readdir(dir) : nullptr)
        if (entry->d_name[0] != '.') names.insert(entry->d_name);
    if (dir) closedir(dir);
    return names;
}

// An archive path longer than the system takes whole is written, renamed into place and, when
// the pack fails, removed, all through folder handles: no temporary file is left behind.
TEST(Safety, ArchivePathLongerThanTheSystemTakesLeavesNothingBehind) {
    Sandbox box;
    box.put("in/a.txt", textBytes(3000, 1));
    box.put("big/r.bin", randomBytes(300000, 2));
    std::vector<std::string> names;
    std::string folder = "long";
    for (int level = 0; level < 24; ++level) {
        names.push_back(std::string(200, char('a' + level)));
        folder += "/" + names.back();
    }
    fs::create_directory(box.at("long"));
    const int deepest = openChain(box.at("long"), names, true);
    ASSERT_GE(deepest, 0);
    const std::string archive = folder + "/a.qzn"; // about 4,850 bytes
    RunResult r = box.run({"c1", archive, "in"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(namesInFolder(deepest), std::set<std::string>{"a.qzn"});
    r = box.run({"t", archive});
    EXPECT_EQ(r.status, 0) << r.out;
    const struct stat before = [&] {
        struct stat st {};
        fstatat(deepest, "a.qzn", &st, 0);
        return st;
    }();

    box.fileSizeLimit = 64 << 10;
    r = box.run({"-force-overwrite", "c1", archive, "big"});
    box.fileSizeLimit = 0;
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(namesInFolder(deepest), std::set<std::string>{"a.qzn"});
    struct stat after {};
    fstatat(deepest, "a.qzn", &after, 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    close(deepest);
    EXPECT_EQ(std::system(("rm -rf '" + box.at("long").string() + "'").c_str()), 0);
}

#endif // _WIN32

#ifdef __linux__
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

// The archive's bytes reach the disk before its name does: a crash right after the rename must
// not leave an archive path naming a file whose data were never written. Read from the system
// calls themselves.
TEST(Safety, ArchiveIsSyncedBeforeItIsRenamed) {
    const std::string strace = "/usr/bin/strace";
    if (!fs::exists(strace)) GTEST_SKIP() << "no strace";
    Sandbox box;
    box.put("in/a.txt", textBytes(20000, 1));
    box.put("old.qzn", "the previous archive");
    const fs::path trace = box.root / "trace";
    writeFile(box.root / "stdin", "");
    const int status = qzn::testing::runProgram(
        strace,
        {"strace", "-f", "-y", "-o", utf8Text(trace), "-e",
         "trace=fsync,fdatasync,rename,renameat,renameat2", binaryPath(), "-force-overwrite", "c2",
         "old.qzn", "in"},
        box.work, box.root / "stdin", box.root / "stdout", box.root / "stderr");
    ASSERT_EQ(status, 0) << readFile(box.root / "stderr");
    ASSERT_EQ(box.run({"t", "old.qzn"}).status, 0);

    // `-y` shows the path behind every descriptor: "fsync(3</.../old.qzn.tmp>) = 0".
    const std::vector<std::string> calls = lines(readFile(trace));
    std::vector<std::string> synced;
    bool renamed = false;
    for (const std::string& call : calls) {
        const size_t open = call.find('<'), close = call.find(">)");
        if ((call.find(" fsync(") != std::string::npos ||
             call.find(" fdatasync(") != std::string::npos) &&
            open != std::string::npos && close != std::string::npos &&
            call.find(") = 0") != std::string::npos)
            synced.push_back(fs::path(call.substr(open + 1, close - open - 1)).filename().string());
        if (call.find("rename") == std::string::npos ||
            call.find("\"old.qzn\")") == std::string::npos)
            continue;
        // The first quoted name is the file renamed over the archive.
        const size_t first = call.find('"'), end = call.find('"', first + 1);
        const std::string source =
            fs::path(call.substr(first + 1, end - first - 1)).filename().string();
        EXPECT_NE(std::find(synced.begin(), synced.end(), source), synced.end())
            << source << " renamed before it was synced:\n"
            << readFile(trace);
        renamed = true;
    }
    EXPECT_TRUE(renamed) << readFile(trace);
}
#endif

// An archive of several segments cut inside its data: test and unpack fail, unpack keeps only
// the files it finished (each exactly as stored) and no partial one; with and without CRCs.
TEST(Safety, TruncatedArchiveNeverEndsInSuccess) {
    Sandbox box;
    box.put("in/1-first.txt", textBytes(4000, 6));
    box.put("in/2-second.bin", randomBytes(1800000, 7));
    box.put("in/3-third.txt", textBytes(5000, 8));
    for (const char* crcFlag : {"-window:16", "-skip-crc"}) {
        SCOPED_TRACE(crcFlag);
        ASSERT_EQ(box.run({"-force-overwrite", "-window:16", crcFlag, "c1", "a.qzn", "in"}).status,
                  0);
        const std::string archive = readFile(box.at("a.qzn"));
        ASSERT_GT(archive.size(), 3u * 524288u);
        for (size_t cut : {archive.size() / 2, archive.size() - 1000, archive.size() - 1}) {
            SCOPED_TRACE(cut);
            writeFile(box.at("cut.qzn"), archive.substr(0, cut));
            RunResult r = box.run({"l", "cut.qzn"});
            EXPECT_NE(r.out.find("\t2-second.bin ("), std::string::npos) << r.out;

            r = box.run({"t", "cut.qzn"});
            EXPECT_NE(r.status, 0) << r.out;
            EXPECT_EQ(r.out.find("All crc32 match"), std::string::npos) << r.out;

            fs::remove_all(box.at("out"));
            r = box.run({"d", "cut.qzn", "out"});
            EXPECT_NE(r.status, 0) << r.out;
            for (const auto& [name, contents] : snapshot(box.at("out")))
                EXPECT_EQ(contents, "file:" + readFile(box.at("in/" + name))) << name;
            // Cut in its middle, the large file was being written: it must be gone.
            if (cut == archive.size() / 2) {
                EXPECT_FALSE(fs::exists(box.at("out/2-second.bin")));
            }
        }
    }
}

TEST(Safety, ArchiveThatIsTheInputIsRefused) {
    Sandbox box;
    const std::string text = textBytes(5000, 1);
    box.put("f.txt", text);
    fs::create_hard_link(box.at("f.txt"), box.at("hard.txt"));
    // Links need a privilege on Windows.
    const bool links = !qzn::testing::kWindows;
    if (links) fs::create_symlink("f.txt", box.at("soft.txt"));
    // The same file under other spellings and names.
    for (const char* archive : {"f.txt", "./f.txt", "hard.txt", "soft.txt"}) {
        if (!links && std::string(archive) == "soft.txt") continue;
        SCOPED_TRACE(archive);
        RunResult r = box.run({"-force-overwrite", "c2", archive, "f.txt"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find(std::string("Error: The archive ") + archive + " is the input file"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(readFile(box.at("f.txt")), text);
    }
    if (links) {
        EXPECT_TRUE(fs::is_symlink(box.at("soft.txt")));
    }
}

// The archive being written is its temporary file. The old archive at the archive path is
// replaced at the end, so where the input holds that entry it is left out; a hard link to it still
// holds the old bytes afterwards and is stored like any file, inside the input and outside it.
TEST(Safety, HardLinkToTheOldArchiveIsStored) {
    Sandbox box;
    box.put("in/a.txt", textBytes(30000, 2));
    box.put("in/sub/b.txt", textBytes(20000, 3));
    ASSERT_EQ(box.run({"c", "in/sub/self.qzn", "in"}).status, 0);
    ASSERT_EQ(box.run({"c", "outside.qzn", "in"}).status, 0);
    const std::string inside = readFile(box.at("in/sub/self.qzn"));
    const std::string outside = readFile(box.at("outside.qzn"));
    fs::create_hard_link(box.at("in/sub/self.qzn"), box.at("in/kept.qzn"));
    fs::create_hard_link(box.at("outside.qzn"), box.at("in/sub/linked.qzn"));
    for (const char* archive : {"in/sub/self.qzn", "outside.qzn"}) {
        SCOPED_TRACE(archive);
        RunResult r = box.run({"-force-overwrite", "c", archive, "in"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find("kept.qzn (the archive being written)"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("linked.qzn (the archive being written)"), std::string::npos) << r.out;
        fs::remove_all(box.at("out"));
        r = box.run({"d", archive, "out"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(readFile(box.at("out/kept.qzn")) == inside);
        EXPECT_TRUE(readFile(box.at("out/sub/linked.qzn")) == outside);
    }
    // The entry at the archive path itself is not stored, and its warning names it.
    RunResult r = box.run({"l", "in/sub/self.qzn"});
    EXPECT_EQ(r.out.find("\tself.qzn ("), std::string::npos) << r.out;
    r = box.run({"-force-overwrite", "c", "in/sub/self.qzn", "in"});
    EXPECT_NE(r.out.find("Warning: Skipping in" + kSeparator + "sub" + kSeparator +
                         "self.qzn (the archive being written)\n"),
              std::string::npos)
        << r.out;
}

TEST(Safety, ArchiveInsideItsInputIsLeftOut) {
    Sandbox box;
    box.put("in/a.txt", textBytes(30000, 2));
    box.put("in/sub/b.txt", textBytes(20000, 3));
    const auto original = snapshot(box.at("in"));

    // New archive, then the same archive replaced: neither is stored, each with a warning.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        RunResult r = box.run({"-force-overwrite", "c", "in/sub/self.qzn", "in"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("Warning: Skipping in" + kSeparator + "sub" + kSeparator + "self.qzn"),
                  std::string::npos)
            << r.out;
        r = box.run({"l", "in/sub/self.qzn"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("\tb.txt ("), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\tself.qzn ("), std::string::npos) << r.out;

        fs::remove_all(box.at("out"));
        r = box.run({"d", "in/sub/self.qzn", "out"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(snapshot(box.at("out")), original);
    }
}

} // namespace
