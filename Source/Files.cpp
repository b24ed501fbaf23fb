// The file list itself: its consistency check, the stream length, stored paths and labels, name
// safety, the small-file cache and the removal of files.
#include "Files.h"

#include <algorithm>
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

// The new index of a file removed from the list: it has none.
constexpr uint64_t kDropped = ~uint64_t(0);

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

// '\\' and ':' are ordinary characters on POSIX; where they are not, storableName replaces them.
bool isUnsafeName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return true;
    for (wchar_t c : name)
        if (c == L'/' || c == L'\0') return true;
    return false;
}

} // namespace

std::vector<uint64_t> FileList::folderParents() const {
    return parentsOf(*this);
}

std::wstring FileList::storedPath(uint64_t fileIndex) const {
    return storedPath(fileIndex, parentsOf(*this));
}

std::wstring FileList::storedPath(uint64_t fileIndex, const std::vector<uint64_t>& parents) const {
    const FileEntry& file = files[fileIndex];
    if (dirs.empty()) return file.name.empty() ? std::wstring(L"(unnamed)") : file.name;
    return dirPath(*this, parents, file.dirIndex) + file.name;
}

std::wstring FileList::storedFolderPath(uint64_t dirIndex,
                                        const std::vector<uint64_t>& parents) const {
    std::wstring path = dirPath(*this, parents, dirIndex);
    if (!path.empty()) path.pop_back();
    return path;
}

std::wstring FileList::pathOf(uint64_t fileIndex) const {
    const FileEntry& file = files[fileIndex];
    if (!file.path.empty() || dirs.empty() || file.dirIndex >= dirs.size())
        return file.path.empty() ? file.name : file.path;
    return joinPath(dirs[file.dirIndex].path, file.name);
}

std::wstring FileList::labelOf(uint64_t fileIndex) const {
    return labelOf(fileIndex, folderParents());
}

std::wstring FileList::labelOf(uint64_t fileIndex, const std::vector<uint64_t>& parents) const {
    if (!files[fileIndex].path.empty()) return files[fileIndex].path;
    if (dirs.empty() || dirs[0].path.empty()) return storedPath(fileIndex, parents);
    return pathOf(fileIndex);
}

const uint8_t* SmallFileCache::find(uint64_t file) const {
    auto it = std::lower_bound(items.begin(), items.end(), file,
                               [](const Item& item, uint64_t f) { return item.file < f; });
    return it != items.end() && it->file == file ? bytes.data() + it->offset : nullptr;
}

void SmallFileCache::clear() {
    bytes = {};
    items = {};
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

void FileList::removeFiles(const std::vector<uint8_t>& dropped) {
    // Renumbers the files that stay, keeping their order, the directories' runs and the
    // duplicates' backward references (a dropped file is never an original).
    std::vector<uint64_t> newIndex(files.size(), kDropped);
    uint64_t kept = 0;
    for (uint64_t f = 0; f < files.size(); ++f) {
        if (dropped[f]) continue;
        newIndex[f] = kept;
        if (kept != f) files[kept] = std::move(files[f]);
        ++kept;
    }
    files.resize(kept);
    for (DirEntry& dir : dirs) {
        size_t out = 0;
        for (uint64_t f : dir.files)
            if (newIndex[f] != kDropped) dir.files[out++] = newIndex[f];
        dir.files.resize(out);
    }
    for (SmallFileCache::Item& item : cache.items) item.file = newIndex[item.file];
}

} // namespace qzn
