// The bit reader over arbitrary archive bytes: segments, fixed-width reads and the
// escalating-width code, in an order chosen by the input itself.
#include "FuzzSupport.h"
#include "IO.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qzn;
    fuzz::prepare();
    FILE* file = fuzz::openBytes(data, size);
    if (!file) return 0;
    try {
        BitReader reader(file);
        reader.openBuffer();
        reader.loadSegment();
        // The first bits of the stream steer which reads follow.
        for (int step = 0; step < 4096; ++step) {
            uint32_t op = reader.get(2);
            if (op == 0)
                reader.getVarint();
            else if (op == 1)
                reader.get(1 + reader.get(4));
            else if (op == 2)
                reader.get32();
            else
                reader.checkpoint();
            if (reader.truncated && step > 64) break;
        }
    } catch (const ProcessStop&) {
    }
    std::fclose(file);
    return 0;
}
