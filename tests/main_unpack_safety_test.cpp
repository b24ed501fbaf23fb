// Unpacking never destroys what it finds: not the archive it reads, whatever the output is called;
// not what a link in the output folder leads to; not a file it replaces, until the new contents
// are whole. And no number of leftover temporary files stops a run. All through the real binary.
#include "main_e2e.h"

using namespace qzn_e2e;

namespace {

using qzn::testing::kWindows;

// The output refused before anything is made or asked: the archive stays, byte for byte, and
// nothing new appears. A multi-segment archive, so that reading it goes on while it is written.
TEST(UnpackOutput, NeverTheArchiveItself) {
    Sandbox box;
    box.put("one.txt", randomBytes(1500000, 1));
    ASSERT_EQ(box.run({"c1", "one.qzn", "one.txt"}).status, 0);
    const std::string archive = readFile(box.at("one.qzn"));
    fs::create_hard_link(box.at("one.qzn"), box.at("hard.qzn"));
    if (!kWindows) fs::create_symlink("one.qzn", box.at("soft.qzn")); // needs a privilege there
    const auto before = namesIn(box.work);

    struct Case {
        std::vector<std::string> args;
        std::string input;
    };
    std::vector<Case> cases = {{{"-force-overwrite", "d", "one.qzn", "one.qzn"}, ""},
                               {{"d", "one.qzn", "one.qzn"}, "y\n"},
                               {{"-force-overwrite", "d", "one.qzn", "./one.qzn"}, ""},
                               {{"-force-overwrite", "d", "one.qzn", "hard.qzn"}, ""}};
    if (!kWindows) cases.push_back({{"-force-overwrite", "d", "one.qzn", "soft.qzn"}, ""});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[c.args.size() - 1]);
        RunResult r = box.run(c.args, c.input);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("Error: The output file " + c.args.back() +
                             " is the archive one.qzn itself\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("already exists"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Done decompressing"), std::string::npos) << r.out;
        EXPECT_EQ(readFile(box.at("one.qzn")), archive);
        EXPECT_EQ(namesIn(box.work), before);
    }
}

// In a tree, each file that would replace the archive is left alone with an error; the rest is
// unpacked, and the run ends with status 1.
TEST(UnpackOutput, TreeFilesThatAreTheArchiveAreLeftAlone) {
    Sandbox box;
    box.put("in/a.txt", textBytes(3000, 1));
    box.put("in/b.txt", textBytes(4000, 2));
    box.put("in/sub/c.txt", textBytes(5000, 3));
    box.put("in/sub/d.txt", textBytes(6000, 4));
    ASSERT_EQ(box.run({"c1", "t.qzn", "in"}).status, 0);
    const std::string archive = readFile(box.at("t.qzn"));
    for (const char* force : {"-threads:1", "-force-overwrite"}) {
        SCOPED_TRACE(force);
        fs::remove_all(box.at("out"));
        fs::create_directories(box.at("out/sub"));
        fs::create_hard_link(box.at("t.qzn"), box.at("out/b.txt"));
        if (!kWindows) fs::create_symlink("../../t.qzn", box.at("out/sub/d.txt"));
        RunResult r = box.run({force, "d", "t.qzn", "out"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("\nError: The output file out" + kSeparator +
                             "b.txt is the archive t.qzn itself\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("already exists"), std::string::npos) << r.out; // nothing to ask
        EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
        EXPECT_EQ(readFile(box.at("t.qzn")), archive);
        EXPECT_EQ(readFile(box.at("out/a.txt")), readFile(box.at("in/a.txt")));
        EXPECT_EQ(readFile(box.at("out/sub/c.txt")), readFile(box.at("in/sub/c.txt")));
        if (!kWindows) {
            EXPECT_NE(r.out.find("Error: The output file out/sub/d.txt is the archive t.qzn"),
                      std::string::npos)
                << r.out;
            EXPECT_TRUE(fs::is_symlink(box.at("out/sub/d.txt")));
        }
    }
}

// Making links needs a privilege on Windows, and Wine shows POSIX links to a Windows program as
// what they lead to: these cases are for POSIX.
TEST(UnpackOutput, LinksInTheOutputFolderAreNeverWrittenThrough) {
    if (kWindows) GTEST_SKIP() << "links need a privilege on Windows";
    Sandbox box;
    box.put("in/sub/deeper/file", "further below");
    box.put("in/z-copy", "two"); // a copy of file2, restored by copying
    const fs::path elsewhere = packTreeBesideElsewhere(box);
    const auto outside = snapshot(elsewhere);
    auto plantLinks = [&] {
        fs::remove_all(box.at("out"));
        fs::create_directories(box.at("out"));
        fs::create_symlink(elsewhere / "victim", box.at("out/file2"));
        fs::create_symlink(elsewhere, box.at("out/sub"));
        fs::create_symlink(elsewhere / "victim", box.at("out/z-copy"));
    };

    // Asked about (the question says it is a link), or forced: the links to files are replaced,
    // the link to a folder is refused, the rest is unpacked.
    for (const std::string force : {"", "-force-overwrite"}) {
        SCOPED_TRACE(force);
        plantLinks();
        RunResult r = force.empty() ? box.run({"d", "a.qzn", "out"}, "y\ny\n")
                                    : box.run({force, "d", "a.qzn", "out"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(countOf(r.out, "already exists as a link."), force.empty() ? 2u : 0u) << r.out;
        EXPECT_NE(r.out.find("Error: Output folder out/sub is a link; nothing is unpacked into "
                             "it\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(snapshot(elsewhere), outside);
        for (const char* name : {"out/file2", "out/z-copy"}) {
            EXPECT_FALSE(fs::is_symlink(box.at(name))) << name;
            EXPECT_EQ(readFile(box.at(name)), "two") << name;
        }
        EXPECT_EQ(readFile(box.at("out/file1")), "one");
        EXPECT_TRUE(fs::is_symlink(box.at("out/sub")));
    }

    // Declined: the link stays as it was. The refused folder has failed the run already.
    plantLinks();
    RunResult r = box.run({"d", "a.qzn", "out"}, "n\n");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(fs::is_symlink(box.at("out/file2")));
    EXPECT_EQ(snapshot(elsewhere), outside);

    // The output path typed on the command line is the user's choice: a link there is followed,
    // for a folder and for a single file.
    fs::create_directories(box.at("real"));
    fs::create_symlink("real", box.at("to-real"));
    r = box.run({"d", "a.qzn", "to-real"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(box.at("real/sub/deeper/file")), "further below");
    box.put("one.txt", "single");
    ASSERT_EQ(box.run({"c1", "one.qzn", "one.txt"}).status, 0);
    box.put("target.txt", "old");
    fs::create_symlink("target.txt", box.at("to-target"));
    r = box.run({"-force-overwrite", "d", "one.qzn", "to-target"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(fs::is_symlink(box.at("to-target")));
    EXPECT_EQ(readFile(box.at("target.txt")), "single");
}

// A replacement cut short by a stop keeps the old file whole, with either thread count, and
// leaves no temporary file; files finished before the stop are replaced.
TEST(UnpackOutput, StoppedReplacementKeepsTheOldFile) {
    Sandbox box;
    box.put("in/1-first.txt", textBytes(4000, 6));
    box.put("in/2-second.bin", randomBytes(1800000, 7));
    ASSERT_EQ(box.run({"-window:16", "c1", "a.qzn", "in"}).status, 0);
    const std::string archive = readFile(box.at("a.qzn"));
    writeFile(box.at("cut.qzn"), archive.substr(0, archive.size() / 2));
    for (const char* threads : {"-threads:1", "-threads:2"}) {
        SCOPED_TRACE(threads);
        box.put("out/1-first.txt", "old first");
        box.put("out/2-second.bin", "old second");
        RunResult r = box.run({threads, "-force-overwrite", "d", "cut.qzn", "out"});
        EXPECT_NE(r.status, 0) << r.out;
        EXPECT_EQ(readFile(box.at("out/1-first.txt")), readFile(box.at("in/1-first.txt")));
        EXPECT_EQ(readFile(box.at("out/2-second.bin")), "old second");
        EXPECT_EQ(namesIn(box.at("out")), (std::set<std::string>{"1-first.txt", "2-second.bin"}));
    }
}

// Leftovers of killed runs under every name the temporary file once had: a pack, and an unpack
// that replaces a file, still succeed.
TEST(UnpackOutput, LeftoverTemporaryFilesNeverStopARun) {
    Sandbox box;
    box.put("in.txt", textBytes(20000, 1));
    for (int i = 0; i < 1000; ++i) {
        const std::string suffix = i ? std::to_string(i) : "";
        box.put("a.qzn.tmp" + suffix, "left over");
        box.put("out.txt.tmp" + suffix, "left over");
    }
    RunResult r = box.run({"c1", "a.qzn", "in.txt"});
    EXPECT_EQ(r.status, 0) << r.out;
    box.put("out.txt", "old");
    r = box.run({"-force-overwrite", "d", "a.qzn", "out.txt"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(box.at("out.txt")), readFile(box.at("in.txt")));
    EXPECT_EQ(namesIn(box.work).size(), 2003u);
}

// A full disk and a signal: POSIX cases.
#ifndef _WIN32
TEST(UnpackOutput, FullDiskKeepsTheReplacedFile) {
    Sandbox box;
    box.put("r30", randomBytes(300000, 2));
    ASSERT_EQ(box.run({"-window:16", "c1", "r30.qzn", "r30"}).status, 0);
    box.fileSizeLimit = 64 << 10;
    for (const char* threads : {"-threads:1", "-threads:2"}) {
        SCOPED_TRACE(threads);
        box.put("keep", "old contents");
        RunResult r = box.run({threads, "-force-overwrite", "d", "r30.qzn", "keep"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("Error: Failed to write keep\n"), std::string::npos) << r.out;
        EXPECT_EQ(readFile(box.at("keep")), "old contents");
        EXPECT_EQ(namesIn(box.work), (std::set<std::string>{"r30", "r30.qzn", "keep"}));
    }
}

TEST(UnpackOutput, InterruptedReplacementKeepsTheOldFile) {
    Sandbox box;
    box.put("long.txt", textBytes(32 << 20, 5));
    ASSERT_EQ(box.run({"-window:20", "c1", "long.qzn", "long.txt"}).status, 0);
    ASSERT_EQ(box.run({"d", "long.qzn", "long.out"}).status, 0);
    const std::string contents = readFile(box.at("long.txt"));
    const auto before = namesIn(box.work);
    pid_t pid = box.start(QZN_BINARY, {"-force-overwrite", "d", "long.qzn", "long.out"});
    // Part way: new contents are being written (beside the old file, or over it).
    EXPECT_TRUE(waitFor([&] {
        return sizeOf(temporaryBeside(box.work, "long.out")) > 0 ||
               sizeOf(box.at("long.out")) != contents.size();
    }));
    kill(pid, SIGTERM);
    RunResult r = box.finish(pid);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.out;
    EXPECT_TRUE(readFile(box.at("long.out")) == contents); // no diff of 32 MB when it fails
    EXPECT_EQ(namesIn(box.work), before);
}
// The output typed for a single file may lead through a link to a pipe, which only takes the
// data where it is: the link is the user's choice, and neither it nor what it leads to is
// replaced.
TEST(UnpackOutput, TypedLinkToAPipeIsWrittenThrough) {
    Sandbox box;
    box.put("in.txt", textBytes(70000, 3));
    ASSERT_EQ(box.run({"c1", "one.qzn", "in.txt"}).status, 0);
    fs::create_symlink("/dev/stdout", box.at("to-stdout"));
    int pipe = -1;
    const pid_t pid =
        box.start(QZN_BINARY, {"-force-overwrite", "d", "one.qzn", "to-stdout"}, "", &pipe);
    RunResult r = box.finish(pid, pipe);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(readFile(box.at("in.txt"))), std::string::npos);
    EXPECT_TRUE(fs::is_symlink(box.at("to-stdout")));
}
#endif // _WIN32

} // namespace
