// The library's C interface over any input, as a program that embeds it sees it: the archive is
// opened through a read callback from memory, its entries are read, and it is tested (with one
// thread or three) or extracted through a data callback. Every input must end in a status, with
// nothing printed and the process still running.
#include <qzn.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct Memory {
    const uint8_t* data;
    size_t size, position;
};

ptrdiff_t readMemory(void* user, void* buffer, size_t size) {
    Memory& memory = *static_cast<Memory*>(user);
    // In uneven pieces, as a pipe delivers them.
    size_t n = std::min(size, memory.size - memory.position);
    if (n > 1 + memory.position % 5000) n = 1 + memory.position % 5000;
    std::memcpy(buffer, memory.data + memory.position, n);
    memory.position += n;
    return ptrdiff_t(n);
}

int countBytes(void* user, uint64_t, const void*, size_t size) {
    *static_cast<uint64_t*>(user) += size;
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Memory memory{data, size, 0};
    qzn_options options;
    qzn_options_init(&options);
    options.threads = size % 2 == 0 ? 1 : 3;
    qzn_archive* archive = nullptr;
    if (qzn_open_callback(readMemory, &memory, &options, &archive) != QZN_OK) {
        if (archive) std::abort(); // a failed open hands out no handle
        return 0;
    }
    const uint64_t count = qzn_entry_count(archive);
    for (uint64_t i = 0; i < count; ++i) {
        qzn_entry entry;
        if (qzn_entry_get(archive, i, &entry) != QZN_OK || !entry.path || !entry.name) std::abort();
        if (entry.copy_of >= int64_t(count) || entry.parent >= int64_t(i)) std::abort();
    }
    if (size % 3 == 0) {
        uint64_t bytes = 0;
        const qzn_data_callbacks callbacks{countBytes, &bytes};
        qzn_extract(archive, nullptr, &callbacks);
    } else {
        qzn_test(archive, nullptr);
    }
    if (qzn_last_error_message() == nullptr) std::abort();
    qzn_close(archive);
    return 0;
}
