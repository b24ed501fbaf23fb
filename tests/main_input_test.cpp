// What pack reads, end to end through the real binary: nothing asked for is left out in silence
// (unreadable files and folders), an archive agrees with itself (files rewritten during a pack,
// files whose size says 0), links to folders are never entered, and trees of any shape and depth
// come back whole.
#include "main_e2e.h"

// POSIX only: users, pipes, permissions and links drive these cases; Windows long paths and
// names are covered by main_windows_test.cpp.
#ifndef _WIN32

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace qzn_e2e;

namespace {

bool contains(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

// Packs "in" into a.qzn as a user who cannot read the given entries. Root reads everything: the
// pack then runs as an unprivileged user, who may write the archive but not read those entries.
RunResult packWithUnreadable(Sandbox& box, const std::vector<std::string>& unreadable) {
    box.user = geteuid() == 0 ? 65534 : 0;
    fs::permissions(box.root, fs::perms::all);
    fs::permissions(box.work, fs::perms::all);
    for (const std::string& entry : unreadable) fs::permissions(box.at(entry), fs::perms::none);
    RunResult r = box.run({"-force-overwrite", "c1", "a.qzn", "in"});
    box.user = 0;
    return r;
}

TEST(Input, UnreadableFileAndFolderAreReportedAndFailThePack) {
    Sandbox box;
    box.put("in/ok.txt", textBytes(3000, 1));
    box.put("in/secret.txt", textBytes(2000, 2));
    box.put("in/locked/inner.txt", textBytes(1000, 3));
    box.put("in/sub/fine.txt", textBytes(4000, 4));
    RunResult r = packWithUnreadable(box, {"in/secret.txt", "in/locked"});
    ASSERT_NE(r.status, 125) << "cannot drop privileges";
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "Warning: Skipping in/secret.txt (file cannot be read)\n" +
                                    std::string(std::strerror(EACCES)) + "\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "Warning: Skipping in/locked (folder cannot be read)\n")) << r.out;

    // The archive is complete for everything else.
    fs::permissions(box.at("in/locked"), fs::perms::owner_all);
    r = box.run({"t", "a.qzn"});
    EXPECT_EQ(r.status, 0) << r.out;
    r = box.run({"d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out;
    auto expected = snapshot(box.at("in"));
    expected.erase("secret.txt");
    expected.erase("locked/inner.txt");
    EXPECT_EQ(snapshot(box.at("out")), expected);
}

// A folder that cannot be read fails the pack on its own, with the system's reason; no other
// failure stands beside it to do that instead.
TEST(Input, UnreadableFolderAloneFailsThePack) {
    Sandbox box;
    box.put("in/ok.txt", textBytes(3000, 1));
    box.put("in/locked/inner.txt", textBytes(1000, 3));
    RunResult r = packWithUnreadable(box, {"in/locked"});
    ASSERT_NE(r.status, 125) << "cannot drop privileges";
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "Warning: Skipping in/locked (folder cannot be read)\n" +
                                    std::string(std::strerror(EACCES)) + "\n"))
        << r.out;
    r = box.run({"t", "a.qzn"});
    EXPECT_EQ(r.status, 0) << r.out;
}

// Starts a pack of "in" into a.qzn that has measured in/big.bin (listed first) and is held before
// its data pass: it writes a CRC line per file to a pipe the test does not read, and "in/z" holds
// enough empty files to fill that pipe. The read end of the pipe goes to `output`.
pid_t packHeldBetweenThePasses(const Sandbox& box, int& output) {
    int capacity = 0;
    {
        int fds[2];
        if (pipe(fds) != 0) return -1;
        capacity = fcntl(fds[0], F_GETPIPE_SZ);
        close(fds[0]);
        close(fds[1]);
    }
    // About 81 bytes per CRC line: enough lines to fill the pipe and the output buffer twice.
    const int fillers = 2 * (capacity + 65536) / 81;
    fs::create_directories(box.at("in/z"));
    for (int i = 0; i < fillers; ++i) writeFile(box.at("in/z/e" + std::to_string(i)), "");
    const pid_t pid = box.start(QZN_BINARY, {"-force-overwrite", "c1", "a.qzn", "in"}, "", &output);
    int queued = 0;
    for (int waited = 0; pid > 0 && waited < 60000 && queued < capacity; waited += 10) {
        usleep(10000);
        ioctl(output, FIONREAD, &queued);
    }
    EXPECT_GE(queued, capacity) << "the pack never filled its output pipe";
    return pid;
}

// A file swapped for a FIFO between the two passes is never opened for reading, which would wait
// for a writer that never comes: its measured size is stored as zeros, with a warning, status 1.
TEST(Input, FileSwappedForAFifoWhilePackingIsNotWaitedFor) {
    Sandbox box;
    box.put("in/big.bin", randomBytes(50000, 5)); // too large to be kept in memory
    int output = -1;
    const pid_t pid = packHeldBetweenThePasses(box, output);
    ASSERT_GT(pid, 0);
    fs::remove(box.at("in/big.bin"));
    ASSERT_EQ(mkfifo(box.at("in/big.bin").c_str(), 0600), 0);
    // A pack that waits for a writer is ended, so that the test fails rather than hangs.
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 6000 && !done; ++i) usleep(10000);
        if (!done) kill(pid, SIGKILL);
    });
    RunResult r = box.finish(pid, output);
    done = true;
    watchdog.join();
    EXPECT_EQ(r.status, 1) << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0);
    EXPECT_TRUE(contains(r.out, "\nWarning: in/big.bin is no longer a regular file, it is stored "
                                "as zeros\n"));
    fs::remove(box.at("in/big.bin"));
    r = box.run({"d", "a.qzn", "out"});
    EXPECT_TRUE(readFile(box.at("out/big.bin")) == std::string(50000, '\0'));
}

TEST(Input, FileRewrittenDuringThePackIsCaughtByItsCrc) {
    // The CRC pass has read big.bin and cannot reach the data pass until the test reads: big.bin
    // is rewritten in place in between, deterministically.
    Sandbox box;
    const std::string before = randomBytes(50000, 5); // too large to be kept in memory
    box.put("in/big.bin", before);
    int output = -1;
    const pid_t pid = packHeldBetweenThePasses(box, output);
    ASSERT_GT(pid, 0);
    std::string after = before;
    for (size_t i = 0; i < after.size(); i += 997) after[i] = char(~after[i]);
    {
        std::fstream rewrite(box.at("in/big.bin"), std::ios::in | std::ios::out | std::ios::binary);
        rewrite.write(after.data(), std::streamsize(after.size()));
    }
    RunResult r = box.finish(pid, output);
    EXPECT_EQ(r.status, 1) << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0);
    EXPECT_TRUE(contains(r.out, "Warning: in/big.bin changed while packing\n"));
    // The stored bytes are the new ones under the old CRC: the archive's own test says so.
    r = box.run({"t", "a.qzn"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "Error: Invalid crc32 for big.bin\n")) << r.out;
}

// System files that report no size hold text all the same, and a /sys file reports a page and
// holds a few bytes: each is stored as the bytes it holds, with CRC-32 values or without, as the
// input itself or inside a folder, and the archive agrees with itself.
TEST(Input, SystemFilesAreStoredAsTheyReadWithOrWithoutCrcs) {
    const std::string poolsize = "/proc/sys/kernel/random/poolsize", status = "/proc/self/status";
    const std::string page = "/sys/devices/system/cpu/online";
    for (const std::string& file : {poolsize, status, page})
        if (!fs::exists(file)) GTEST_SKIP() << "no " << file;
    ASSERT_EQ(fs::file_size(poolsize), 0u);
    ASSERT_LT(readFile(page).size(), fs::file_size(page));
    Sandbox box;
    box.put("in/a.txt", textBytes(500, 6));
    fs::create_symlink(poolsize, box.at("in/poolsize"));
    fs::create_symlink(status, box.at("in/status"));
    fs::create_symlink(page, box.at("in/online"));
    for (const char* flag : {"-threads:1", "-threads:2", "-skip-crc"}) {
        for (const std::string& input : {poolsize, page, std::string("in")}) {
            SCOPED_TRACE(std::string(flag) + " " + input);
            RunResult r = box.run({"-force-overwrite", flag, "c1", "s.qzn", input});
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_FALSE(contains(r.out, "Warning")) << r.out;
            r = box.run({"t", "s.qzn"});
            EXPECT_EQ(r.status, 0) << r.out;
            fs::remove_all(box.at("out"));
            r = box.run({"d", "s.qzn", "out"});
            EXPECT_EQ(r.status, 0) << r.out;
            if (input != "in") {
                EXPECT_EQ(readFile(box.at("out")), readFile(input));
                continue;
            }
            EXPECT_EQ(readFile(box.at("out/poolsize")), readFile(poolsize));
            EXPECT_EQ(readFile(box.at("out/online")), readFile(page));
            // The pack's own status, read once and kept: whole, from its first line to its last.
            const std::string own = readFile(box.at("out/status"));
            EXPECT_EQ(own.rfind("Name:\tqzn\n", 0), 0u) << own;
            EXPECT_TRUE(contains(own, "\nVmRSS:") && own.back() == '\n') << own;
        }
    }
}

// Names a link to `target` inside `folder` so that the folder lists it before the target.
std::string linkListedBefore(const fs::path& folder, const std::string& target) {
    for (int k = 0; k < 200; ++k) {
        const std::string name = "alias" + std::to_string(k);
        fs::create_directory_symlink(target, folder / name);
        std::vector<std::string> order;
        DIR* dir = opendir(folder.c_str());
        while (dirent* e = readdir(dir)) order.push_back(e->d_name);
        closedir(dir);
        auto at = [&](const std::string& n) { return std::find(order.begin(), order.end(), n); };
        if (at(name) < at(target)) return name;
        fs::remove(folder / name);
    }
    return "";
}

TEST(Input, LinksToFoldersAreSkippedAndTheRealFolderKept) {
    Sandbox box;
    box.put("in/real/r.txt", textBytes(700, 7));
    box.put("in/top.txt", textBytes(300, 8));
    box.put("elsewhere/x.txt", textBytes(300, 9));
    fs::create_directory_symlink("..", box.at("in/real/loop")); // back to in: a loop
    fs::create_directory_symlink(box.at("elsewhere"), box.at("in/outside"));
    const std::string alias = linkListedBefore(box.at("in"), "real");
    ASSERT_FALSE(alias.empty()) << "no name listed before the folder";

    RunResult r = box.run({"-force-overwrite", "c1", "a.qzn", "in"});
    EXPECT_EQ(r.status, 0) << r.out;
    for (const std::string& link :
         std::vector<std::string>{"in/real/loop", "in/outside", "in/" + alias})
        EXPECT_TRUE(contains(r.out, "Warning: Skipping " + link + " (link to a folder)\n"))
            << r.out;
    r = box.run({"d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::map<std::string, std::string> expected = {
        {"real", "dir"},
        {"real/r.txt", "file:" + textBytes(700, 7)},
        {"top.txt", "file:" + textBytes(300, 8)}};
    EXPECT_EQ(snapshot(box.at("out")), expected);
}

// ---- Tree shapes ---------------------------------------------------------------------------

std::string numbered(const char* prefix, int n) {
    char text[64];
    std::snprintf(text, sizeof text, "%s%d", prefix, n);
    return text;
}
std::string levelText(int level) {
    return numbered("level ", level);
}

// A chain of `depth` folders below `top`, each holding one file: built and read through
// relative opens, since the deepest paths are longer than the system accepts whole.
void makeChain(const fs::path& top, int depth, const std::string& stem) {
    fs::create_directories(top);
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < depth && fd >= 0; ++level) {
        const std::string file = numbered("f", level);
        int out = openat(fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const std::string text = levelText(level);
        EXPECT_EQ(write(out, text.data(), text.size()), ssize_t(text.size()));
        close(out);
        const std::string name = numbered(stem.c_str(), level);
        EXPECT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    if (fd >= 0) close(fd);
}

// Levels of the chain below `top` whose file holds what makeChain wrote; stops at the first
// missing or different one.
int intactLevels(const fs::path& top, int depth, const std::string& stem) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    int level = 0;
    for (; level < depth && fd >= 0; ++level) {
        const std::string file = numbered("f", level);
        int in = openat(fd, file.c_str(), O_RDONLY);
        char buffer[64];
        ssize_t n = in >= 0 ? read(in, buffer, sizeof buffer) : -1;
        if (in >= 0) close(in);
        if (n < 0 || std::string(buffer, size_t(n)) != levelText(level)) break;
        const std::string name = numbered(stem.c_str(), level);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    if (fd >= 0) close(fd);
    return level;
}

TEST(Input, TreeDeeperThanThePathLimitRoundTrips) {
    Sandbox box;
    const int depth = 300;
    const std::string stem = "a_rather_long_folder_name_"; // about 8,700 bytes at the bottom
    makeChain(box.at("deep"), depth, stem);

    RunResult r = box.run({"-force-overwrite", "c1", "a.qzn", "deep"});
    EXPECT_EQ(r.status, 0) << r.out.substr(0, 2000);
    EXPECT_TRUE(contains(r.out, "Duplicates: 0/300\n"));
    r = box.run({"t", "a.qzn"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "All crc32 match\n"));
    r = box.run({"l", "a.qzn"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(countOf(r.out, "Dir: "), size_t(depth + 1));
    r = box.run({"d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out.substr(0, 2000);
    EXPECT_EQ(intactLevels(box.at("out"), depth, stem), depth);
    // The folder removal of the test harness walks full paths; the system's own tool does not.
    EXPECT_EQ(std::system(("rm -rf '" + box.work.string() + "'").c_str()), 0);
}

TEST(Input, WideDeepAndOneFilePerFolderTreesRoundTrip) {
    Sandbox box;
    for (int i = 0; i < 3000; ++i) box.put("wide/w" + std::to_string(i), textBytes(30 + i % 50, i));
    for (int i = 0; i < 1000; ++i)
        box.put("spread/d" + std::to_string(i) + "/f", textBytes(20 + i % 70, i + 7));
    makeChain(box.at("chain"), 500, "c");
    for (const char* tree : {"wide", "spread", "chain"}) {
        SCOPED_TRACE(tree);
        RunResult r = box.run({"-force-overwrite", "c1", "a.qzn", tree});
        EXPECT_EQ(r.status, 0);
        r = box.run({"t", "a.qzn"});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(contains(r.out, "All crc32 match\n"));
        fs::remove_all(box.at("out"));
        r = box.run({"d", "a.qzn", "out"});
        EXPECT_EQ(r.status, 0);
        // (A snapshot of the chain would cost its depth squared in path lookups.)
        if (std::string(tree) == "chain")
            EXPECT_EQ(intactLevels(box.at("out"), 500, "c"), 500);
        else
            EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at(tree)));
    }
}

} // namespace

#endif // _WIN32
