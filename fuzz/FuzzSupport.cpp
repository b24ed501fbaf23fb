#include "FuzzSupport.h"

#include <fcntl.h>
#include <unistd.h>

namespace qzn::fuzz {

namespace {
[[noreturn]] void throwStop(int status) {
    throw ProcessStop{status};
}
} // namespace

void prepare() {
    static bool done = false;
    if (done) return;
    done = true;
    setStopHook(throwStop);
    // Progress and error lines would drown the fuzzer's own output.
    int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
        std::fflush(stdout);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
}

FILE* openBytes(const uint8_t* data, size_t size) {
    if (size == 0) return nullptr;
    return fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

} // namespace qzn::fuzz
