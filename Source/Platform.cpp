// The process itself, the same on every platform: how it stops (the stop hook, a failed
// assertion) and its monotonic clock.
#include "Platform.h"
#include "Platform_Internal.h"

#include <chrono>
#include <cstdlib>

namespace qzn {

namespace {
StopHook stopHook = nullptr;
thread_local bool deferAsserts = false;
} // namespace

[[noreturn]] void stopProcess(int status) {
    // The run is over, and its status says how it went: a reader gone by the last flush does not
    // turn that into an interrupt.
    ignoreClosedOutput();
    std::fflush(stdout);
    removeRegisteredFiles();
    if (stopHook) stopHook(status);
    std::_Exit(status);
}

void setStopHook(StopHook hook) {
    stopHook = hook;
}

DeferAsserts::DeferAsserts() : previous_(deferAsserts) {
    deferAsserts = true;
}

DeferAsserts::~DeferAsserts() {
    deferAsserts = previous_;
}

[[noreturn]] void assertFailed(const char* source, int line) {
    if (deferAsserts) throw DeferredAssert{source, line};
    printNarrow("Assert failed\n%s:%d\n", source, line);
    stopProcess(kAssertStatus);
}

int64_t clockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace qzn
