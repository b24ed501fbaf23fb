// What the messages tell, through the real binary: a failure of the system is followed by the
// system's reason on a line of its own, a path that is neither a file nor a folder is called
// what it is, and a folder named as the archive is refused before anything is asked or done.
#include "main_e2e.h"

#include <cerrno>
#include <set>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

using namespace qzn_e2e;

namespace {

bool contains(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(utf8Text(entry.path().filename()));
    return names;
}

// The system's text for a failure, as the program prints it: an errno value on POSIX, an error
// code of the system on Windows.
std::string reason([[maybe_unused]] int posixError, [[maybe_unused]] unsigned long windowsError) {
#ifdef _WIN32
    SetLastError(windowsError);
#else
    errno = posixError;
#endif
    return qzn::toUtf8(qzn::systemErrorText());
}
constexpr unsigned long kWindowsFileNotFound = 2, kWindowsPathNotFound = 3;

TEST(Reasons, FailedOpensAndAMissingInputEndWithTheSystemsReason) {
    Sandbox box;
    box.put("in/a.txt", textBytes(3000, 1));

    RunResult r = box.run({"l", "missing.qzn"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "Failed to open input missing.qzn\n" +
                                    reason(ENOENT, kWindowsFileNotFound) + "\n"))
        << r.out;

    r = box.run({"c", "no-folder/a.qzn", "in"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "Failed to open output no-folder/a.qzn\n" +
                                    reason(ENOENT, kWindowsPathNotFound) + "\n"))
        << r.out;

    r = box.run({"c", "a.qzn", "no-folder/in"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "Error: no-folder/in does not exist\n" +
                                    reason(ENOENT, kWindowsPathNotFound) + "\n"))
        << r.out;
    EXPECT_EQ(namesIn(box.work), (std::set<std::string>{"in"}));
}

// Asking would call the folder a file, and -force-overwrite would pack everything only to fail
// at the rename: the folder is refused first, by every mode, and stays as it was.
TEST(PathKinds, FolderNamedAsTheArchiveIsRefusedBeforeTheQuestion) {
    Sandbox box;
    box.put("in/a.txt", textBytes(3000, 1));
    box.put("archive/keep.txt", "kept");
    const auto before = snapshot(box.work);
    const std::vector<std::vector<std::string>> runs = {{"c", "archive", "in"},
                                                        {"-force-overwrite", "c", "archive", "in"},
                                                        {"l", "archive"},
                                                        {"t", "archive"},
                                                        {"d", "archive", "out"}};
    for (const auto& args : runs) {
        SCOPED_TRACE(args[args.size() - 2]);
        RunResult r = box.run(args, "y\n");
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(contains(r.out, "Error: archive is a folder\n")) << r.out;
        EXPECT_FALSE(contains(r.out, "already exists")) << r.out;
        EXPECT_FALSE(contains(r.out, "crc32")) << r.out; // nothing was read
        EXPECT_EQ(snapshot(box.work), before);
    }
}

// Embeddings, overrides and isolates in a name would show its characters in another order than
// they have: each is printed as an escape, by pack as by list.
TEST(Escapes, BidirectionalControlsInNamesArePrintedAsEscapes) {
    Sandbox box;
    const std::vector<std::pair<std::string, std::string>> controls = {{"\xE2\x80\xAA", "\\u202A"},
                                                                       {"\xE2\x80\xAE", "\\u202E"},
                                                                       {"\xE2\x81\xA6", "\\u2066"},
                                                                       {"\xE2\x81\xA9", "\\u2069"}};
    for (const auto& [raw, escape] : controls) box.put("in/txt" + raw + "exe." + raw, "x");
    RunResult pack = box.run({"c1", "a.qzn", "in"});
    EXPECT_EQ(pack.status, 0) << pack.out;
    RunResult list = box.run({"l", "a.qzn"});
    EXPECT_EQ(list.status, 0) << list.out;
    for (const auto& [raw, escape] : controls) {
        EXPECT_TRUE(contains(list.out, "\ttxt" + escape + "exe." + escape + " (1 KB")) << list.out;
        EXPECT_TRUE(contains(pack.out, "txt" + escape + "exe." + escape)) << pack.out;
        EXPECT_FALSE(contains(list.out + pack.out, raw)) << escape;
    }
}

// A device named as the archive takes the archive where it is: no temporary file is made beside
// it, which could not be renamed over it (NUL on Windows, /dev/null here).
TEST(PathKinds, DeviceNamedAsTheArchiveIsWrittenInPlace) {
    Sandbox box;
    box.put("in/a.txt", textBytes(3000, 1));
    const std::string device = qzn::testing::kWindows ? "NUL" : "/dev/null";
    RunResult r = box.run({"-force-overwrite", "c2", device, "in"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(contains(r.out, "Error")) << r.out;
    EXPECT_TRUE(contains(r.out, "Done compressing")) << r.out;
    EXPECT_EQ(namesIn(box.work), (std::set<std::string>{"in"}));
}

#ifndef _WIN32
// POSIX cases: FIFOs, devices and links, file-size limits and /dev/full.

// A byte 0x80-0x9F that is not part of UTF-8 is kept in a name as it is, and an 8-bit terminal
// would take it for a C1 control: it is printed as an escape.
TEST(Escapes, RawC1ByteOfANameIsPrintedAsAnEscape) {
    Sandbox box;
    box.put("in/d\x9F", "x");
    RunResult r = box.run({"c1", "a.qzn", "in"});
    EXPECT_EQ(r.status, 0) << r.out;
    r = box.run({"l", "a.qzn"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "\td\\x9F (1 KB")) << r.out;
    EXPECT_FALSE(contains(r.out, "\x9F")) << r.out;
}

TEST(PathKinds, InputThatIsNeitherFileNorFolderIsCalledSo) {
    Sandbox box;
    ASSERT_EQ(mkfifo(box.at("fifo").c_str(), 0600), 0);
    fs::create_symlink("gone", box.at("dangling"));
    for (const std::string input : {"fifo", "dangling", "/dev/null"}) {
        SCOPED_TRACE(input);
        RunResult r = box.run({"c", "a.qzn", input});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(contains(r.out, "Error: " + input + " is not a file or folder\n")) << r.out;
        EXPECT_FALSE(contains(r.out, "No directory")) << r.out;
        EXPECT_FALSE(fs::exists(box.at("a.qzn")));
    }
}

// A write that fails inside the chunk loop is noticed after the chunk; one that fails when the
// archive is flushed to the disk at the end is noticed at once. Both name the archive and why.
TEST(Reasons, FailedWritesOfTheArchiveSayWhy) {
    Sandbox box;
    box.put("in.bin", randomBytes(3 << 20, 2));
    box.fileSizeLimit = 1 << 20;
    RunResult r = box.run({"-window:16", "c1", "a.qzn", "in.bin"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "Error: Failed to write a.qzn\n" + reason(EFBIG, 0) + "\n"))
        << r.out;
    // On a line of its own, not at the end of the progress line it cut short.
    EXPECT_TRUE(contains(r.out, " MB")) << r.out;
    EXPECT_TRUE(contains(r.out, " \nError: Failed to write a.qzn\n")) << r.out;
    EXPECT_FALSE(contains(r.out, "Done compressing")) << r.out;
    EXPECT_EQ(namesIn(box.work), (std::set<std::string>{"in.bin"}));
    box.fileSizeLimit = 0;

    if (!fs::is_character_file("/dev/full")) GTEST_SKIP() << "no /dev/full";
    r = box.run({"-force-overwrite", "c1", "/dev/full", "in.bin"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "Error: Failed to write /dev/full\n" + reason(ENOSPC, 0) + "\n"))
        << r.out;
}

// The archive cannot take the place of a file that another user owns in a folder with the
// sticky bit (as /tmp has): everything is packed, then the rename fails and says why.
TEST(Reasons, FailedRenameSaysWhyAndLeavesNoTemporaryFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs a second user to own the old archive";
    Sandbox box;
    box.put("in/a.txt", textBytes(3000, 1));
    box.put("old.qzn", "the previous archive");
    fs::permissions(box.root, fs::perms::all);
    fs::permissions(box.work, fs::perms::all | fs::perms::sticky_bit);
    box.user = 65534;
    RunResult r = box.run({"-force-overwrite", "c1", "old.qzn", "in"});
    ASSERT_NE(r.status, 125) << "cannot drop privileges";
    box.user = 0;
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "Done compressing")) << r.out;
    EXPECT_TRUE(contains(r.out, " to old.qzn\n" + reason(EPERM, 0) + "\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "\nError: Failed to rename ")) << r.out;
    EXPECT_EQ(readFile(box.at("old.qzn")), "the previous archive");
    EXPECT_EQ(namesIn(box.work), (std::set<std::string>{"in", "old.qzn"}));
}

// The program name goes into the usage text through the narrow print: it is made visible too.
TEST(PathKinds, ProgramNameInTheUsageTextIsVisible) {
    Sandbox box;
    RunResult r = box.runAs("qzn\x1B[8m", {});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "Pack: qzn\\x1B[8m [flags] c archive")) << r.out;
    EXPECT_FALSE(contains(r.out, "\x1B")) << r.out;
}
#endif

} // namespace
