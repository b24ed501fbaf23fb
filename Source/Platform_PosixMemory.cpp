// Memory on POSIX: large buffers aligned for huge pages, and pages faulted in ahead of use.
#include "Platform.h"

#include <sys/mman.h>
#include <unistd.h>

namespace qzn {

namespace {
constexpr size_t kHugePage = size_t(2) << 20;

uintptr_t pageBytes() {
    static const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    return page;
}
} // namespace

void prefaultMemory(void* address, size_t bytes) {
    // Only whole pages inside the block; an older kernel refuses the advice, which is harmless.
    const uintptr_t page = pageBytes();
    const uintptr_t start = (uintptr_t(address) + page - 1) & ~(page - 1);
    const uintptr_t end = (uintptr_t(address) + bytes) & ~(page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
}

LargeBuffer::LargeBuffer(size_t bytes) {
    if (bytes == 0) return;
    // Over-allocate by a huge page, then unmap the slack on both sides of the aligned block.
    const size_t size = (bytes + pageBytes() - 1) & ~size_t(pageBytes() - 1);
    void* mapped =
        mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return;
    const uintptr_t raw = uintptr_t(mapped);
    const uintptr_t start = (raw + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
    if (start > raw) munmap(mapped, start - raw);
    munmap(reinterpret_cast<void*>(start + size), raw + kHugePage - start);
    data_ = reinterpret_cast<uint8_t*>(start);
    bytes_ = size;
    // Advice only: where huge pages are off, small pages serve as before.
    if (size >= kHugePage) madvise(data_, size, MADV_HUGEPAGE);
}

void LargeBuffer::reset() {
    if (data_ != nullptr) munmap(data_, bytes_);
    data_ = nullptr;
    bytes_ = 0;
}

} // namespace qzn
