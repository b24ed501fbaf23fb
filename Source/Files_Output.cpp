// The output side: folders and paths of an unpacked tree, duplicates recreated by copying, and
// the CRC-32 comparison.
#include "Files.h"

#include <map>

namespace qzn {

void PendingFile::track(const std::wstring& path) {
    discard();
    path_ = path;
    slot_ = registerCleanup(path);
    active_ = true;
}

void PendingFile::adopt(const std::wstring& path, int slot) {
    discard();
    path_ = path;
    slot_ = slot;
    active_ = true;
}

void PendingFile::keep() {
    unregisterCleanup(slot_);
    slot_ = -1;
    active_ = false;
}

void PendingFile::discard() {
    if (!active_) return;
    removeFile(path_);
    keep();
}

void FileList::createOutputTree() {
    if (dirs.empty()) return;
    // The table reader already refused broken trees; names are checked here as well, so that no
    // folder or file is ever made outside the output folder.
    std::wstring badName;
    if (!namesAreSafe(badName)) fatalWide(L"Error: Unsafe name in archive: %ls\n", badName.c_str());

    const std::wstring& root = dirs[0].name;
    if (!root.empty() && !isDirectory(root) && !createDirectory(root))
        fatalWide(L"Error: Failed to create directory %ls\n", root.c_str());
    dirs[0].path = root;

    // A name this file system cannot hold is written under the name it can, and said so.
    auto outputPath = [](const std::wstring& parent, const std::wstring& name) {
        const std::wstring storable = storableName(name);
        const std::wstring path = parent.empty() ? storable : parent + L"/" + storable;
        if (storable != name)
            printWide(L"Warning: %ls is written as %ls\n", name.c_str(), path.c_str());
        return path;
    };

    // Depth first, each child's whole subtree before its next sibling (a, a/b, a/b/c, d). An
    // explicit stack keeps a deep tree from exhausting the call stack. Each folder's path is
    // kept with it; a file's path is built from it when the file is reached.
    std::vector<uint64_t> stack;
    auto pushChildren = [&](uint64_t d) {
        const std::vector<uint64_t>& children = dirs[d].subdirs;
        for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
    };
    std::vector<uint64_t> parents(dirs.size(), 0);
    for (uint64_t d = 0; d < dirs.size(); ++d)
        for (uint64_t child : dirs[d].subdirs) parents[child] = d;
    pushChildren(0);
    while (!stack.empty()) {
        const uint64_t d = stack.back();
        stack.pop_back();
        dirs[d].path = outputPath(dirs[parents[d]].path, dirs[d].name);
        if (!isDirectory(dirs[d].path) && !createDirectory(dirs[d].path))
            fatalWide(L"Error: Failed to create directory %ls\n", dirs[d].path.c_str());
        pushChildren(d);
    }
    // Only a renamed file needs a path of its own.
    for (FileEntry& file : files)
        if (file.dirIndex < dirs.size() && storableName(file.name) != file.name)
            file.path = outputPath(dirs[file.dirIndex].path, file.name);
}

void FileList::restoreDuplicates(uint8_t& overwriteAll) const {
    // Output paths that more than one entry lands on (names that differ only where this file
    // system cannot tell them apart): a copy onto such a path must not replace the other file
    // unasked.
    std::map<std::wstring, int> landings;
    for (uint64_t i = 0; i < files.size(); ++i) ++landings[pathKey(pathOf(i))];
    for (uint64_t i = 0; i < files.size(); ++i) {
        if (files[i].duplicateOf == kNoDuplicate) continue;
        const std::wstring source = pathOf(files[i].duplicateOf);
        const std::wstring target = pathOf(i);
        // A copy onto itself would truncate the source before reading it.
        if (pathKey(source) == pathKey(target)) continue;
        if (landings[pathKey(target)] > 1) confirmOverwrite(overwriteAll, target);
        PendingFile copy;
        copy.track(target);
        if (!copyFileReplacing(source, target))
            fatalWide(L"Error: Failed to copy %ls to %ls\n", source.c_str(), target.c_str());
        copy.keep();
    }
}

void FileList::verifyCrcs() const {
    // Every file is checked, so that one run names all the damage. A copy is never checked
    // itself: it carries the bytes of the file at the end of its chain of copies, so it is named
    // with that file when that file fails.
    std::vector<uint64_t> parents; // for naming files by their stored paths, once needed
    CopyGroups copies;
    bool failed = false;
    for (uint64_t i = 0; i < files.size(); ++i) {
        const FileEntry& file = files[i];
        if (file.duplicateOf != kNoDuplicate) continue;
        if (file.actualCrc == uint64_t(file.crc)) continue;
        if (!failed) {
            parents = folderParents();
            copies = CopyGroups(*this);
            failed = true;
        }
        // Testing assigns no output paths; the stored path names the file then.
        const std::wstring label = labelOf(i, parents);
        printWide(L"Error: Invalid crc32 for %ls\n", label.c_str());
        printWide(L"Found %X, expected %X\n", unsigned(file.actualCrc), unsigned(file.crc));
        for (uint64_t copy : copies.of(i))
            printWide(L"Error: %ls is a copy of %ls, which failed its CRC-32 check\n",
                      labelOf(copy, parents).c_str(), label.c_str());
    }
    if (failed) stopProcess(1);
    printWide(L"All crc32 match\n");
}

} // namespace qzn
