// The process itself, the same on every platform: how a run stops (an exception, the stop hook,
// a failed assertion), the run bound to a thread, and the monotonic clock.
#include "Platform.h"
#include "Platform_Internal.h"

#include <chrono>
#include <cstdlib>

namespace qzn {

namespace {
StopHook stopHook = nullptr;
thread_local bool deferAsserts = false;
thread_local RunHooks* boundRun = nullptr;
thread_local std::wstring errorPath;

// The beginnings of the messages that end a run, by the status code they stand for. The first
// that matches decides; a message that none matches is a failed read or write by its verb.
struct MessageCode {
    const wchar_t* start;
    int code;
};
constexpr MessageCode kMessageCodes[] = {
    {L"Error: Corrupt archive", kStopDamaged},
    {L"Error: Unsafe name in archive", kStopDamaged},
    {L"Error: Not enough memory", kStopMemory},
    {L"Error: Failed to start", kStopInternal},
    {L"Error: Failed to write", kStopWrite},
    {L"Error: Failed to rename", kStopWrite},
    {L"Error: Failed to keep", kStopWrite},
    {L"Error: Failed to read", kStopRead},
    {L"Error: Failed to copy", kStopWrite},
    {L"Error: The archive would be written to a terminal", kStopArgument},
    {L"Error: The archive", kStopArgument},
    {L"Error: The output file", kStopArgument},
    {L"Invalid number of channels", kStopArgument},
    {L"Error: Failed to create directory", kStopOpen},
    {L"Error: Failed to open", kStopOpen},
    {L"Failed to open", kStopOpen},
    {L"Error: Unable to access", kStopOpen},
    {L"Error: ", kStopOpen}, // "is a folder", "does not exist", "is not a file or folder"
};
} // namespace

namespace {
// Outside a run nothing else cleans up: what was printed goes out, and what the run left is
// removed here; then the stop hook has its say.
void endUnboundRun(int status) {
    std::fflush(stdout);
    removeRegisteredFiles();
    if (stopHook) stopHook(status);
}
} // namespace

[[noreturn]] void stopRun(int status, int code, const std::wstring& message,
                          const std::wstring& path) {
    ProcessStop stop(status, code);
    size_t first = message.find_first_not_of(L'\n');
    size_t last = message.find_last_not_of(L'\n');
    if (first != std::wstring::npos) stop.message = toUtf8(message.substr(first, last + 1 - first));
    stop.path = toUtf8(path.empty() ? takeErrorPath() : path);
    errorPath.clear();
    if (!boundRun) endUnboundRun(status);
    throw stop;
}

[[noreturn]] void stopProcess(int status) {
    stopRun(status, kStopDerived);
}

void setStopHook(StopHook hook) {
    stopHook = hook;
}

int statusOfStop(const ProcessStop& stop) {
    if (stop.code != kStopDerived) return stop.code;
    if (stop.check != 0 || stop.status == kAssertStatus) return kStopDamaged;
    if (stop.status == 0) return 0;
    if (stop.message.empty()) return kStopWarning;
    const std::wstring text = fromUtf8(stop.message);
    for (const MessageCode& entry : kMessageCodes)
        if (text.rfind(entry.start, 0) == 0) return entry.code;
    return kStopInternal;
}

void noteErrorPath(const std::wstring& path) {
    errorPath = path;
}

std::wstring takeErrorPath() {
    return std::exchange(errorPath, std::wstring());
}

DeferAsserts::DeferAsserts() : previous_(deferAsserts) {
    deferAsserts = true;
}

DeferAsserts::~DeferAsserts() {
    deferAsserts = previous_;
}

[[noreturn]] void assertFailed(const char* source, int line) {
    if (deferAsserts) throw DeferredAssert{source, line};
    const std::string text = formatNarrow("Assert failed\n%s:%d\n", source, line);
    if (boundRun) {
        boundRun->text(TextKind::Line, text);
        ProcessStop stop(kAssertStatus, kStopDamaged, text.substr(0, text.size() - 1), {}, line);
        errorPath.clear();
        throw stop;
    }
    printNarrow("%s", text.c_str());
    endUnboundRun(kAssertStatus);
    throw ProcessStop(kAssertStatus, kStopDamaged, text.substr(0, text.size() - 1), {}, line);
}

RunHooks* currentRun() {
    return boundRun;
}

RunScope::RunScope(RunHooks* run) : previous_(boundRun) {
    boundRun = run;
}

RunScope::~RunScope() {
    boundRun = previous_;
}

void reportProgress(uint64_t done, uint64_t total) {
    if (boundRun && !boundRun->progress(done, total)) stopRun(1, kStopCancelled, L"Cancelled");
}

[[noreturn]] void exitProcess(int status) {
    // The run is over, and its status says how it went: a reader gone by the last flush does not
    // turn that into an interrupt.
    ignoreClosedOutput();
    std::fflush(stdout);
    removeRegisteredFiles();
    std::_Exit(status);
}

int64_t clockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace qzn
