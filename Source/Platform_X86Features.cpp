// The processor features that decide which build of the codec's decoding loops runs.
#include "Platform.h"

namespace qzn {

bool cpuHasBmi2() {
    static const bool has = [] {
        // Also when called before the runtime's own start-up code has filled in the processor's
        // features, as from a static initialiser.
        __builtin_cpu_init();
        return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    }();
    return has;
}

} // namespace qzn
