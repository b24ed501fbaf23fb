// Memory on Windows: large buffers, committed up front.
#include "Platform.h"

#include <windows.h>

namespace qzn {

// Windows has no call that commits demand-zero pages without writing them; the first writes fault
// them in as before.
void prefaultMemory(void*, size_t) {}

// Large pages need a privilege that a console program does not hold; committed pages come zeroed.
LargeBuffer::LargeBuffer(size_t bytes) {
    if (bytes == 0) return;
    data_ = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    bytes_ = data_ != nullptr ? bytes : 0;
}

void LargeBuffer::reset() {
    if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
    data_ = nullptr;
    bytes_ = 0;
}

} // namespace qzn
