// The whole test mode over an archive held in a temporary file: table, header, every chunk and
// the CRC comparison, as `qzn t` runs it, with one thread or three.
#include "FuzzSupport.h"
#include "Main.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qzn;
    fuzz::prepare();
    static std::string path = [] {
        std::string p = "/tmp/qzn-fuzz-XXXXXX";
        int fd = mkstemp(p.data());
        if (fd >= 0) ::close(fd);
        return p;
    }();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    try {
        Archiver archiver;
        // One thread, or the decode pipeline with two workers: the input's length chooses.
        archiver.threads = size % 2 == 0 ? 1 : 3;
        test(archiver, fromUtf8(path));
    } catch (const ProcessStop&) {
    }
    return 0;
}
