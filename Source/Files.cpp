// The file list: its consistency check, stream length, stored paths, name safety and the input
// scan.
#include "Files.h"

#include <algorithm>
#include <set>
#include <utility>

namespace qzn {

void FileList::checkConsistency() const {
    // Parity of all file indices against those listed under directories: cheap, catches a file
    // forgotten or listed twice by the scan.
    uint64_t parity = 0;
    for (uint64_t i = 0; i < files.size(); ++i) parity ^= i;
    for (const DirEntry& dir : dirs)
        for (uint64_t index : dir.files) parity ^= index;
    QZN_CHECK(parity == 0, kFilesSource, 287);
}

uint64_t FileList::totalSize() const {
    uint64_t total = 0;
    for (const FileEntry& file : files)
        if (file.duplicateOf == kNoDuplicate) total += file.size;
    return total;
}

namespace {

// Parent of every directory, kNoParent for the root and for directories no list names.
std::vector<uint64_t> parentsOf(const FileList& list) {
    std::vector<uint64_t> parents(list.dirs.size(), kNoParent);
    for (uint64_t d = 0; d < list.dirs.size(); ++d)
        for (uint64_t child : list.dirs[d].subdirs)
            if (child < parents.size() && parents[child] == kNoParent) parents[child] = d;
    return parents;
}

// The directory's path below the root, "" for the root; at most one step per directory, so a
// damaged tree cannot loop.
std::wstring dirPath(const FileList& list, const std::vector<uint64_t>& parents, uint64_t d) {
    std::vector<uint64_t> chain;
    while (d != 0 && d < parents.size() && chain.size() < parents.size()) {
        chain.push_back(d);
        d = parents[d];
    }
    std::wstring path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += list.dirs[*it].name;
        path += L'/';
    }
    return path;
}

bool isUnsafeName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return true;
    for (wchar_t c : name)
        if (c == L'/' || c == L'\\' || c == L'\0') return true;
    bool letter = (name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z');
    return name.size() >= 2 && letter && name[1] == L':';
}

} // namespace

std::wstring FileList::storedPath(uint64_t fileIndex) const {
    const FileEntry& file = files[fileIndex];
    if (dirs.empty()) return file.name.empty() ? std::wstring(L"(unnamed)") : file.name;
    std::vector<uint64_t> parents = parentsOf(*this);
    return dirPath(*this, parents, file.dirIndex) + file.name;
}

bool FileList::namesAreSafe(std::wstring& badName) const {
    if (dirs.empty()) return true;
    std::vector<uint64_t> parents = parentsOf(*this);
    for (uint64_t d = 1; d < dirs.size(); ++d) {
        if (isUnsafeName(dirs[d].name)) {
            badName =
                dirPath(*this, parents, parents[d] == kNoParent ? 0 : parents[d]) + dirs[d].name;
            return false;
        }
    }
    for (const FileEntry& file : files) {
        if (isUnsafeName(file.name)) {
            badName = dirPath(*this, parents, file.dirIndex) + file.name;
            return false;
        }
    }
    return true;
}

void FileList::scan(const std::wstring& inputPath, const std::vector<FileId>& leaveOut) {
    dirs.clear();
    files.clear();
    if (isRegularFile(inputPath)) {
        FileEntry entry;
        entry.name = inputPath;
        entry.path = inputPath;
        files.push_back(entry);
        return;
    }
    if (!isDirectory(inputPath)) fatalWide(L"Error: No directory %ls\n", inputPath.c_str());

    // Breadth-first queue of folders still to list: full path, own name, parent index.
    struct Row {
        std::wstring path;
        std::wstring name;
        uint64_t parent;
    };
    std::vector<Row> queue;
    queue.push_back({inputPath, std::wstring(), kNoParent});

    // Real folders already queued: a linked folder is entered once, and a link loop ends.
    std::set<FileId> seen;
    FileId rootId;
    if (fileId(inputPath, rootId)) seen.insert(rootId);

    for (size_t i = 0; i < queue.size(); ++i) {
        const std::wstring folder = queue[i].path;
        DirEntry dir;
        dir.name = queue[i].name;
        const uint64_t parent = queue[i].parent;
        const std::vector<FolderItem> items = listFolder(folder);
        const uint64_t t = dirs.size();

        for (const FolderItem& item : items) {
            if (item.kind == EntryKind::Other) {
                // FIFOs, sockets, devices and dangling links: reading one could hang or fail.
                printWide(L"Warning: Skipping %ls (not a regular file or folder)\n",
                          (folder + L"/" + item.name).c_str());
                continue;
            }
            if (item.kind != EntryKind::File) continue;
            if (std::find(leaveOut.begin(), leaveOut.end(), item.id) != leaveOut.end()) {
                printWide(L"Warning: Skipping %ls (the archive being written)\n",
                          (folder + L"/" + item.name).c_str());
                continue;
            }
            FileEntry entry;
            entry.name = item.name;
            entry.path = folder + L"/" + item.name;
            entry.dirIndex = t;
            dir.files.push_back(files.size());
            files.push_back(std::move(entry));
        }
        dirs.push_back(std::move(dir));
        if (parent != kNoParent) dirs[parent].subdirs.push_back(t);

        for (const FolderItem& item : items) {
            if (item.kind != EntryKind::Directory) continue;
            if (item.name.empty() || item.name[0] == L'.') continue;
            std::wstring childPath = folder + L"/" + item.name;
            FileId id;
            if (fileId(childPath, id) && !seen.insert(id).second) {
                printWide(L"Warning: Skipping %ls (folder already included)\n", childPath.c_str());
                continue;
            }
            queue.push_back({std::move(childPath), item.name, t});
        }
    }
}

} // namespace qzn
