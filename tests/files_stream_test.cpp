// The contents stream in both directions, the overwrite question, the output tree, duplicate
// copies and the CRC comparison.
#include "Files.h"
#include "FilesSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace qzn {
namespace {

namespace fs = std::filesystem;
using testing::folderListOf;
using testing::readFile;
using testing::runCapturingStop;
using testing::TempDir;
using testing::writeFile;

std::vector<uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

// A failure message, then the system's reason for it on a line of its own.
void expectWithReason(const std::string& output, const std::string& message) {
    EXPECT_EQ(output.substr(0, message.size()), message) << output;
    const std::string reason = output.substr(std::min(message.size(), output.size()));
    EXPECT_GT(reason.size(), 1u) << output;
    EXPECT_EQ(reason.find('\n'), reason.size() - 1) << output;
}

std::vector<uint8_t> readAll(FileStream& stream, int32_t step) {
    std::vector<uint8_t> all;
    std::vector<uint8_t> buffer(size_t(step) + 8, 0xEE);
    for (;;) {
        int32_t n = stream.read(buffer.data(), step);
        EXPECT_LE(n, step);
        EXPECT_EQ(buffer[size_t(step)], 0xEE); // never past the caller's buffer
        if (n <= 0) break;
        all.insert(all.end(), buffer.begin(), buffer.begin() + n);
        EXPECT_EQ(stream.consumed(), all.size());
    }
    return all;
}

// A folder list over the given files (contents), measured without CRCs.
void makeInput(FileStream& stream, const TempDir& tmp,
               const std::vector<std::pair<std::string, std::string>>& files) {
    static_cast<FileList&>(stream) = folderListOf(tmp.path(), files);
    for (size_t i = 0; i < files.size(); ++i) stream.files[i].size = files[i].second.size();
}

// ---- Reading (packing) ---------------------------------------------------------------------

TEST(StreamRead, ConcatenatesNonDuplicatesInAnyBufferSize) {
    for (int32_t step : {1, 3, 7, 100}) {
        TempDir tmp;
        FileStream stream;
        makeInput(stream, tmp, {{"a", "hello"}, {"e", ""}, {"b", "hello"}, {"c", " world!"}});
        stream.files[2].duplicateOf = 0;
        EXPECT_EQ(stream.totalSize(), 12u);
        auto run =
            runCapturingStop([&] { EXPECT_EQ(readAll(stream, step), bytesOf("hello world!")); });
        EXPECT_EQ(run.output, "");
        EXPECT_FALSE(stream.inputChanged);
        EXPECT_EQ(stream.current, 4u);
        EXPECT_EQ(stream.consumed(), 12u);
        EXPECT_EQ(stream.read(nullptr, 0), 0);
    }
}

TEST(StreamRead, ChangedFilesStillGiveTheirMeasuredSize) {
    TempDir tmp;
    FileStream stream;
    makeInput(stream, tmp, {{"shrunk", "abcdef"}, {"grown", "xyz"}, {"same", "!"}});
    writeFile(tmp / "shrunk", "ab");
    writeFile(tmp / "grown", "xyz and more");
    std::vector<uint8_t> all;
    auto run = runCapturingStop([&] { all = readAll(stream, 4); });
    EXPECT_FALSE(run.stopped);
    EXPECT_EQ(all, bytesOf(std::string("ab\0\0\0\0xyz!", 10)));
    EXPECT_TRUE(stream.inputChanged);
    EXPECT_EQ(run.output, "\nWarning: " + (tmp / "shrunk") + " changed size while packing\n" +
                              "\nWarning: " + (tmp / "grown") + " changed size while packing\n");
}

TEST(StreamRead, ReadErrorZeroFillsInsteadOfSpinning) {
    // A regular file that opens, but whose first bytes fail to read (Linux).
    const std::string failing = "/proc/self/mem";
    if (testing::kWindows || !fs::exists(failing)) GTEST_SKIP() << "no " << failing;
    TempDir tmp;
    FileStream stream;
    makeInput(stream, tmp, {{"after", "ok"}});
    FileEntry bad;
    bad.path = fromUtf8(failing);
    bad.size = 5;
    stream.files.insert(stream.files.begin(), bad);
    std::vector<uint8_t> all;
    auto run = runCapturingStop([&] { all = readAll(stream, 3); });
    EXPECT_EQ(all, bytesOf(std::string("\0\0\0\0\0ok", 7)));
    EXPECT_TRUE(stream.inputChanged);
    // With the system's reason on a line of its own.
    EXPECT_EQ(run.output, "\nWarning: Failed to read " + failing +
                              ", the rest is stored as zeros\n" + std::strerror(EIO) + "\n");
}

TEST(StreamRead, UnopenableFileIsStoredAsZeros) {
    // Gone since it was measured: the pack goes on with its measured size as zeros.
    TempDir tmp;
    FileStream stream;
    makeInput(stream, tmp, {{"a", "xyz"}, {"b", "ok"}});
    std::remove((tmp / "a").c_str());
    std::vector<uint8_t> all;
    auto run = runCapturingStop([&] { all = readAll(stream, 4); });
    EXPECT_FALSE(run.stopped);
    EXPECT_EQ(all, bytesOf(std::string("\0\0\0ok", 5)));
    EXPECT_TRUE(stream.inputChanged);
    // The system's reason follows on a line of its own.
    const std::string warning =
        "\nWarning: Failed to open " + (tmp / "a") + ", it is stored as zeros\n";
    EXPECT_EQ(run.output.substr(0, warning.size()), warning);
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 3) << run.output;
    EXPECT_GT(run.output.size(), warning.size() + 1) << run.output;
}

TEST(StreamRead, CopiesOfAFileStoredWithOtherBytesAreNamed) {
    // x is rewritten after its copies y (of x) and z (of y) were found: they unpack with its new
    // bytes. w grows, but the bytes stored of it are those it was measured with, which its copy v
    // holds: v is not named.
    TempDir tmp;
    FileStream stream;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"x", "abc"}, {"w", "def"}, {"y", "abc"}, {"v", "def"}, {"z", "abc"}};
    makeInput(stream, tmp, files);
    for (size_t i = 0; i < files.size(); ++i)
        stream.files[i].crc = crc32Update(0, bytesOf(files[i].second).data(), 3);
    stream.files[2].duplicateOf = 0;
    stream.files[3].duplicateOf = 1;
    stream.files[4].duplicateOf = 2;
    stream.checkCrcs = true;
    writeFile(tmp / "x", "abd");
    writeFile(tmp / "w", "defg");
    std::vector<uint8_t> all;
    auto run = runCapturingStop([&] { all = readAll(stream, 4); });
    EXPECT_EQ(all, bytesOf("abddef"));
    EXPECT_TRUE(stream.inputChanged);
    EXPECT_EQ(run.output, "\nWarning: " + (tmp / "x") + " changed while packing\n" + "Warning: " +
                              (tmp / "y") + " is stored as a copy of " + (tmp / "x") + "\n" +
                              "Warning: " + (tmp / "z") + " is stored as a copy of " + (tmp / "x") +
                              "\n" + "\nWarning: " + (tmp / "w") + " changed size while packing\n");
}

// ---- Writing (unpacking and testing) -------------------------------------------------------

FileEntry output(const TempDir& tmp, const std::string& name, uint64_t size,
                 uint32_t duplicateOf = kNoDuplicate) {
    FileEntry entry;
    entry.name = fromUtf8(name);
    entry.path = fromUtf8(tmp / name);
    entry.size = size;
    entry.duplicateOf = duplicateOf;
    return entry;
}

TEST(StreamWrite, SpreadsChunksOverFilesAndSkipsDuplicates) {
    TempDir tmp;
    FileStream stream;
    stream.files = {output(tmp, "a", 5), output(tmp, "empty", 0), output(tmp, "dup", 5, 0),
                    output(tmp, "b", 7), output(tmp, "tail", 0)};
    const std::string data = "hello world!";
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
    stream.write(p, 5, true); // ends exactly at a's end: a is closed, "empty" not yet made
    EXPECT_FALSE(stream.output.isOpen());
    EXPECT_FALSE(fs::exists(tmp / "empty"));
    stream.write(p + 5, 3, true); // creates "empty" on the way into b
    EXPECT_TRUE(fs::exists(tmp / "empty"));
    stream.write(p + 8, 4, true);
    EXPECT_FALSE(fs::exists(tmp / "tail")); // left behind by the stream's last byte
    stream.finishOutput();
    EXPECT_TRUE(fs::exists(tmp / "tail"));
    stream.write(p, 4, true); // surplus bytes are dropped
    EXPECT_FALSE(fs::exists(tmp / "dup"));
    EXPECT_EQ(readFile(tmp / "a"), bytesOf("hello"));
    EXPECT_EQ(readFile(tmp / "b"), bytesOf(" world!"));
    EXPECT_EQ(fs::file_size(tmp / "empty"), 0u);
    EXPECT_EQ(stream.files[0].actualCrc, crc32Update(0, p, 5));
    EXPECT_EQ(stream.files[3].actualCrc, crc32Update(0, p + 5, 7));
}

TEST(StreamWrite, CountingModeOpensNothing) {
    TempDir tmp;
    writeFile(tmp / "a", "existing"); // would trigger the question if it were written
    FileStream stream;
    stream.files = {output(tmp, "a", 3), output(tmp, "b", 2)};
    const uint8_t data[] = {'a', 'b', 'c', 'd', 'e'};
    auto run = runCapturingStop([&] { stream.write(data, 5, false); });
    EXPECT_EQ(run.output, "");
    EXPECT_FALSE(fs::exists(tmp / "b"));
    EXPECT_EQ(readFile(tmp / "a"), bytesOf("existing"));
    EXPECT_EQ(stream.files[0].actualCrc, crc32Update(0, data, 3));
    EXPECT_EQ(stream.files[1].actualCrc, crc32Update(0, data + 3, 2));
}

TEST(StreamWrite, FullDiskIsAnError) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    FileStream stream;
    stream.overwriteAll = 1;
    FileEntry entry;
    entry.path = L"/dev/full";
    entry.size = 10;
    stream.files = {entry};
    const uint8_t data[10] = {};
    auto run = runCapturingStop([&] { stream.write(data, 10, true); });
    EXPECT_EQ(run.status, 1);
    expectWithReason(run.output, "Error: Failed to write /dev/full\n");
}

TEST(StreamWrite, UncreatableFileStops) {
    TempDir tmp;
    FileStream stream;
    stream.files = {output(tmp, "no/such/folder", 1)};
    const uint8_t data[1] = {};
    auto run = runCapturingStop([&] { stream.write(data, 1, true); });
    EXPECT_EQ(run.status, 1);
    expectWithReason(run.output, "Error: Failed to open " + (tmp / "no/such/folder") + "\n");
}

// An existing file gives way only to whole contents whose CRC-32 agrees with the stored one; a
// new file stays as written, for the CRC report to name.
TEST(StreamWrite, ReplacesOnlyWithContentsThatPassTheirCrc) {
    TempDir tmp;
    writeFile(tmp / "bad", "old bad");
    writeFile(tmp / "good", "old good");
    FileStream stream;
    stream.overwriteAll = 1;
    stream.checkCrcs = true;
    stream.files = {output(tmp, "bad", 4), output(tmp, "good", 4), output(tmp, "fresh", 4)};
    const std::string data = "new!new!new!";
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
    for (FileEntry& file : stream.files) file.crc = crc32Update(0, p, 4);
    stream.files[0].crc ^= 1;
    stream.files[2].crc ^= 1;
    auto run = runCapturingStop([&] {
        stream.write(p, 12, true);
        stream.finishOutput();
    });
    EXPECT_FALSE(run.stopped);
    EXPECT_EQ(run.output, "\nError: " + (tmp / "bad") +
                              " is kept as it was: the unpacked contents fail their crc32\n");
    EXPECT_EQ(readFile(tmp / "bad"), bytesOf("old bad"));
    EXPECT_EQ(readFile(tmp / "good"), bytesOf("new!"));
    EXPECT_EQ(readFile(tmp / "fresh"), bytesOf("new!"));
    EXPECT_TRUE(stream.files[0].leftOut);
    EXPECT_FALSE(stream.files[2].leftOut);
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 3);
}

// ---- Overwrite question ----------------------------------------------------------------------

struct Answer {
    testing::StopResult run;
    bool overwriteAll;
};

// Asks about an existing file twice with the given text waiting on standard input.
std::vector<Answer> ask(const std::string& input, int times) {
    TempDir tmp;
    writeFile(tmp / "exists", "x");
    writeFile(tmp / "stdin", input);
    EXPECT_NE(std::freopen((tmp / "stdin").c_str(), "r", stdin), nullptr);
    FileStream stream;
    std::vector<Answer> answers;
    for (int i = 0; i < times; ++i) {
        auto run = runCapturingStop([&] { confirmOverwrite(stream, fromUtf8(tmp / "exists")); });
        answers.push_back({run, stream.overwriteAll != 0});
    }
    EXPECT_EQ(readFile(tmp / "exists"), bytesOf("x")); // only asked, never touched
    return answers;
}

TEST(ConfirmOverwrite, AnswersFromStandardInput) {
    for (const char* yes : {"y\n", "Y\n"}) {
        auto a = ask(yes, 1);
        EXPECT_FALSE(a[0].run.stopped) << yes;
        EXPECT_FALSE(a[0].overwriteAll);
    }
    for (const char* all : {"a\n", "A"}) {
        auto a = ask(all, 2);
        EXPECT_FALSE(a[0].run.stopped);
        EXPECT_TRUE(a[0].overwriteAll);
        EXPECT_EQ(a[1].run.output, ""); // no second question
    }
    for (const char* no : {"n\n", "\n", "x"}) {
        auto a = ask(no, 1);
        EXPECT_TRUE(a[0].run.stopped) << no;
        EXPECT_EQ(a[0].run.status, 0);
    }
    // End of input: no one chose, and nothing was done.
    auto none = ask("", 1);
    EXPECT_TRUE(none[0].run.stopped);
    EXPECT_EQ(none[0].run.status, 1);
    // The rest of a typed line is discarded: "yes" answers once, the next line answers next.
    auto a = ask("yes please\nno\n", 2);
    EXPECT_FALSE(a[0].run.stopped);
    EXPECT_TRUE(a[1].run.stopped);
    EXPECT_EQ(a[1].run.status, 0);
}

TEST(ConfirmOverwrite, QuestionTextAndMissingFiles) {
    TempDir tmp;
    auto a = ask("y\n", 1);
    EXPECT_NE(a[0].run.output.find("\nError: Output file "), std::string::npos);
    EXPECT_EQ(a[0].run.output.substr(a[0].run.output.find("exists") + 6),
              " already exists. Press Y to overwrite it, A to overwrite all, or any other key "
              "to exit: ");
    FileStream stream;
    auto run = runCapturingStop([&] { confirmOverwrite(stream, fromUtf8(tmp / "missing")); });
    EXPECT_FALSE(run.stopped);
    EXPECT_EQ(run.output, "");
}

// ---- Output tree, duplicates, CRCs --------------------------------------------------------

DirEntry dir(const std::wstring& name, std::vector<uint64_t> files,
             std::vector<uint64_t> subdirs = {}) {
    DirEntry entry;
    entry.name = name;
    entry.files = std::move(files);
    entry.subdirs = std::move(subdirs);
    return entry;
}

FileEntry stored(const std::wstring& name, uint64_t dirIndex) {
    FileEntry entry;
    entry.name = name;
    entry.dirIndex = dirIndex;
    return entry;
}

TEST(OutputTree, CreatesFoldersAndAssignsPaths) {
    TempDir tmp;
    FileList list;
    // root { a { b { c } }, d }, files: top in root, inner in a/b.
    list.dirs = {dir(fromUtf8(tmp / "out"), {0}, {1, 2}), dir(L"a", {}, {3}), dir(L"d", {}),
                 dir(L"b", {1}, {4}), dir(L"c", {})};
    list.files = {stored(L"top", 0), stored(L"inner", 3)};
    list.createOutputTree();
    for (const char* folder : {"out", "out/a", "out/a/b", "out/a/b/c", "out/d"})
        EXPECT_TRUE(fs::is_directory(tmp / folder)) << folder;
    const std::wstring out = fromUtf8(tmp / "out");
    EXPECT_EQ(list.pathOf(0), joinPath(out, L"top"));
    EXPECT_EQ(list.pathOf(1), joinPath(joinPath(joinPath(out, L"a"), L"b"), L"inner"));
    list.createOutputTree(); // existing folders are reused

    // A file in the way of a/b: that folder and what lies below it are refused, the rest made.
    TempDir second;
    fs::create_directories(second / "out/a");
    writeFile(second / "out/a/b", "in the way");
    list.dirs[0].name = fromUtf8(second / "out");
    auto run = runCapturingStop([&] { list.createOutputTree(); });
    EXPECT_FALSE(run.stopped) << run.output;
    EXPECT_EQ(run.output, "Error: Output folder " +
                              toUtf8(joinPath(joinPath(list.dirs[0].name, L"a"), L"b")) +
                              " is a file; nothing is unpacked into it\n");
    EXPECT_TRUE(list.dirs[3].refused);
    EXPECT_TRUE(list.incomplete);
    EXPECT_EQ(readFile(second / "out/a/b"), bytesOf("in the way"));
    EXPECT_TRUE(fs::is_directory(second / "out/d"));
}

TEST(OutputTree, UnsafeNamesCreateNothing) {
    TempDir tmp;
    FileList list;
    list.dirs = {dir(fromUtf8(tmp / "out"), {0}, {1}), dir(L"ok", {})};
    list.files = {stored(L"..", 0)};
    auto run = runCapturingStop([&] { list.createOutputTree(); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "Error: Unsafe name in archive: ..\n");
    EXPECT_FALSE(fs::exists(tmp / "out"));
}

TEST(OutputTree, EmptyRootNameWorksRelatively) {
    TempDir tmp;
    const fs::path saved = fs::current_path();
    fs::current_path(tmp.path());
    FileList list;
    list.dirs = {dir(L"", {0}, {1}), dir(L"s", {1})};
    list.files = {stored(L"f", 0), stored(L"g", 1)};
    list.createOutputTree();
    fs::current_path(saved);
    EXPECT_TRUE(fs::is_directory(tmp / "s"));
    EXPECT_EQ(list.pathOf(0), L"f");
    EXPECT_EQ(list.pathOf(1), joinPath(L"s", L"g"));
}

// Unpacks the files of `stream` from `data`, as the data pass does.
void unpackFiles(FileStream& stream, const std::string& data) {
    stream.write(reinterpret_cast<const uint8_t*>(data.data()), int32_t(data.size()), true);
    stream.finishOutput();
}

TEST(Duplicates, RestoredByCopyingAlongChains) {
    TempDir tmp;
    FileStream list;
    list.overwriteAll = 1;
    list.files = {output(tmp, "x", 3), output(tmp, "y", 3, 0), output(tmp, "z", 3, 1)};
    writeFile(tmp / "z", "old contents"); // replaced, as forced
    unpackFiles(list, "abc");
    list.restoreDuplicates();
    EXPECT_EQ(readFile(tmp / "y"), bytesOf("abc"));
    EXPECT_EQ(readFile(tmp / "z"), bytesOf("abc"));
    EXPECT_TRUE(list.files[2].copied);
    EXPECT_FALSE(list.incomplete);
}

// A copy is read from nothing but the very file made of the unpacked bytes: one put in its place
// (the same bytes, another file; on POSIX a FIFO without a writer, which is never opened), or
// gone, leaves the copy out and keeps its target.
TEST(Duplicates, SourceNoLongerTheFileMadeKeepsTheTarget) {
    for (const char* instead : {"file", "fifo", "nothing"}) {
        SCOPED_TRACE(instead);
        if (testing::kWindows && std::string(instead) == "fifo") continue;
        TempDir tmp;
        FileStream list;
        list.overwriteAll = 1;
        list.files = {output(tmp, "x", 3), output(tmp, "y", 3, 0)};
        writeFile(tmp / "y", "old");
        unpackFiles(list, "abc");
        // Moved aside, not removed, so that the new file cannot take its inode number.
        fs::rename(tmp / "x", tmp / "aside");
        if (std::string(instead) == "file") writeFile(tmp / "x", "abc");
#ifndef _WIN32
        if (std::string(instead) == "fifo") {
            ASSERT_EQ(mkfifo((tmp / "x").c_str(), 0600), 0);
        }
#endif
        auto run = runCapturingStop([&] { list.restoreDuplicates(); });
        EXPECT_FALSE(run.stopped);
        EXPECT_EQ(run.output, "Error: " + (tmp / "y") + " is left out: it is a copy of " +
                                  (tmp / "x") + ", which was changed after it was unpacked\n");
        EXPECT_TRUE(list.incomplete);
        EXPECT_TRUE(list.files[1].leftOut);
        EXPECT_EQ(readFile(tmp / "y"), bytesOf("old"));
    }
}

// The source's bytes must give the CRC-32 its unpacked bytes gave: the same file changed since
// leaves the copy out; a copy of a file left out is left out.
TEST(Duplicates, ChangedOrMissingSourceKeepsTheTarget) {
    TempDir tmp;
    writeFile(tmp / "y", "old");
    FileStream list;
    list.overwriteAll = 1;
    list.files = {output(tmp, "x", 3), output(tmp, "y", 3, 0)};
    unpackFiles(list, "abc");
    FILE* changed = std::fopen((tmp / "x").c_str(), "r+b");
    ASSERT_NE(changed, nullptr);
    std::fputs("abd", changed);
    std::fclose(changed);
    auto run = runCapturingStop([&] { list.restoreDuplicates(); });
    EXPECT_FALSE(run.stopped);
    EXPECT_EQ(run.output, "Error: " + (tmp / "y") + " is left out: it is a copy of " + (tmp / "x") +
                              ", which was changed after it was unpacked\n");
    EXPECT_EQ(readFile(tmp / "y"), bytesOf("old"));
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 2);

    FileStream second;
    second.files = {output(tmp, "x", 3), output(tmp, "y", 3, 0)};
    second.files[0].leftOut = true;
    run = runCapturingStop([&] { second.restoreDuplicates(); });
    EXPECT_FALSE(run.stopped);
    EXPECT_EQ(run.output, "Error: " + (tmp / "y") + " is left out: it is a copy of " + (tmp / "x") +
                              ", which was not unpacked\n");
    EXPECT_TRUE(second.incomplete);
    EXPECT_TRUE(second.files[1].leftOut);
    EXPECT_EQ(readFile(tmp / "y"), bytesOf("old"));
}

TEST(Duplicates, CopyOntoItselfKeepsTheData) {
    TempDir tmp;
    FileStream list;
    list.files = {output(tmp, "x", 3), output(tmp, "x", 3, 0)};
    writeFile(tmp / "x", "abc");
    list.restoreDuplicates();
    EXPECT_EQ(readFile(tmp / "x"), bytesOf("abc"));
}

TEST(VerifyCrcs, ReportsTheFirstMismatch) {
    FileList list;
    list.dirs = {dir(L"", {0, 1}, {1}), dir(L"sub", {2})};
    list.files = {stored(L"a", 0), stored(L"dup", 0), stored(L"c.txt", 1)};
    list.files[0].crc = 0xABCD;
    list.files[0].actualCrc = 0xABCD;
    list.files[1].duplicateOf = 0;
    list.files[1].crc = 1; // duplicates are not compared
    auto run = runCapturingStop([&] { list.verifyCrcs(); });
    EXPECT_EQ(run.output, "All crc32 match\n");

    list.files[2].crc = 0x1234;
    list.files[2].actualCrc = 0xFEDC;
    run = runCapturingStop([&] { list.verifyCrcs(); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "Error: Invalid crc32 for sub/c.txt\nFound FEDC, expected 1234\n");

    list.files[2].path = L"/out/sub/c.txt";
    run = runCapturingStop([&] { list.verifyCrcs(); });
    EXPECT_EQ(run.output, "Error: Invalid crc32 for /out/sub/c.txt\nFound FEDC, expected 1234\n");

    FileList single;
    single.files = {stored(L"", 0)};
    single.files[0].crc = 5;
    run = runCapturingStop([&] { single.verifyCrcs(); });
    EXPECT_EQ(run.output, "Error: Invalid crc32 for (unnamed)\nFound 0, expected 5\n");
}

} // namespace
} // namespace qzn
