// Removal after a failed run: only regular files go, whatever else is named in their place.
#include "Platform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <set>

#ifndef _WIN32
#include "Platform_Posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qzn {
namespace {

namespace fs = std::filesystem;

std::wstring wide(const std::string& utf8) {
    return fromUtf8(utf8);
}

// A device that every run of the platform has: opening it for writing succeeds, removing it
// must not.
const char* deviceName() {
    return testing::kWindows ? "NUL" : "/dev/null";
}

TEST(RemoveFile, OnlyRegularFiles) {
    testing::TempDir tmp;
    testing::writeFile(tmp / "plain", "x");
    fs::create_directory(testing::utf8Path(tmp / "folder"));
    EXPECT_TRUE(removeFile(wide(tmp / "plain")));
    EXPECT_FALSE(fs::exists(testing::utf8Path(tmp / "plain")));
    EXPECT_FALSE(removeFile(wide(tmp / "plain"))); // gone already
    EXPECT_FALSE(removeFile(wide(tmp / "folder")));
    EXPECT_TRUE(fs::is_directory(testing::utf8Path(tmp / "folder")));
    EXPECT_FALSE(removeFile(wide(deviceName())));
    FILE* device = openFile(wide(deviceName()), "wb");
    EXPECT_NE(device, nullptr);
    if (device) std::fclose(device);
#ifndef _WIN32
    // A FIFO and a link (the link itself is not a regular file) stay as well.
    ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(removeFile(wide(tmp / "fifo")));
    EXPECT_TRUE(fs::is_fifo(tmp / "fifo"));
    testing::writeFile(tmp / "target", "t");
    fs::create_symlink("target", tmp / "link");
    EXPECT_FALSE(removeFile(wide(tmp / "link")));
    EXPECT_TRUE(fs::is_symlink(tmp / "link"));
    EXPECT_TRUE(fs::exists(tmp / "target"));
#endif
}

// A stop removes the registered files that are regular files, also one that is still open for
// writing, and leaves a folder or a device registered by mistake; a released slot is kept.
TEST(CleanupRegistry, StopRemovesOnlyRegularFiles) {
    testing::TempDir tmp;
    testing::writeFile(tmp / "done", "kept");
    fs::create_directory(testing::utf8Path(tmp / "folder"));
    FILE* open = openFile(wide(tmp / "open"), "wb");
    ASSERT_NE(open, nullptr);
    std::fputs("partial", open);
    std::fflush(open);
    const int slots[] = {registerCleanup(wide(tmp / "open")), registerCleanup(wide(tmp / "folder")),
                         registerCleanup(wide(deviceName())), registerCleanup(wide(tmp / "done"))};
    for (int slot : slots) EXPECT_GE(slot, 0);
    unregisterCleanup(slots[3]);
    auto result = testing::runCapturingStop([] { stopProcess(1); });
    std::fclose(open);
    for (int slot : slots) unregisterCleanup(slot);
    EXPECT_TRUE(result.stopped);
    EXPECT_FALSE(fs::exists(testing::utf8Path(tmp / "open")));
    EXPECT_TRUE(fs::is_directory(testing::utf8Path(tmp / "folder")));
    EXPECT_TRUE(fs::exists(testing::utf8Path(tmp / "done")));
    FILE* device = openFile(wide(deviceName()), "wb");
    EXPECT_NE(device, nullptr);
    if (device) std::fclose(device);
}

// Every call gives a new name that starts with the name it stands beside, short enough for any
// file system however long that name is.
TEST(TemporaryName, NewEveryTimeAndShort) {
    std::set<std::wstring> names;
    for (int i = 0; i < 10000; ++i) names.insert(temporaryName(L"a.qzn"));
    EXPECT_EQ(names.size(), 10000u);
    for (const std::wstring& name : names) {
        ASSERT_EQ(name.compare(0, 6, L"a.qzn."), 0) << toUtf8(name);
        ASSERT_EQ(name.compare(name.size() - 4, 4, L".tmp"), 0) << toUtf8(name);
    }
    const std::wstring longName =
        fromUtf8(std::string(100, 'x') + "\xF0\x9F\x98\x80" + std::string(250, 'y'));
    const std::string made = toUtf8(temporaryName(longName));
    EXPECT_LT(made.size(), 100u);
    EXPECT_EQ(made.compare(0, 40, std::string(40, 'x')), 0);
}

// A file being written is removed by a stop from the folder it was made in, even when that
// folder has moved meanwhile; a replacement never takes anything else with it.
TEST(OutputFile, StopRemovesItFromItsFolderWherever) {
    testing::TempDir tmp;
    fs::create_directory(testing::utf8Path(tmp / "a"));
    testing::writeFile(tmp / "a/old", "old");
    OutputFolder folder;
    ASSERT_TRUE(folder.open(wide(tmp / "a"), false));
    OutputFile fresh, again, replacement;
    ASSERT_EQ(fresh.create(folder, L"new"), OutputFile::Created::Yes);
    EXPECT_EQ(again.create(folder, L"new"), OutputFile::Created::Exists);
    ASSERT_EQ(replacement.createReplacement(folder, L"old"), OutputFile::Created::Yes);
    ASSERT_TRUE(replacement.write(reinterpret_cast<const uint8_t*>("new"), 3));
    std::error_code moved;
    fs::rename(testing::utf8Path(tmp / "a"), testing::utf8Path(tmp / "b"), moved);
    // A held folder cannot be moved on Windows; elsewhere it can, and the files go with it.
    EXPECT_EQ(bool(moved), testing::kWindows) << moved.message();
    const fs::path now = testing::utf8Path(moved ? tmp / "a" : tmp / "b");
    auto count = [&] {
        return std::distance(fs::directory_iterator(now), fs::directory_iterator());
    };
    EXPECT_EQ(count(), 3); // old, new and the replacement
    // Closed, so that Windows takes them away at once; still registered.
    EXPECT_TRUE(fresh.close());
    EXPECT_TRUE(replacement.close());
    auto result = testing::runCapturingStop([] { stopProcess(1); });
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(count(), 1);
    fresh.discard();
    replacement.discard();
    folder.close();
    EXPECT_EQ(testing::readFile(testing::utf8Text(now / "old")),
              std::vector<uint8_t>({'o', 'l', 'd'}));
}

#ifndef _WIN32
// Links in an output folder: a folder link is never entered, a file link never written through;
// a replacement takes the link's place and leaves its target alone.
TEST(OutputFolder, LinksAreRefusedOrReplacedNeverFollowed) {
    testing::TempDir tmp;
    fs::create_directories(tmp / "out");
    fs::create_directories(tmp / "elsewhere");
    testing::writeFile(tmp / "elsewhere/victim", "victim");
    fs::create_symlink(tmp / "elsewhere", tmp / "out/folder");
    fs::create_symlink(tmp / "elsewhere/victim", tmp / "out/file");
    fs::create_symlink(tmp / "elsewhere/none", tmp / "out/dangling");
    OutputFolder out, child;
    ASSERT_TRUE(out.open(wide(tmp / "out"), false));
    EXPECT_EQ(child.openChild(out, L"folder"), OutputFolder::Opened::Link);
    EXPECT_FALSE(child.isOpen());
    EXPECT_EQ(child.openChild(out, L"made"), OutputFolder::Opened::Yes);
    EXPECT_TRUE(fs::is_directory(tmp / "out/made"));
    EXPECT_EQ(out.inspect(L"file").kind, OutputKind::Link);
    EXPECT_EQ(out.inspect(L"dangling").kind, OutputKind::Link);
    EXPECT_FALSE(out.inspect(L"dangling").reaches);
    EXPECT_EQ(out.inspect(L"made").kind, OutputKind::Folder);
    EXPECT_EQ(out.inspect(L"none").kind, OutputKind::Missing);

    OutputFile file;
    EXPECT_EQ(file.create(out, L"dangling"), OutputFile::Created::Exists);
    EXPECT_FALSE(fs::exists(tmp / "elsewhere/none"));
    EXPECT_FALSE(file.openInPlace(out, L"file"));
    ASSERT_EQ(file.createReplacement(out, L"file"), OutputFile::Created::Yes);
    ASSERT_TRUE(file.write(reinterpret_cast<const uint8_t*>("new"), 3));
    ASSERT_TRUE(file.close());
    ASSERT_TRUE(file.commit());
    EXPECT_FALSE(fs::is_symlink(tmp / "out/file"));
    EXPECT_EQ(testing::readFile(tmp / "out/file"), std::vector<uint8_t>({'n', 'e', 'w'}));
    EXPECT_EQ(testing::readFile(tmp / "elsewhere/victim"),
              std::vector<uint8_t>({'v', 'i', 'c', 't', 'i', 'm'}));
}
#endif

#ifndef _WIN32
// Some file systems list no entry types: each entry is then looked at itself, and a link to a
// folder must still be told from a folder, or the scan would enter it and could loop.
TEST(ListFolder, EntryKindsWithAndWithoutTypesFromTheListing) {
    testing::TempDir tmp;
    testing::writeFile(tmp / "file", "f");
    fs::create_directory(tmp / "folder");
    fs::create_directory_symlink("folder", tmp / "folder-link");
    fs::create_directory_symlink("..", tmp / "parent-link");
    fs::create_symlink("file", tmp / "file-link");
    fs::create_symlink("gone", tmp / "dangling");
    ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0600), 0);
    const std::map<std::string, EntryKind> expected = {{"file", EntryKind::File},
                                                       {"folder", EntryKind::Directory},
                                                       {"folder-link", EntryKind::FolderLink},
                                                       {"parent-link", EntryKind::FolderLink},
                                                       {"file-link", EntryKind::File},
                                                       {"dangling", EntryKind::Other},
                                                       {"fifo", EntryKind::Other}};

    int folder = open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    for (const auto& [name, kind] : expected)
        EXPECT_EQ(int(listedEntryKind(folder, name.c_str(), DT_UNKNOWN)), int(kind)) << name;
    // With the types this file system lists, through the listing itself.
    std::vector<FolderItem> items;
    ASSERT_TRUE(listFolder(wide(tmp.path()), items));
    EXPECT_EQ(items.size(), expected.size());
    for (const FolderItem& item : items)
        EXPECT_EQ(int(item.kind), int(expected.at(toUtf8(item.name)))) << toUtf8(item.name);
    close(folder);
}
#endif

} // namespace
} // namespace qzn
