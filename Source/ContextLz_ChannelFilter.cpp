// Byte-plane transform: groups of N interleaved bytes become N planes, one per channel, so that
// record-structured data reaches the codec as runs of like bytes. A pure permutation per chunk.
#include "ContextLz.h"

#include <cstring>
#include <memory>

namespace qzn {

namespace {

constexpr int32_t kAllowedChannels[4] = {2, 4, 8, 16};

// The filtered prefix: len rounded down to whole groups; the tail stays in place.
int32_t filteredLength(int32_t len, int32_t channels) {
    return len & ~(channels - 1);
}

} // namespace

bool ChannelFilter::isAllowed(int32_t channels) {
    for (int32_t allowed : kAllowedChannels)
        if (channels == allowed) return true;
    return false;
}

namespace {

// Both directions: the filtered prefix is copied to a temporary buffer, then every byte moves
// between its place in a group and its place in its channel's plane.
void regroup(uint8_t* buffer, int32_t len, int32_t channels, bool toPlanes) {
    if (!ChannelFilter::isAllowed(channels) || len <= 0) return;
    const int32_t filtered = filteredLength(len, channels);
    if (filtered == 0) return;
    const int32_t groups = filtered / channels;
    int32_t starts[16];
    for (int32_t j = 0; j < channels; ++j) starts[j] = int32_t(int64_t(j) * filtered / channels);

    auto temporary = std::make_unique_for_overwrite<uint8_t[]>(size_t(filtered));
    std::memcpy(temporary.get(), buffer, size_t(filtered));
    for (int32_t g = 0; g < groups; ++g) {
        const int64_t group = int64_t(g) * channels;
        for (int32_t j = 0; j < channels; ++j) {
            if (toPlanes)
                buffer[starts[j] + g] = temporary[group + j];
            else
                buffer[group + j] = temporary[starts[j] + g];
        }
    }
}

} // namespace

void ChannelFilter::forward(uint8_t* buffer, int32_t len, int32_t channels) {
    regroup(buffer, len, channels, true);
}

void ChannelFilter::inverse(uint8_t* buffer, int32_t len, int32_t channels) {
    regroup(buffer, len, channels, false);
}

} // namespace qzn
