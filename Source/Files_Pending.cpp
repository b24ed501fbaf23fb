// A file being written that must not outlive a failed run, such as the archive while it is packed:
// removed unless it is kept.
#include "Files.h"

namespace qzn {

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

} // namespace qzn
