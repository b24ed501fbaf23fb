// The list mode: prints the stored tree from the file table, without decoding the contents.
#include "Files.h"
#include "IO.h"
#include "Main.h"
#include "Platform.h"

namespace qzn {

namespace {

void printFile(const FileEntry& entry) {
    // Rounded up without overflow; 64-bit so that sizes beyond 2 TB do not wrap.
    const long long kilobytes =
        static_cast<long long>(entry.size / 1024 + (entry.size % 1024 != 0));
    printWide(L"\t%ls (%lld KB, crc32: %X)\n",
              entry.name.empty() ? L"(unnamed)" : entry.name.c_str(), kilobytes, entry.crc);
}

// Each folder's line, then its subfolders' whole subtrees, then its files. An explicit stack
// keeps a deep tree from exhausting the call stack, and each line is built from its parent's
// text, so the work is the size of what is printed.
void printTree(const FileList& list) {
    struct Pending {
        uint64_t dir;
        size_t prefixLength; // of the parent's line text
        bool filesOnly;      // the subfolders are done: print the files
    };
    std::wstring prefix; // "a/b/" of the folder being visited
    std::vector<Pending> stack{{0, 0, false}};
    while (!stack.empty()) {
        Pending next = stack.back();
        stack.pop_back();
        const DirEntry& dir = list.dirs[next.dir];
        if (next.filesOnly) {
            for (uint64_t file : dir.files) printFile(list.files[file]);
            continue;
        }
        prefix.resize(next.prefixLength);
        prefix += dir.name;
        prefix += L'/';
        printWide(L"Dir: %ls\n", prefix.c_str());
        stack.push_back({next.dir, 0, true});
        for (auto it = dir.subdirs.rbegin(); it != dir.subdirs.rend(); ++it)
            stack.push_back({*it, prefix.size(), false});
    }
}

} // namespace

void list(const std::wstring& archivePath) {
    BitReader reader;
    FileStream stream;
    ArchiveInput archive;
    openArchiveForReading(archive, archivePath, reader, stream);

    printWide(L"Files: %u\n", static_cast<unsigned>(stream.files.size()));
    printWide(L"Directories: %u\n", static_cast<unsigned>(stream.dirs.size()));
    if (stream.dirs.empty()) {
        printWide(L"No directory\n");
        for (const FileEntry& entry : stream.files) printFile(entry);
    } else {
        printTree(stream);
    }
    readToTheEnd(archive);
}

} // namespace qzn
