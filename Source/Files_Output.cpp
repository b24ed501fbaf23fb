// The output side: folders and paths of an unpacked tree, duplicates recreated by copying, and
// the CRC-32 comparison.
#include "Files.h"

namespace qzn {

void FileList::createOutputTree() {
    if (dirs.empty()) return;
    // The table reader already refused broken trees; names are checked here as well, so that no
    // folder or file is ever made outside the output folder.
    std::wstring badName;
    if (!namesAreSafe(badName)) fatalWide(L"Error: Unsafe name in archive: %ls\n", badName.c_str());

    const std::wstring& root = dirs[0].name;
    if (!root.empty() && !isDirectory(root) && !createDirectory(root))
        fatalWide(L"Error: Failed to create directory %ls\n", root.c_str());

    // Depth first, each child's whole subtree before its next sibling (a, a/b, a/b/c, d). An
    // explicit stack keeps a deep tree from exhausting the call stack.
    struct Pending {
        uint64_t dir;
        std::wstring path;
    };
    auto join = [](const std::wstring& path, const std::wstring& name) {
        return path.empty() ? name : path + L"/" + name;
    };
    std::vector<Pending> stack;
    auto pushChildren = [&](uint64_t d, const std::wstring& path) {
        const std::vector<uint64_t>& children = dirs[d].subdirs;
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            stack.push_back({*it, join(path, dirs[*it].name)});
    };
    pushChildren(0, root);
    while (!stack.empty()) {
        Pending next = std::move(stack.back());
        stack.pop_back();
        if (!isDirectory(next.path) && !createDirectory(next.path))
            fatalWide(L"Error: Failed to create directory %ls\n", next.path.c_str());
        pushChildren(next.dir, next.path);
    }

    stack.push_back({0, root});
    while (!stack.empty()) {
        Pending next = std::move(stack.back());
        stack.pop_back();
        const std::wstring prefix = next.path.empty() ? std::wstring() : next.path + L"/";
        for (uint64_t f : dirs[next.dir].files) files[f].path = prefix + files[f].name;
        for (uint64_t c : dirs[next.dir].subdirs) stack.push_back({c, prefix + dirs[c].name});
    }
}

void FileList::restoreDuplicates() const {
    for (const FileEntry& file : files) {
        if (file.duplicateOf == kNoDuplicate) continue;
        const FileEntry& source = files[file.duplicateOf];
        // A copy onto itself would truncate the source before reading it.
        if (source.path == file.path) continue;
        if (!copyFileReplacing(source.path, file.path))
            fatalWide(L"Error: Failed to copy %ls to %ls\n", source.path.c_str(),
                      file.path.c_str());
    }
}

void FileList::verifyCrcs() const {
    for (uint64_t i = 0; i < files.size(); ++i) {
        const FileEntry& file = files[i];
        if (file.duplicateOf != kNoDuplicate) continue;
        if (file.actualCrc == uint64_t(file.crc)) continue;
        // Testing assigns no output paths; the stored path names the file then.
        const std::wstring label = file.path.empty() ? storedPath(i) : file.path;
        printWide(L"Error: Invalid crc32 for %ls\n", label.c_str());
        fatalWide(L"Found %X, expected %X\n", unsigned(file.actualCrc), unsigned(file.crc));
    }
    printWide(L"All crc32 match\n");
}

} // namespace qzn
