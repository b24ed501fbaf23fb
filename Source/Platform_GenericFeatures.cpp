// Processors without a second build of the codec's decoding loops.
#include "Platform.h"

namespace qzn {

bool cpuHasBmi2() {
    return false;
}

} // namespace qzn
