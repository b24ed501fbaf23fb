// The archive on a pipe ("-"): packed to standard output, read from standard input in whatever
// pieces arrive, and the files of an archive written to standard output; with the console on
// standard error whenever standard output carries data.
#include "main_crafted.h"
#include "main_e2e.h"

#ifndef _WIN32
#include <cstdlib>
#endif

using namespace qzn_e2e;
using qzn::testing::Child;

namespace {

// Bytes a text-mode stream would change (CR, LF, Ctrl-Z), in the files and so in the archive.
void makeTree(const Sandbox& box, const std::string& root) {
    const std::string lines = "one\r\ntwo\n\x1a three\r\n";
    box.put(root + "/lines.txt", lines + textBytes(4000, 1));
    box.put(root + "/same.txt", lines + textBytes(4000, 1));
    box.put(root + "/noise.bin", randomBytes(6000, 2));
    box.put(root + "/sub/empty", "");
    box.put(root + "/sub/deeper/more.txt", textBytes(3000, 3));
}

Child::Streams streamsIn(const Sandbox& box, const std::string& name, bool inPipe, bool outPipe) {
    return {inPipe ? fs::path() : box.root / (name + ".in"),
            outPipe ? fs::path() : box.root / (name + ".out"), box.root / (name + ".err")};
}

std::vector<std::string> argvOf(std::vector<std::string> args) {
    args.insert(args.begin(), binaryPath());
    return args;
}

TEST(Pipes, ArchiveThroughAOneByteRelayIsTheFileArchiveAndUnpacks) {
    Sandbox box;
    makeTree(box, "tree");
    ASSERT_EQ(box.run({"c2", "file.qzn", "tree"}).status, 0);
    const std::string fileArchive = readFile(box.at("file.qzn"));

    Child pack, unpack;
    writeFile(box.root / "pack.in", "");
    ASSERT_TRUE(pack.start(binaryPath(), argvOf({"c2", "-", "tree"}), box.work,
                           streamsIn(box, "pack", false, true)));
    ASSERT_TRUE(unpack.start(binaryPath(), argvOf({"d", "-", "out"}), box.work,
                             streamsIn(box, "unpack", true, false)));
    // One byte at a time each way: the unpack gets the archive in the smallest pieces there are.
    std::string carried;
    char byte;
    while (pack.read(&byte, 1) == 1) {
        carried += byte;
        ASSERT_TRUE(unpack.write(&byte, 1));
    }
    EXPECT_EQ(pack.wait(), 0) << readFile(box.root / "pack.err");
    EXPECT_EQ(unpack.wait(), 0) << readFile(box.root / "unpack.out");

    // Standard output held the archive alone, byte for byte the one written to a file, and the
    // console went to standard error.
    EXPECT_EQ(carried, fileArchive);
    for (char c : {'\r', '\n', '\x1a'}) EXPECT_NE(carried.find(c), std::string::npos) << int(c);
    const std::string packConsole = readFile(box.root / "pack.err");
    EXPECT_EQ(packConsole.rfind("QZN\n", 0), 0u) << packConsole;
    EXPECT_NE(packConsole.find("Done compressing"), std::string::npos);
    EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at("tree")));
    EXPECT_NE(readFile(box.root / "unpack.out").find("All crc32 match\n"), std::string::npos);
}

TEST(Pipes, ListAndTestReadStandardInput) {
    Sandbox box;
    makeTree(box, "tree");
    ASSERT_EQ(box.run({"c2", "a.qzn", "tree"}).status, 0);
    const std::string archive = readFile(box.at("a.qzn"));
    RunResult r = box.run({"t", "-"}, archive);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
    r = box.run({"l", "-"}, archive);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Files: 5\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tmore.txt (3 KB, crc32: "), std::string::npos) << r.out;
}

// The list needs only the file table, but reads the stream to its end: the pack writing into the
// pipe is not cut off.
// Runs that need only the start of the archive (a list; a file named that comes first) still read
// the pipe to its end, so that the pack writing into it finishes.
TEST(Pipes, RunsThatNeedOnlyTheStartLetThePackFinish) {
    Sandbox box;
    box.put("in/a.txt", textBytes(3000, 5));
    box.put("in/noise.bin", randomBytes(1 << 20, 4)); // far more than any pipe holds
    writeFile(box.root / "pack.in", "");
    const std::vector<std::vector<std::string>> readers = {
        {"l", "-"}, {"t", "-", "a.txt"}, {"d", "-", "out", "a.txt"}};
    for (const auto& args : readers) {
        SCOPED_TRACE(args[0]);
        Child pack, reader;
        ASSERT_TRUE(pack.start(binaryPath(), argvOf({"-window:16", "c1", "-", "in"}), box.work,
                               streamsIn(box, "pack", false, true)));
        ASSERT_TRUE(reader.start(binaryPath(), argvOf(args), box.work,
                                 streamsIn(box, "reader", true, false)));
        std::vector<char> block(65536);
        for (int64_t n; (n = pack.read(block.data(), block.size())) > 0;)
            if (!reader.write(block.data(), size_t(n))) break;
        EXPECT_EQ(pack.wait(), 0) << readFile(box.root / "pack.err");
        EXPECT_EQ(reader.wait(), 0) << readFile(box.root / "reader.out");
    }
    EXPECT_NE(readFile(box.root / "reader.out").find("All crc32 match\n"), std::string::npos);
    EXPECT_EQ(readFile(box.at("out/a.txt")), textBytes(3000, 5));
}

TEST(Pipes, ExistingFileIsKeptWhenTheArchiveComesFromStandardInput) {
    Sandbox box;
    box.put("in/a.txt", "new a");
    box.put("in/b.txt", "new b");
    ASSERT_EQ(box.run({"c2", "a.qzn", "in"}).status, 0);
    const std::string archive = readFile(box.at("a.qzn"));
    box.put("out/a.txt", "old a");

    // Standard input holds the archive: no answer can come from there, whatever it holds.
    RunResult r = box.run({"d", "-", "out"}, archive);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Error: Output file out" + kSeparator +
                         "a.txt already exists and is kept: the archive comes from standard "
                         "input, which cannot answer the overwrite question (-force-overwrite "
                         "replaces it)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(readFile(box.at("out/a.txt")), "old a");
    EXPECT_EQ(readFile(box.at("out/b.txt")), "new b"); // the rest is unpacked

    r = box.run({"-force-overwrite", "d", "-", "out"}, archive);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(box.at("out/a.txt")), "new a");
}

// The reader goes away while the archive is still being written: the pack ends with the status a
// shell gives a process that SIGPIPE ended, and leaves nothing behind.
TEST(Pipes, ReaderThatClosesEarlyEndsThePackWith141) {
    Sandbox box;
    box.put("in/noise.bin", randomBytes(1 << 20, 5)); // far more than any pipe holds
    const std::set<std::string> before = namesIn(box.work);
    Child pack;
    writeFile(box.root / "pack.in", "");
    ASSERT_TRUE(pack.start(binaryPath(), argvOf({"c1", "-", "in"}), box.work,
                           streamsIn(box, "pack", false, true)));
    char start[64];
    EXPECT_GT(pack.read(start, sizeof start), 0);
    pack.closeOutput();
    EXPECT_EQ(pack.wait(), 141) << readFile(box.root / "pack.err");
    EXPECT_EQ(namesIn(box.work), before);
    EXPECT_EQ(namesIn(box.at("in")), std::set<std::string>{"noise.bin"});
}

TEST(Pipes, TruncatedStreamOnStandardInputIsAnError) {
    Sandbox box;
    // Two segments, so that the cut falls behind the file table, in the contents.
    box.put("in/noise.bin", randomBytes(700000, 6));
    ASSERT_EQ(box.run({"c1", "a.qzn", "in"}).status, 0);
    const std::string archive = readFile(box.at("a.qzn"));
    ASSERT_GT(archive.size(), 600000u);
    RunResult r = box.run({"d", "-", "out"}, archive.substr(0, 600000));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Error: Corrupt archive: standard input ends before its data\n"),
              std::string::npos)
        << r.out;
    r = box.run({"t", "-"}, archive.substr(0, 600000));
    EXPECT_EQ(r.status, 1) << r.out;
    // Cut inside the first segment, which holds the file table.
    r = box.run({"d", "-", "out2"}, archive.substr(0, 1000));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Error: Corrupt archive: "), std::string::npos) << r.out;
}

// Files in list order (the root's files by name, then each folder's), each copy at its own place.
// Small chunks bring the large files in pieces: the first outgrows the memory its bytes are kept
// in and moves to the scratch file part way, the second goes there behind it.
TEST(Pipes, FilesGoToStandardOutputInListOrderCopiesIncluded) {
    Sandbox box;
    const std::string shared = textBytes(5000, 7);
    const std::string big = randomBytes(qzn::ContentsSink::kMemoryBytes + 200000, 8);
    const std::string other = randomBytes(qzn::ContentsSink::kMemoryBytes + 10, 10);
    box.put("in/a.txt", shared);
    box.put("in/b.txt", shared);
    box.put("in/big1", big);
    box.put("in/big2", big);
    box.put("in/c.bin", randomBytes(3000, 9));
    box.put("in/d/e.txt", shared);
    box.put("in/d/f.bin", "last");
    box.put("in/d/g1", other);
    box.put("in/d/g2", other);
    ASSERT_EQ(box.run({"-window:16", "c1", "a.qzn", "in"}).status, 0);

    const RunResult r = box.run({"d", "a.qzn", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string expected =
        shared + shared + big + big + randomBytes(3000, 9) + shared + "last" + other + other;
    EXPECT_TRUE(r.out == expected) << r.out.size() << " bytes instead of " << expected.size();
    EXPECT_NE(r.err.find("All crc32 match\n"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(box.at("-")));
}

TEST(Pipes, CrcMismatchOnStandardOutputIsReportedOnStandardError) {
    Sandbox box;
    CraftedArchive crafted;
    crafted.file(0, L"a.txt", "alpha");
    crafted.file(0, L"b.txt", "beta bytes");
    crafted.list.files[1].crc ^= 1;
    crafted.write(box.at("bad.qzn"));

    const RunResult r = box.run({"d", "bad.qzn", "-"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "alphabeta bytes"); // the bytes alone, gone out before the check
    EXPECT_NE(r.err.find("Error: Invalid crc32 for b.txt\n"), std::string::npos) << r.err;
}

// "-" means standard input or output only where it stands alone; "./-" is a file of that name.
TEST(Pipes, FileNamedDashIsReachedAsDotSlashDash) {
    Sandbox box;
    box.put("in/x.txt", "xx");
    ASSERT_EQ(box.run({"c2", "./-", "in"}).status, 0);
    EXPECT_TRUE(fs::is_regular_file(box.at("-")));
    EXPECT_EQ(box.run({"t", "./-"}).status, 0);
    box.put("single.txt", "one file");
    ASSERT_EQ(box.run({"c2", "s.qzn", "single.txt"}).status, 0);
    fs::remove(box.at("-"));
    const RunResult r = box.run({"d", "s.qzn", "./-"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(box.at("-")), "one file");
    EXPECT_EQ(r.out.find("one file"), std::string::npos);
}

#ifndef _WIN32
// Archive bytes would garble a terminal: refused before the input is looked at.
TEST(Pipes, ArchiveToATerminalIsRefused) {
    Sandbox box;
    box.put("in/x.txt", "xx");
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    const fs::path err = box.root / "stderr";
    const pid_t pid = fork();
    if (pid == 0) {
        const int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (slave < 0 || e < 0 || chdir(box.work.c_str()) != 0) _exit(126);
        dup2(slave, 1);
        dup2(e, 2);
        execl(QZN_BINARY, "qzn", "c", "-", "in", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(master);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string console = readFile(err);
    EXPECT_NE(console.find("Error: The archive would be written to a terminal\n"),
              std::string::npos)
        << console;
    EXPECT_EQ(console.find("Duplicates"), std::string::npos) << console;
}
#endif

} // namespace
