// The CRC-32 check after unpacking or testing: every file's stored value against the one its
// bytes gave, each failure named with its copies.
#include "Files.h"

namespace qzn {

void FileList::verifyCrcs() const {
    // Every file is checked, so that one run names all the damage. A copy carries the bytes of
    // the file at the end of its chain of copies, so it is named with that file when that file
    // fails; one that unpacking made is checked itself too. A file kept out of its place (the old
    // file stayed) was reported when that happened: it fails the check, unnamed again, and its
    // copies, left out with it, are not named either.
    std::vector<uint64_t> parents; // for naming files by their stored paths, once needed
    CopyGroups copies;
    bool failed = false;
    auto fail = [&] {
        if (failed) return;
        parents = folderParents();
        copies = CopyGroups(*this);
        failed = true;
    };
    for (uint64_t i = 0; i < files.size(); ++i) {
        const FileEntry& file = files[i];
        if (!file.selected) continue;
        if (file.actualCrc == uint64_t(file.crc)) continue;
        if (file.duplicateOf != kNoDuplicate) {
            if (!file.copied) continue;
            fail();
            const FileEntry& original = files[copies.originalOf(i)];
            // Named with its original when that failed, and reported already when kept out.
            if (original.actualCrc != uint64_t(original.crc) || file.leftOut) continue;
        } else {
            fail();
            if (file.leftOut) continue;
        }
        // Testing assigns no output paths; the stored path names the file then.
        const std::wstring label = labelOf(i, parents);
        noteErrorPath(label);
        printWide(L"Error: Invalid crc32 for %ls\n", label.c_str());
        printWide(L"Found %X, expected %X\n", unsigned(file.actualCrc), unsigned(file.crc));
        if (file.duplicateOf != kNoDuplicate) continue;
        for (uint64_t copy : copies.of(i))
            if (files[copy].selected && !files[copy].leftOut)
                printWide(L"Error: %ls is a copy of %ls, which failed its CRC-32 check\n",
                          labelOf(copy, parents).c_str(), label.c_str());
    }
    if (failed) stopRun(1, kStopDamaged);
    printWide(L"All crc32 match\n");
}

} // namespace qzn
