// Process stops, console output, wide-string conversion, clock and keyboard on POSIX.
#include "Platform.h"

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <sys/stat.h>
#include <unistd.h>

namespace qzn {

namespace {
StopHook stopHook = nullptr;

void writeBytes(const char* data, size_t size) {
    std::fwrite(data, 1, size, stdout);
}

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

// vswprintf reports truncation only as -1, so grow the buffer until the text fits.
std::wstring vformatWide(const wchar_t* format, va_list args) {
    std::wstring text(256, L'\0');
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = std::vswprintf(text.data(), text.size(), format, copy);
        va_end(copy);
        if (n >= 0) {
            text.resize(size_t(n));
            return text;
        }
        if (text.size() >= (size_t(1) << 24)) return {};
        text.resize(text.size() * 4);
    }
}

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}
} // namespace

// The cleanup registry: fixed slots holding narrow paths ready for unlink, so that a signal
// handler can walk them without allocating, converting or taking a lock.
namespace {
constexpr int kCleanupSlots = 8;
constexpr int kSlotFree = 0, kSlotFilling = 1, kSlotActive = 2;
struct CleanupSlot {
    std::atomic<int> state{kSlotFree};
    char path[4096];
};
CleanupSlot cleanupSlots[kCleanupSlots];
std::atomic<bool> handlersInstalled{false};

// Async-signal-safe: atomics, lstat and unlink only. Like removeFile, it never takes away a
// device or FIFO that was named as the output.
void removeRegisteredFiles() {
    for (CleanupSlot& slot : cleanupSlots) {
        if (slot.state.load(std::memory_order_acquire) != kSlotActive) continue;
        struct stat info;
        if (::lstat(slot.path, &info) == 0 && S_ISREG(info.st_mode)) ::unlink(slot.path);
    }
}

extern "C" void onInterrupt(int signal) {
    removeRegisteredFiles();
    _exit(128 + signal);
}

void installInterruptHandlers() {
    if (handlersInstalled.exchange(true)) return;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous;
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue; // started in the background or under nohup: leave it so
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        sigaddset(&action.sa_mask, SIGINT);
        sigaddset(&action.sa_mask, SIGTERM);
        sigaddset(&action.sa_mask, SIGHUP);
        ::sigaction(signal, &action, nullptr);
    }
}
} // namespace

int registerCleanup(const std::wstring& path) {
    installInterruptHandlers();
    const std::string narrow = toUtf8(path);
    if (narrow.empty() || narrow.size() >= sizeof(CleanupSlot::path)) return -1;
    for (int i = 0; i < kCleanupSlots; ++i) {
        int expected = kSlotFree;
        if (!cleanupSlots[i].state.compare_exchange_strong(expected, kSlotFilling)) continue;
        std::memcpy(cleanupSlots[i].path, narrow.c_str(), narrow.size() + 1);
        cleanupSlots[i].state.store(kSlotActive, std::memory_order_release);
        return i;
    }
    return -1;
}

void unregisterCleanup(int slot) {
    if (slot >= 0 && slot < kCleanupSlots)
        cleanupSlots[slot].state.store(kSlotFree, std::memory_order_release);
}

[[noreturn]] void stopProcess(int status) {
    std::fflush(stdout);
    removeRegisteredFiles();
    if (stopHook) stopHook(status);
    _exit(status);
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
    writeBytes(text.data(), text.size());
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
    std::string bytes = toUtf8(text);
    writeBytes(bytes.data(), bytes.size());
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
    std::string bytes = toUtf8(text);
    writeBytes(bytes.data(), bytes.size());
    stopProcess(1);
}

// A progress line is pushed out at once only where someone watches it; into a file or a pipe
// it goes with the buffered output, so that it costs no system call of its own.
static void flushProgress() {
    static const bool terminal = ::isatty(1) != 0;
    if (terminal) std::fflush(stdout);
}

void printProgress(const std::string& text) {
    printNarrow("\r%-79s", text.substr(0, 79).c_str());
    flushProgress();
}

void printProgressEnd(const std::string& text) {
    printNarrow("\r%-79s\n", text.substr(0, 79).c_str());
}

// Padding counts characters, not bytes, so it is done on the wide text before conversion.
static std::wstring padWide(const std::wstring& text) {
    std::wstring line = text.substr(0, 159);
    if (line.size() < 79) line.append(79 - line.size(), L' ');
    return line;
}

void printProgressWide(const std::wstring& text) {
    std::string line = toUtf8(padWide(text));
    writeBytes("\r", 1);
    writeBytes(line.data(), line.size());
    flushProgress();
}

void printProgressEndWide(const std::wstring& text) {
    std::string line = toUtf8(padWide(text));
    writeBytes("\r", 1);
    writeBytes(line.data(), line.size());
    writeBytes("\n", 1);
}

std::string toUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        uint32_t c = uint32_t(wc);
        if (c >= 0xDC80 && c <= 0xDCFF) {
            out += char(c - 0xDC00); // an undecodable byte, restored as it was
        } else if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            appendUtf8(out, 0xFFFD);
        } else {
            appendUtf8(out, c);
        }
    }
    return out;
}

std::wstring fromUtf8(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        unsigned char b = s[i];
        uint32_t c = 0;
        size_t len = 0;
        uint32_t min = 0;
        if (b < 0x80) {
            out += wchar_t(b);
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, len = 2, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, len = 3, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07, len = 4, min = 0x10000;
        }
        bool valid = len != 0 && i + len <= n;
        for (size_t k = 1; valid && k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                valid = false;
            else
                c = (c << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8: escape the byte.
        if (valid && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) valid = false;
        if (valid) {
            out += wchar_t(c);
            i += len;
        } else {
            out += wchar_t(0xDC00 + b);
            ++i;
        }
    }
    return out;
}

int64_t clockMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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
