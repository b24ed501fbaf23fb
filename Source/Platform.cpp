// The portable part of the platform layer: process stops, formatting, progress lines, code-point
// counting, the Windows name rule, temporary names, the clock and the answer character. The bytes
// reach the console through writeOutput, which each platform provides.
#include "Platform.h"
#include "Platform_Internal.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cwchar>
#include <random>
#include <utility>

namespace qzn {

namespace {
StopHook stopHook = nullptr;

std::string vformatNarrow(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return {};
    if (size_t(n) < sizeof small) return std::string(small, size_t(n));
    std::string text(size_t(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(size_t(n));
    return text;
}

// vswprintf reports truncation as -1 in some C libraries and as the full length in others: grow
// the buffer until the text fits either way.
std::wstring vformatWide(const wchar_t* format, va_list args) {
    std::wstring text(256, L'\0');
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = std::vswprintf(text.data(), text.size(), format, copy);
        va_end(copy);
        if (n >= 0 && size_t(n) < text.size()) {
            text.resize(size_t(n));
            return text;
        }
        if (text.size() >= (size_t(1) << 24)) return {};
        text.resize(n >= 0 ? size_t(n) + 1 : text.size() * 4);
    }
}

bool isHighSurrogate(wchar_t c) {
    return uint32_t(c) >= 0xD800 && uint32_t(c) <= 0xDBFF;
}
bool isLowSurrogate(wchar_t c) {
    return uint32_t(c) >= 0xDC00 && uint32_t(c) <= 0xDFFF;
}

// Code units of the code point starting at text[i]: 2 for a surrogate pair, else 1.
size_t codePointUnits(const std::wstring& text, size_t i) {
    return isHighSurrogate(text[i]) && i + 1 < text.size() && isLowSurrogate(text[i + 1]) ? 2 : 1;
}

void writeText(const std::string& bytes) {
    writeOutput(bytes.data(), bytes.size());
}
} // namespace

[[noreturn]] void stopProcess(int status) {
    std::fflush(stdout);
    removeRegisteredFiles();
    if (stopHook) stopHook(status);
    std::_Exit(status);
}

void setStopHook(StopHook hook) {
    stopHook = hook;
}

[[noreturn]] void assertFailed(const char* source, int line) {
    printNarrow("Assert failed\n%s:%d\n", source, line);
    stopProcess(kAssertStatus);
}

void printNarrow(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformatNarrow(format, args);
    va_end(args);
    writeText(text);
}

std::string formatNarrow(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformatNarrow(format, args);
    va_end(args);
    return text;
}

void printWide(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = vformatWide(format, args);
    va_end(args);
    writeText(toUtf8(text));
}

std::wstring formatWide(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = vformatWide(format, args);
    va_end(args);
    return text;
}

[[noreturn]] void fatalWide(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = vformatWide(format, args);
    va_end(args);
    writeText(toUtf8(text));
    stopProcess(1);
}

void printWithReason(const wchar_t* format, ...) {
    const std::wstring reason = systemErrorText();
    va_list args;
    va_start(args, format);
    std::wstring text = vformatWide(format, args);
    va_end(args);
    writeText(toUtf8(text + reason + L"\n"));
}

[[noreturn]] void fatalWithReason(const wchar_t* format, ...) {
    const std::wstring reason = systemErrorText();
    va_list args;
    va_start(args, format);
    std::wstring text = vformatWide(format, args);
    va_end(args);
    writeText(toUtf8(text + reason + L"\n"));
    stopProcess(1);
}

// A progress line is pushed out at once only where someone watches it; into a file or a pipe
// it goes with the buffered output, so that it costs no system call of its own.
static void flushProgress() {
    static const bool terminal = outputIsInteractive();
    if (terminal) std::fflush(stdout);
}

void printProgress(const std::string& text) {
    printNarrow("\r%-79s", text.substr(0, 79).c_str());
    flushProgress();
}

void printProgressEnd(const std::string& text) {
    printNarrow("\r%-79s\n", text.substr(0, 79).c_str());
}

size_t codePointCount(const std::wstring& text) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); i += codePointUnits(text, i)) ++count;
    return count;
}

std::wstring codePointPrefix(const std::wstring& text, size_t limit) {
    size_t i = 0;
    for (size_t count = 0; i < text.size() && count < limit; ++count) i += codePointUnits(text, i);
    return text.substr(0, i);
}

// Padding counts characters, not bytes, so it is done on the wide text before conversion.
static std::string progressLine(const std::wstring& text) {
    std::wstring line = codePointPrefix(text, 159);
    size_t count = codePointCount(line);
    if (count < 79) line.append(79 - count, L' ');
    std::string bytes(1, '\r');
    bytes += toUtf8(line);
    return bytes;
}

void printProgressWide(const std::wstring& text) {
    writeText(progressLine(text));
    flushProgress();
}

void printProgressEndWide(const std::wstring& text) {
    writeText(progressLine(text) + "\n");
}

std::wstring windowsName(const std::wstring& name) {
    std::wstring safe = name;
    for (wchar_t& c : safe) {
        if ((c >= 1 && c <= 31) || std::wcschr(L"<>:\"|?*\\", c) != nullptr) c = L'_';
    }
    if (!safe.empty() && (safe.back() == L'.' || safe.back() == L' ')) safe += L'_';

    // Windows opens the device for "con", "Con.txt" or "CON .tar.gz": the part before the first
    // dot, without trailing blanks, decides.
    std::wstring base = safe.substr(0, safe.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base)
        if (c >= L'a' && c <= L'z') c = wchar_t(c - L'a' + L'A');
    static const wchar_t* const kDevices[] = {L"CON", L"PRN",    L"AUX",
                                              L"NUL", L"CONIN$", L"CONOUT$"};
    bool device = false;
    for (const wchar_t* d : kDevices) device = device || base == d;
    if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
        wchar_t digit = base[3];
        device = (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
                 digit == L'\u00B3';
    }
    return device ? L"_" + safe : safe;
}

OutputFolder& OutputFolder::operator=(OutputFolder&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

std::wstring temporaryName(const std::wstring& name) {
    // A random start for the process (the time and where its memory lies stand in when the
    // system's source is weak), then a new number for every call.
    static const uint64_t seed = [] {
        std::random_device device;
        static int anchor;
        return (uint64_t(device()) << 32) ^ uint64_t(device()) ^ uint64_t(uintptr_t(&anchor)) ^
               uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
    }();
    static std::atomic<uint64_t> calls{0};
    // splitmix64: each step of the counter gives an unrelated-looking value.
    uint64_t x = seed + 0x9E3779B97F4A7C15ull * (calls.fetch_add(1) + 1);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    // 40 code points are at most 160 UTF-8 bytes: with the rest, far below any name limit.
    return codePointPrefix(name, 40) + formatWide(L".%012llx.tmp", (unsigned long long)(x >> 16));
}

int64_t clockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int readAnswerCharacter() {
    std::fflush(stdout);
    int c = std::getchar();
    if (c == EOF) return EOF;
    // Discard the rest of the typed line so that it cannot answer a later question.
    int rest = c;
    while (rest != '\n' && rest != EOF) rest = std::getchar();
    return c;
}

} // namespace qzn
