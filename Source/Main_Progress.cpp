// The progress and speed figures of the chunk passes.
#include "Main.h"
#include "Platform.h"

namespace qzn {

double megabytesPerSecond(double bytes, double seconds) {
    return seconds > 0 ? bytes / 1048576.0 / seconds : 0.0;
}

std::string progressText(uint64_t done, uint64_t total, double previousSeconds,
                         int32_t windowBits) {
    if (previousSeconds < 0 || done == total)
        return formatNarrow("%.1f/%.1f MB", done / 1048576.0, total / 1048576.0);
    return formatNarrow("%.1f/%.1f MB, %.2f MB/s", done / 1048576.0, total / 1048576.0,
                        megabytesPerSecond(double(uint64_t(1) << windowBits), previousSeconds));
}

} // namespace qzn
