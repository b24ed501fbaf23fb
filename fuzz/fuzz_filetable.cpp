// The file table reader over arbitrary bytes, followed by the checks the drivers rely on.
#include "Files.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qzn;
    fuzz::prepare();
    FILE* file = fuzz::openBytes(data, size);
    if (!file) return 0;
    try {
        BitReader reader(file);
        reader.openBuffer();
        reader.loadSegment();
        FileStream stream;
        stream.readTable(reader);
        std::wstring bad;
        stream.namesAreSafe(bad);
        stream.totalSize();
    } catch (const ProcessStop&) {
    }
    std::fclose(file);
    return 0;
}
