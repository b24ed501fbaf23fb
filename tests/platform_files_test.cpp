// Removal after a failed run: only regular files go, whatever else is named in their place.
#include "Platform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

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
