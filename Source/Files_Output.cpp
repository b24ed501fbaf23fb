// The output tree: the folders of an unpacked tree, made and reached through folder handles, and
// the paths of its files.
#include "Files.h"

#include <algorithm>
#include <map>

namespace qzn {

const OutputFolder* OutputFolders::reach(FileList& list, uint64_t d) {
    const std::vector<DirEntry>& dirs = list.dirs;
    if (parents_.size() != dirs.size()) {
        parents_ = list.folderParents();
        open_.clear();
    }
    // The way from the output folder to d; a folder below a refused one is never reached.
    way_.clear();
    for (uint64_t at = d; way_.size() <= dirs.size(); at = parents_[at]) {
        way_.push_back(at);
        if (dirs[at].refused) return nullptr;
        if (at == 0 || parents_[at] == kNoParent) break;
    }
    std::reverse(way_.begin(), way_.end());
    // Keep what the way shares with the folders open, back to the last one still held.
    size_t shared = 0;
    while (shared < open_.size() && shared < way_.size() && open_[shared].dir == way_[shared])
        ++shared;
    open_.resize(shared);
    while (!open_.empty() && !open_.back().folder.isOpen()) open_.pop_back();
    if (open_.empty()) {
        // The output folder as typed: a link there is the user's choice.
        OutputFolder root;
        if (!root.open(dirs[0].name, true))
            fatalWithReason(L"Error: Failed to create directory %ls\n", dirs[0].name.c_str());
        open_.push_back({0, std::move(root)});
    }
    for (size_t level = open_.size(); level < way_.size(); ++level) {
        const uint64_t dir = way_[level];
        OutputFolder child;
        const OutputFolder::Opened opened =
            child.openChild(open_.back().folder, storableName(dirs[dir].name));
        if (opened == OutputFolder::Opened::Link || opened == OutputFolder::Opened::NotFolder) {
            list.dirs[dir].refused = true;
            list.incomplete = true;
            // The line start goes into the format: through "%ls" a newline would show as an
            // escape.
            const std::wstring format =
                lineStart_ + std::wstring(opened == OutputFolder::Opened::Link
                                              ? L"Error: Output folder %ls is a link; nothing is "
                                                L"unpacked into it\n"
                                              : L"Error: Output folder %ls is a file; nothing is "
                                                L"unpacked into it\n");
            printWide(format.c_str(), dirs[dir].path.c_str());
            return nullptr;
        }
        if (opened == OutputFolder::Opened::Denied || opened == OutputFolder::Opened::BadName) {
            // Its parent may not be written into, or its name is too long for the file system:
            // this folder alone is left out, with all below it.
            printWithReason((lineStart_ + std::wstring(L"Error: Output folder %ls cannot be made "
                                                       L"or opened; nothing is unpacked into it\n"))
                                .c_str(),
                            dirs[dir].path.c_str());
            list.dirs[dir].refused = true;
            list.incomplete = true;
            return nullptr;
        }
        if (opened == OutputFolder::Opened::Failed)
            fatalWithReason(L"Error: Failed to create directory %ls\n", dirs[dir].path.c_str());
        // Deep down, a folder stays open only while it is the last of the way.
        if (open_.size() > heldFolderLevels()) open_.back().folder.close();
        open_.push_back({dir, std::move(child)});
    }
    return &open_.back().folder;
}

const OutputFolder* OutputFolders::folderOf(FileList& list, uint64_t f, std::wstring& name) {
    const FileEntry& file = list.files[f];
    if (!list.dirs.empty() && file.dirIndex < list.dirs.size()) {
        name = storableName(file.name);
        return reach(list, file.dirIndex);
    }
    const std::wstring path = list.pathOf(f);
    if (!loose_.openParentOf(path, name))
        fatalWithReason(L"Error: Failed to open %ls\n", path.c_str());
    return &loose_;
}

void FileList::createOutputTree() {
    if (dirs.empty()) return;
    // The table reader already refused broken trees; names are checked here as well, so that no
    // folder or file is ever made outside the output folder.
    std::wstring badName;
    if (!namesAreSafe(badName)) fatalWide(L"Error: Unsafe name in archive: %ls\n", badName.c_str());
    dirs[0].path = dirs[0].name;
    OutputFolders folders;
    // Only the folders of a selection are made, and only its renamed names reported.
    if (dirs[0].selected) folders.reach(*this, 0);

    // A name this file system cannot hold, or could not read byte for byte (`lost` shows it as
    // stored), is written under the name it can, and said so.
    auto outputPath = [](const std::wstring& parent, const std::wstring& name,
                         const std::wstring* lost, bool selected) {
        const std::wstring storable = storableName(name);
        const std::wstring path = joinPath(parent, storable);
        if (selected && (storable != name || lost))
            printWide(L"Warning: %ls is written as %ls\n", (lost ? *lost : name).c_str(),
                      path.c_str());
        return path;
    };
    auto lostName = [](const std::map<uint64_t, std::wstring>& names,
                       uint64_t i) -> const std::wstring* {
        const auto it = names.find(i);
        return it == names.end() ? nullptr : &it->second;
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
        dirs[d].path = outputPath(dirs[parents[d]].path, dirs[d].name, lostName(lostDirNames, d),
                                  dirs[d].selected);
        if (dirs[d].selected) folders.reach(*this, d);
        pushChildren(d);
    }
    // Only a renamed file needs a path of its own.
    for (uint64_t f = 0; f < files.size(); ++f) {
        FileEntry& file = files[f];
        const std::wstring* lost = lostName(lostFileNames, f);
        if (file.dirIndex < dirs.size() && (storableName(file.name) != file.name || lost))
            file.path = outputPath(dirs[file.dirIndex].path, file.name, lost, file.selected);
    }
}

uint64_t FileStream::folderAt(const std::wstring& path) {
    if (parents_.empty()) {
        parents_ = folderParents();
        for (uint64_t d = 1; d < dirs.size(); ++d) folderKeys_.emplace(pathKey(dirs[d].path), d);
    }
    const auto it = folderKeys_.find(pathKey(path));
    return it == folderKeys_.end() ? kNoFolder : it->second;
}

} // namespace qzn
