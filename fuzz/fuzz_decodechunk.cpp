// The block decoder over arbitrary bytes: the first bytes choose the codec parameters and the
// chunk lengths, the rest is the bit stream. Each chunk is also followed with its tokens recorded
// and rebuilt from them, as unpack and test do with threads: that must end exactly as decoding
// does, with the same bytes or at the same check (the rebuild's before the follower's), whichever
// build of the loops runs which.
#include "ContextLz.h"
#include "FuzzSupport.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using namespace qzn;

// Where a chunk stopped; line 0 when it did not.
struct Stop {
    const char* source = "";
    int line = 0;
};

bool sameStop(const Stop& a, const Stop& b) {
    return a.line == b.line && std::strcmp(a.source, b.source) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qzn;
    fuzz::prepare();
    if (size < 4) return 0;
    uint32_t tableBits = 7 + data[0] % 6;
    uint32_t windowBits = 1 + data[1] % 17; // keeps each run small
    uint32_t chunks = 1 + data[2] % 3;
    uint32_t lengthSeed = data[3];
    // The loops' two builds (for any processor and with BMI2) take turns decoding while the other
    // follows and rebuilds.
    const bool decodeWithBmi2 = (data[2] / 3) % 2 != 0;
    FILE* file = fuzz::openBytes(data + 4, size - 4);
    FILE* again = fuzz::openBytes(data + 4, size - 4);
    if (!file || !again) {
        if (file) std::fclose(file);
        if (again) std::fclose(again);
        return 0;
    }
    try {
        ContextLz codec, follower;
        codec.configure(tableBits, 13, windowBits);
        follower.configure(tableBits, 13, windowBits);
        const int32_t capacity = int32_t(1) << windowBits;
        auto chunk = std::make_unique<uint8_t[]>(size_t(capacity));
        ChunkTokens recorded;
        recorded.bytes = LargeBuffer(ChunkTokens::capacityFor(capacity));
        codec.allocateDecoder();
        follower.allocateDecoder();
        codec.useBmi2 = decodeWithBmi2 && cpuHasBmi2();
        follower.useBmi2 = !decodeWithBmi2 && cpuHasBmi2();
        BitReader reader(file), followed(again);
        reader.openBuffer();
        followed.openBuffer();
        reader.loadSegment();
        followed.loadSegment();
        for (uint32_t i = 0; i < chunks; ++i) {
            int32_t len =
                i + 1 == chunks ? int32_t((lengthSeed * 2654435761u) % (capacity + 1)) : capacity;
            Stop decoded, rebuilt, following;
            try {
                DeferAsserts deferred;
                codec.decodeChunk(chunk.get(), len, reader);
            } catch (const DeferredAssert& a) {
                decoded = {a.source, a.line};
            }
            try {
                DeferAsserts deferred;
                follower.followChunk(len, followed, recorded);
            } catch (const DeferredAssert& a) {
                following = {a.source, a.line};
            }
            try {
                DeferAsserts deferred;
                follower.rebuildChunk(recorded, len);
            } catch (const DeferredAssert& a) {
                rebuilt = {a.source, a.line};
            }
            if (rebuilt.line == 0) rebuilt = following;
            if (!sameStop(decoded, rebuilt)) std::abort();
            if (decoded.line != 0) break;
            if (std::memcmp(chunk.get(), recorded.bytes.get(), size_t(len)) != 0 ||
                reader.bitPosition != followed.bitPosition)
                std::abort();
            ChannelFilter::inverse(chunk.get(), len, 1 << (1 + i % 4));
        }
    } catch (const ProcessStop&) {
    }
    std::fclose(file);
    std::fclose(again);
    return 0;
}
