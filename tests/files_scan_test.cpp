// Input scan: breadth-first numbering, name order, skipped entries, links and the parity
// check of the finished list.
#include "Files.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace qzn {
namespace {

namespace fs = std::filesystem;
using testing::runCapturingStop;
using testing::TempDir;
using testing::writeFile;

TEST(Scan, SingleFileKeepsThePathAsTyped) {
    TempDir tmp;
    writeFile(tmp / "one.txt", "x");
    const std::wstring typed = fromUtf8(tmp.path() + "/./one.txt");
    FileList list;
    list.scan(typed);
    EXPECT_TRUE(list.dirs.empty());
    ASSERT_EQ(list.files.size(), 1u);
    EXPECT_EQ(list.files[0].name, typed);
    EXPECT_EQ(list.files[0].path, typed);
    list.checkConsistency();
}

TEST(Scan, ThreeFilesAndASubfolderOfTwo) {
    TempDir tmp;
    fs::create_directories(tmp / "in/sub");
    for (const char* name : {"in/b.txt", "in/a.txt", "in/c.txt", "in/sub/d.txt", "in/sub/e.txt"})
        writeFile(tmp / name, name);
    const std::wstring input = fromUtf8(tmp / "in");
    FileList list;
    list.scan(input);

    ASSERT_EQ(list.dirs.size(), 2u);
    ASSERT_EQ(list.files.size(), 5u);
    EXPECT_EQ(list.dirs[0].name, L"");
    EXPECT_EQ(list.dirs[1].name, L"sub");
    EXPECT_EQ(list.dirs[0].files, (std::vector<uint64_t>{0, 1, 2}));
    EXPECT_EQ(list.dirs[0].subdirs, (std::vector<uint64_t>{1}));
    EXPECT_EQ(list.dirs[1].files, (std::vector<uint64_t>{3, 4}));
    EXPECT_TRUE(list.dirs[1].subdirs.empty());
    for (uint64_t i = 0; i < 5; ++i) EXPECT_EQ(list.files[i].dirIndex, i < 3 ? 0u : 1u);

    // Within a folder, names in byte order whatever the listing gave; paths joined as the
    // platform joins them.
    const wchar_t* rootFiles[] = {L"a.txt", L"b.txt", L"c.txt"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(list.files[i].name, rootFiles[i]);
        EXPECT_EQ(list.pathOf(i), joinPath(input, rootFiles[i]));
    }
    EXPECT_EQ(list.pathOf(3), joinPath(joinPath(input, L"sub"), L"d.txt"));
    EXPECT_EQ(list.pathOf(4), joinPath(joinPath(input, L"sub"), L"e.txt"));
    list.checkConsistency();
}

// Files and folders are taken in ascending order of their names' UTF-8 bytes, compared unsigned:
// capitals before small letters, '_' between them, non-ASCII last, whatever the creation order.
TEST(Scan, NamesAreTakenInByteOrder) {
    TempDir tmp;
    const std::string e = "\xC3\xA9", smiley = "\xF0\x9F\x98\x80";
    // No two names differ only in case, so that Windows holds them all.
    const std::vector<std::string> files = {"b", e, "C", "_", "a", "Z", smiley, "a.b"};
    const std::vector<std::string> folders = {"y", e + "d", "X", "w"};
    for (const std::string& name : folders)
        fs::create_directories(testing::utf8Path(tmp / ("in/" + name + "/c")));
    for (const std::string& name : files) writeFile(tmp / ("in/" + name), name);
    FileList list;
    list.scan(fromUtf8(tmp / "in"));

    std::vector<std::string> sortedFiles = files, sortedFolders = folders;
    std::sort(sortedFiles.begin(), sortedFiles.end());
    std::sort(sortedFolders.begin(), sortedFolders.end());
    EXPECT_EQ(sortedFiles, (std::vector<std::string>{"C", "Z", "_", "a", "a.b", "b", e, smiley}));
    ASSERT_EQ(list.files.size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(toUtf8(list.files[i].name), sortedFiles[i]);
    // Breadth first over the sorted folders: 1..4 are the root's children, 5..8 theirs.
    ASSERT_EQ(list.dirs.size(), 1 + 2 * folders.size());
    for (size_t i = 0; i < folders.size(); ++i) {
        EXPECT_EQ(toUtf8(list.dirs[1 + i].name), sortedFolders[i]);
        EXPECT_EQ(list.dirs[1 + i].subdirs, (std::vector<uint64_t>{5 + i}));
    }
    list.checkConsistency();
}

TEST(Scan, FoldersAreNumberedBreadthFirst) {
    TempDir tmp;
    fs::create_directories(tmp / "in/x/xc");
    fs::create_directories(tmp / "in/y/yc");
    FileList list;
    list.scan(fromUtf8(tmp / "in"));
    ASSERT_EQ(list.dirs.size(), 5u);
    EXPECT_TRUE(list.files.empty());
    EXPECT_EQ(list.dirs[0].subdirs, (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(list.dirs[1].subdirs, (std::vector<uint64_t>{3}));
    EXPECT_EQ(list.dirs[2].subdirs, (std::vector<uint64_t>{4}));
    EXPECT_EQ(list.dirs[1].name, L"x");
    EXPECT_EQ(list.dirs[3].name, L"xc");
    EXPECT_EQ(list.dirs[4].name, L"yc");
    list.checkConsistency();
}

TEST(Scan, LeadingFullStopSkipsFoldersOnly) {
    TempDir tmp;
    fs::create_directories(tmp / "in/.git");
    fs::create_directories(tmp / "in/.cache/deep");
    writeFile(tmp / "in/.git/config", "c");
    writeFile(tmp / "in/.gitignore", "g");
    FileList list;
    list.scan(fromUtf8(tmp / "in"));
    ASSERT_EQ(list.dirs.size(), 1u);
    ASSERT_EQ(list.files.size(), 1u);
    EXPECT_EQ(list.files[0].name, L".gitignore");
}

TEST(Scan, NamesThatAreNotUtf8Survive) {
    if (testing::kWindows) GTEST_SKIP() << "Windows names are UTF-16";
    TempDir tmp;
    fs::create_directories(tmp / "in");
    writeFile(tmp / "in/raw\xff\xfe.bin", "r");
    FileList list;
    list.scan(fromUtf8(tmp / "in"));
    ASSERT_EQ(list.files.size(), 1u);
    EXPECT_EQ(toUtf8(list.files[0].name), "raw\xff\xfe.bin");
    EXPECT_EQ(toUtf8(list.pathOf(0)), tmp / "in/raw\xff\xfe.bin");
}

TEST(Scan, LinksToFilesAreFilesAndLinksToFoldersAreSkipped) {
    if (testing::kWindows) GTEST_SKIP() << "links need a privilege on Windows";
    TempDir tmp;
    fs::create_directories(tmp / "in/sub");
    fs::create_directories(tmp / "outside");
    writeFile(tmp / "outside/o.txt", "o");
    writeFile(tmp / "target.txt", "t");
    fs::create_symlink(tmp / "target.txt", tmp / "in/link.txt");
    fs::create_directory_symlink(tmp / "outside", tmp / "in/l1");
    fs::create_directory_symlink(tmp / "in", tmp / "in/sub/loop");

    FileList list;
    auto run = runCapturingStop([&] { list.scan(fromUtf8(tmp / "in")); });
    EXPECT_FALSE(run.stopped);
    EXPECT_FALSE(list.incomplete); // skipping links is the rule, not a failure
    ASSERT_EQ(list.dirs.size(), 2u);
    ASSERT_EQ(list.files.size(), 1u);
    EXPECT_EQ(list.files[0].name, L"link.txt");
    EXPECT_NE(run.output.find("Warning: Skipping " + (tmp / "in/l1") + " (link to a folder)\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(
        run.output.find("Warning: Skipping " + (tmp / "in/sub/loop") + " (link to a folder)\n"),
        std::string::npos);
    list.checkConsistency();

    // The input path itself is followed when it is a link.
    fs::create_directory_symlink(tmp / "outside", tmp / "entry");
    list.scan(fromUtf8(tmp / "entry"));
    ASSERT_EQ(list.files.size(), 1u);
    EXPECT_EQ(list.files[0].name, L"o.txt");
}

TEST(Scan, SpecialEntriesAreSkippedWithAWarning) {
#ifdef _WIN32
    GTEST_SKIP() << "no FIFOs on Windows";
#else
    TempDir tmp;
    fs::create_directories(tmp / "in");
    ASSERT_EQ(::mkfifo((tmp / "in/pipe").c_str(), 0600), 0);
    fs::create_symlink(tmp / "nowhere", tmp / "in/dangling");
    writeFile(tmp / "in/real.txt", "r");
    FileList list;
    auto run = runCapturingStop([&] { list.scan(fromUtf8(tmp / "in")); });
    EXPECT_FALSE(run.stopped);
    ASSERT_EQ(list.files.size(), 1u);
    EXPECT_EQ(list.files[0].name, L"real.txt");
    EXPECT_NE(run.output.find("Warning: Skipping " + (tmp / "in/pipe") +
                              " (not a regular file or folder)\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("Warning: Skipping " + (tmp / "in/dangling") +
                              " (not a regular file or folder)\n"),
              std::string::npos);
#endif
}

TEST(Scan, MissingInputStopsWithStatusOne) {
    TempDir tmp;
    FileList list;
    auto run = runCapturingStop([&] { list.scan(fromUtf8(tmp / "missing")); });
    EXPECT_TRUE(run.stopped);
    EXPECT_EQ(run.status, 1);
    // The message, then the system's reason on a line of its own.
    const std::string message = "Error: " + (tmp / "missing") + " does not exist\n";
    EXPECT_EQ(run.output.substr(0, message.size()), message);
    EXPECT_GT(run.output.size(), message.size() + 1);
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 2) << run.output;
    EXPECT_EQ(run.output.back(), '\n');
}

TEST(Consistency, ParityOfListedFiles) {
    FileList empty;
    empty.checkConsistency();
    FileList tree;
    tree.dirs.resize(2);
    tree.files.resize(3);
    tree.dirs[0].files = {0, 1};
    tree.dirs[1].files = {2};
    tree.checkConsistency();
    tree.dirs[1].files.clear();
    EXPECT_ASSERT_STOP(tree.checkConsistency(), kFilesSource, 287);
    tree.dirs[1].files = {2, 1};
    EXPECT_ASSERT_STOP(tree.checkConsistency(), kFilesSource, 287);
}

} // namespace
} // namespace qzn
