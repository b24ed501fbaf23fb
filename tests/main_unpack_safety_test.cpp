// Unpacking never destroys what it finds: not the archive it reads, whatever the output is called;
// not what a link in the output folder leads to; not a file it replaces, until the new contents
// are whole; not another run's file. No number of leftover temporary files stops a run, and one
// entry that cannot be written (a folder that may not be written into, a name too long, a file
// held open) is left out while the rest goes on. All through the real binary.
#include "main_crafted.h"

#include <cstring>

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

// The archive is known by its device and inode (volume and file index) together: a file with the
// archive's inode number on another file system is another file, to be replaced like any.
TEST(UnpackOutput, ArchiveIsKnownByDeviceAndInodeTogether) {
    qzn::FileStream stream;
    qzn::OutputEntry entry;
    entry.kind = qzn::OutputKind::File;
    entry.reaches = true;
    entry.id = {7, 42};
    EXPECT_FALSE(stream.isTheArchive(entry)); // no archive known
    stream.archiveId = qzn::FileId{7, 42};
    EXPECT_TRUE(stream.isTheArchive(entry));
    entry.id = {8, 42};
    EXPECT_FALSE(stream.isTheArchive(entry));
    entry.id = {7, 43};
    EXPECT_FALSE(stream.isTheArchive(entry));
    entry = {}; // a link that leads nowhere
    entry.kind = qzn::OutputKind::Link;
    EXPECT_FALSE(stream.isTheArchive(entry));
}

// A file registered for clean-up with its identity is removed by a stop only while its name leads
// to that very file: another file put under the name meanwhile stays.
TEST(UnpackOutput, CleanUpRemovesOnlyTheVeryFileRegistered) {
    Sandbox box;
    box.put("made", "made by this run");
    box.put("other", "another run's file");
    const std::wstring made = qzn::fromUtf8(utf8Text(box.at("made")));
    qzn::FileId id, otherId;
    ASSERT_TRUE(qzn::fileId(made, id));
    ASSERT_TRUE(qzn::fileId(qzn::fromUtf8(utf8Text(box.at("other"))), otherId));
    int slot = qzn::registerCleanup(made, &id);
    ASSERT_GE(slot, 0);
    fs::rename(box.at("other"), box.at("made"));
    auto stop = qzn::testing::runCapturingStop([] { qzn::stopProcess(1); });
    qzn::unregisterCleanup(slot);
    EXPECT_TRUE(stop.stopped);
    EXPECT_EQ(readFile(box.at("made")), "another run's file");
    slot = qzn::registerCleanup(made, &otherId);
    stop = qzn::testing::runCapturingStop([] { qzn::stopProcess(1); });
    qzn::unregisterCleanup(slot);
    EXPECT_FALSE(fs::exists(box.at("made")));
}

// A file left out because a folder stands in its place fails the run; the rest is unpacked.
TEST(UnpackOutput, FileLeftOutForAFolderInItsPlaceFailsTheRun) {
    Sandbox box;
    box.put("in/a.txt", "first");
    box.put("in/b.txt", "second");
    ASSERT_EQ(box.run({"c1", "t.qzn", "in"}).status, 0);
    fs::create_directories(box.at("out/a.txt/inner"));
    RunResult r = box.run({"-force-overwrite", "d", "t.qzn", "out"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(
        r.out.find("\nError: out" + kSeparator + "a.txt is left out: a folder is in its place\n"),
        std::string::npos)
        << r.out;
    EXPECT_TRUE(fs::is_directory(box.at("out/a.txt/inner")));
    EXPECT_EQ(readFile(box.at("out/b.txt")), "second");
}

// Forty folders deep, each but the last alone in its parent, then two sibling folders with a file
// each: the way to the second shares the first's, of which the deepest folders were let go.
TEST(UnpackOutput, DeepChainEndingInTwoSiblingFoldersUnpacks) {
    Sandbox box;
    std::string deep = "in";
    for (int i = 0; i < 40; ++i) deep += "/d" + std::to_string(i);
    box.put(deep + "/x/f", "first");
    box.put(deep + "/y/g", "second");
    ASSERT_EQ(box.run({"c1", "t.qzn", "in"}).status, 0);
    RunResult r = box.run({"d", "t.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at("in")));
}

// A refusal after an error: the run has failed already, and the status says so.
TEST(UnpackOutput, DeclinedQuestionAfterAnErrorEndsWithStatusOne) {
    Sandbox box;
    box.put("in/a.txt", "first");
    box.put("in/b.txt", "second");
    ASSERT_EQ(box.run({"c1", "t.qzn", "in"}).status, 0);
    box.put("out/b.txt", "old");
    RunResult r = box.run({"d", "t.qzn", "out"}, "n\n");
    EXPECT_EQ(r.status, 0) << r.out; // nothing failed before
    fs::remove(box.at("out/a.txt"));
    fs::create_hard_link(box.at("t.qzn"), box.at("out/a.txt"));
    r = box.run({"d", "t.qzn", "out"}, "n\n");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("is the archive t.qzn itself\n"), std::string::npos) << r.out;
    EXPECT_EQ(countOf(r.out, "Error: Output file out" + kSeparator + "b.txt already exists."), 1u)
        << r.out;
    EXPECT_EQ(readFile(box.at("out/b.txt")), "old");
}

// With standard output sent to a file, the question reaches standard error as well, where the one
// who must answer it sees it; nothing else goes there.
TEST(UnpackOutput, QuestionGoesToStandardErrorTooWhenOutputIsRedirected) {
    Sandbox box;
    box.put("in.txt", "new");
    ASSERT_EQ(box.run({"c1", "one.qzn", "in.txt"}).status, 0);
    box.put("out.txt", "old");
    const std::string question = "\nError: Output file out.txt already exists. Press Y to "
                                 "overwrite it, A to overwrite all, or any other key to exit: ";
    RunResult r = box.run({"d", "one.qzn", "out.txt"}, "n\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.err, question);
    EXPECT_NE(r.out.find(question), std::string::npos) << r.out;
    r = box.run({"-force-overwrite", "d", "one.qzn", "out.txt"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.err, "");
}

// Names longer than the file system holds, as stored or once written under the name Windows can
// hold (a trailing dot or blank gets a '_', a device name a '_' before it): each such file, and
// each such folder with all below it, is left out with an error; the rest is unpacked.
TEST(UnpackOutput, NamesTooLongForTheFileSystemLeaveOnlyThemOut) {
    CraftedArchive crafted;
    crafted.file(0, L"a-first", "first");
    crafted.file(0, std::wstring(300, L'n'), "too long anywhere");
    crafted.file(crafted.folder(0, std::wstring(300, L'm')), L"inner", "below, too long anywhere");
    const std::wstring dotted = std::wstring(254, L'x') + L".",
                       blank = std::wstring(254, L'y') + L" ",
                       device = L"con." + std::wstring(251, L'c');
    crafted.file(0, dotted, "too long once mapped");
    crafted.file(crafted.folder(0, blank), L"inner", "below, too long once mapped");
    crafted.file(0, device, "a device name, too long once mapped");
    crafted.file(0, L"z-last", "last");
    Sandbox box;
    crafted.write(box.at("long.qzn"));
    RunResult r = box.run({"d", "long.qzn", "out"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(countOf(r.out, " is left out: the file system cannot hold its name\n"),
              kWindows ? 3u : 1u)
        << r.out;
    EXPECT_EQ(countOf(r.out, " cannot be made or opened; nothing is unpacked into it\n"),
              kWindows ? 2u : 1u)
        << r.out;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
    std::map<std::string, std::string> expected = {{"a-first", "file:first"},
                                                   {"z-last", "file:last"}};
    if (!kWindows) {
        expected[qzn::toUtf8(dotted)] = "file:too long once mapped";
        expected[qzn::toUtf8(blank)] = "dir";
        expected[qzn::toUtf8(blank) + "/inner"] = "file:below, too long once mapped";
        expected[qzn::toUtf8(device)] = "file:a device name, too long once mapped";
    }
    EXPECT_EQ(snapshot(box.at("out")), expected);
}

// A file that another program holds open cannot be replaced on Windows: it stays as it was, with
// an error naming it, and the rest is unpacked.
TEST(UnpackOutput, FileHeldOpenByAnotherProgramIsKept) {
    if (!kWindows) GTEST_SKIP() << "no open file keeps another from replacing it here";
    Sandbox box;
    box.put("in/a.txt", "first");
    box.put("in/b.txt", "second");
    box.put("in/c.txt", "third");
    ASSERT_EQ(box.run({"c1", "t.qzn", "in"}).status, 0);
    box.put("out/b.txt", "old");
    qzn::testing::HeldOpen held(box.at("out/b.txt"));
    ASSERT_TRUE(held.held());
    RunResult r = box.run({"-force-overwrite", "d", "t.qzn", "out"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("\nError: Failed to replace out\\b.txt\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
    EXPECT_EQ(readFile(box.at("out/a.txt")), "first");
    EXPECT_EQ(readFile(box.at("out/b.txt")), "old");
    EXPECT_EQ(readFile(box.at("out/c.txt")), "third");
    EXPECT_EQ(namesIn(box.at("out")), (std::set<std::string>{"a.txt", "b.txt", "c.txt"}));
}

// Permissions, a full disk and signals: POSIX cases.
#ifndef _WIN32
// A replacement takes the permissions of the file it replaces, never its set-user or set-group
// bits, which would now apply to other contents.
TEST(UnpackOutput, ReplacementDropsSetIdBits) {
    Sandbox box;
    box.put("in.txt", "new");
    ASSERT_EQ(box.run({"c1", "one.qzn", "in.txt"}).status, 0);
    box.put("out.txt", "old");
    fs::permissions(box.at("out.txt"), fs::perms(06755));
    RunResult r = box.run({"-force-overwrite", "d", "one.qzn", "out.txt"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(box.at("out.txt")), "new");
    EXPECT_EQ(fs::status(box.at("out.txt")).permissions() & fs::perms::mask, fs::perms(0755));
}

// A folder that may not be written into: each file that goes there is left out, with an error
// naming the folder, the file that was there stays, a folder that was to be made there is left
// out with all below it, and the rest is unpacked. Root writes anywhere: the run then takes
// an ordinary user's place.
TEST(UnpackOutput, UnwritableFolderLeavesOutOnlyWhatGoesInIt) {
    Sandbox box;
    box.put("in/a/f1", "one");
    box.put("in/a/f2", "two");
    box.put("in/a/sub/g", "below");
    box.put("in/b/h", "elsewhere");
    ASSERT_EQ(box.run({"c1", "t.qzn", "in"}).status, 0);
    box.put("out/a/f1", "old");
    fs::permissions(box.root, fs::perms::all);
    fs::permissions(box.work, fs::perms::all);
    fs::permissions(box.at("out"), fs::perms::all);
    fs::permissions(box.at("out/a"), fs::perms(0555));
    box.user = geteuid() == 0 ? 65534 : 0;
    RunResult r = box.run({"-force-overwrite", "d", "t.qzn", "out"});
    box.user = 0;
    ASSERT_NE(r.status, 125) << "cannot drop privileges";
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string denied = std::strerror(EACCES);
    for (const std::string& error :
         {"\nError: out/a/f1 is left out: the folder out/a cannot be written\n" + denied + "\n",
          "\nError: out/a/f2 is left out: the folder out/a cannot be written\n" + denied + "\n",
          "Error: Output folder out/a/sub cannot be made or opened; nothing is unpacked into it\n" +
              denied + "\n"})
        EXPECT_EQ(countOf(r.out, error), 1u) << error << r.out;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(box.at("out")),
              (std::map<std::string, std::string>{
                  {"a", "dir"}, {"a/f1", "file:old"}, {"b", "dir"}, {"b/h", "file:elsewhere"}}));
}

// Run A is stopped while it writes a new file; run B replaces that file with a whole, checked one;
// then A is ended: its clean-up finds B's file under the name, not its own, and leaves it.
TEST(UnpackOutput, CleanUpNeverTakesAnotherRunsFile) {
    Sandbox box;
    box.put("long.txt", textBytes(32 << 20, 5));
    ASSERT_EQ(box.run({"-window:20", "c1", "long.qzn", "long.txt"}).status, 0);
    const std::string contents = readFile(box.at("long.txt"));
    const pid_t a = box.start(QZN_BINARY, {"d", "long.qzn", "long.out"});
    EXPECT_TRUE(waitFor([&] { return sizeOf(box.at("long.out")) > 0; }));
    kill(a, SIGSTOP);
    RunResult b = box.run({"-force-overwrite", "d", "long.qzn", "long.out"});
    EXPECT_EQ(b.status, 0) << b.out;
    EXPECT_NE(b.out.find("All crc32 match\n"), std::string::npos) << b.out;
    kill(a, SIGTERM);
    kill(a, SIGCONT);
    RunResult r = box.finish(a);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.out;
    EXPECT_TRUE(readFile(box.at("long.out")) == contents); // no diff of 32 MB when it fails
    EXPECT_EQ(namesIn(box.work), (std::set<std::string>{"long.txt", "long.qzn", "long.out"}));
}

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
    // 512 chunks of 64 KB: their progress lines fill the output pipe that holds the unpack.
    ASSERT_EQ(box.run({"-window:16", "c1", "long.qzn", "long.txt"}).status, 0);
    ASSERT_EQ(box.run({"d", "long.qzn", "long.out"}).status, 0);
    const std::string contents = readFile(box.at("long.txt"));
    const auto before = namesIn(box.work);
    int output = -1;
    pid_t pid = box.startHeld({"-force-overwrite", "d", "long.qzn", "long.out"}, output);
    // Part way: new contents are being written (beside the old file, or over it), and the run
    // waits for its output pipe to be read.
    EXPECT_TRUE(waitFor([&] {
        return sizeOf(temporaryBeside(box.work, "long.out")) > 0 ||
               sizeOf(box.at("long.out")) != contents.size();
    }));
    kill(pid, SIGTERM);
    RunResult r = box.finish(pid, output);
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
