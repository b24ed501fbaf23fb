// The block decoder over arbitrary bytes: the first bytes choose the codec parameters and the
// chunk lengths, the rest is the bit stream.
#include "ContextLz.h"
#include "FuzzSupport.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qzn;
    fuzz::prepare();
    if (size < 4) return 0;
    uint32_t tableBits = 7 + data[0] % 6;
    uint32_t windowBits = 1 + data[1] % 17; // keeps each run small
    uint32_t chunks = 1 + data[2] % 3;
    uint32_t lengthSeed = data[3];
    FILE* file = fuzz::openBytes(data + 4, size - 4);
    if (!file) return 0;
    try {
        ContextLz codec;
        codec.configure(tableBits, 13, windowBits);
        auto chunk = std::make_unique<uint8_t[]>(size_t(1) << windowBits);
        codec.allocateDecoder();
        BitReader reader(file);
        reader.openBuffer();
        reader.loadSegment();
        for (uint32_t i = 0; i < chunks; ++i) {
            int32_t capacity = int32_t(1) << windowBits;
            int32_t len =
                i + 1 == chunks ? int32_t((lengthSeed * 2654435761u) % (capacity + 1)) : capacity;
            codec.decodeChunk(chunk.get(), len, reader);
            ChannelFilter::inverse(chunk.get(), len, 1 << (1 + i % 4));
        }
    } catch (const ProcessStop&) {
    }
    std::fclose(file);
    return 0;
}
