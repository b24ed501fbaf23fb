// The input scan: the tree below the input path, numbered breadth first, each folder's entries in
// the byte order of their stored names.
#include "Files.h"

#include <algorithm>
#include <utility>

namespace qzn {

namespace {

// Listings come in hash order on one file system, creation order on another and sorted on
// Windows; taking names in the byte order of their stored UTF-8 makes the same tree give the same
// archive on any disk and platform.
void sortByStoredName(std::vector<FolderItem>& items) {
    std::vector<std::pair<std::string, FolderItem>> keyed;
    keyed.reserve(items.size());
    for (FolderItem& item : items) keyed.emplace_back(toUtf8(item.name), std::move(item));
    // std::string compares as unsigned bytes (char_traits<char>::lt).
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < items.size(); ++i) items[i] = std::move(keyed[i].second);
}

} // namespace

void FileList::scan(const std::wstring& inputPath, const std::vector<FileId>& leaveOut,
                    const Exclusions& exclusions) {
    dirs.clear();
    files.clear();
    cache.clear();
    incomplete = false;
    excluded = leaveOut;
    if (isRegularFile(inputPath)) {
        FileEntry entry;
        entry.name = inputPath;
        entry.path = inputPath;
        files.push_back(entry);
        return;
    }
    if (!isDirectory(inputPath)) {
        // A FIFO, socket, device or dangling link is there, but holds nothing to store.
        if (pathExists(inputPath))
            fatalWide(L"Error: %ls is not a file or folder\n", inputPath.c_str());
        if (failureMeansMissing())
            fatalWithReason(L"Error: %ls does not exist\n", inputPath.c_str());
        fatalWithReason(L"Error: Unable to access %ls\n", inputPath.c_str());
    }

    // Breadth first: the folders still to list are the directories not yet reached by i, so
    // each is numbered when found. Only the input path itself is followed if it is a link;
    // links inside the tree are never entered, so no walk can loop.
    dirs.emplace_back();
    dirs[0].path = inputPath;
    // Each folder's path below the input, names joined by '/', while patterns need it.
    std::vector<std::wstring> below(1);
    auto excluded = [&](uint64_t folder, const std::wstring& name) {
        if (exclusions.empty()) return false;
        const std::wstring path = below[folder].empty() ? name : below[folder] + L'/' + name;
        return exclusions.excludes(path, name);
    };
    std::vector<FolderItem> items;
    for (uint64_t i = 0; i < dirs.size(); ++i) {
        const std::wstring folder = dirs[i].path;
        if (!listFolder(folder, items)) {
            noteErrorPath(folder);
            printWithReason(L"Warning: Skipping %ls (folder cannot be read)\n", folder.c_str());
            incomplete = true;
        }
        sortByStoredName(items);
        for (const FolderItem& item : items) {
            if (excluded(i, item.name)) continue;
            if (item.kind == EntryKind::Other) {
                // FIFOs, sockets, devices and dangling links: reading one could hang or fail.
                printWide(L"Warning: Skipping %ls (not a regular file or folder)\n",
                          joinPath(folder, item.name).c_str());
                continue;
            }
            if (item.kind != EntryKind::File) continue;
            FileEntry entry;
            entry.name = item.name;
            entry.dirIndex = i;
            dirs[i].files.push_back(files.size());
            files.push_back(std::move(entry));
        }
        for (const FolderItem& item : items) {
            if (item.kind != EntryKind::Directory && item.kind != EntryKind::FolderLink) continue;
            if (item.name.empty() || item.name[0] == L'.' || excluded(i, item.name)) continue;
            std::wstring childPath = joinPath(folder, item.name);
            if (item.kind == EntryKind::FolderLink) {
                noteErrorPath(childPath);
                printWide(L"Warning: Skipping %ls (link to a folder)\n", childPath.c_str());
                continue;
            }
            DirEntry child;
            child.name = item.name;
            child.path = std::move(childPath);
            dirs[i].subdirs.push_back(dirs.size());
            dirs.push_back(std::move(child));
            if (!exclusions.empty())
                below.push_back(below[i].empty() ? item.name : below[i] + L'/' + item.name);
        }
    }
}

} // namespace qzn
