// Console output, wide-string conversion and the stored-name rule on POSIX.
#include "Platform.h"
#include "Platform_Internal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qzn {

namespace {
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

namespace {
CleanupRegistry<char, 4096> cleanupRegistry;
std::atomic<bool> handlersInstalled{false};
} // namespace

// Async-signal-safe: atomics, fstatat and unlinkat only. Like removeFile, it never takes away a
// device or FIFO that was named as the output.
void removeRegisteredFiles() {
    cleanupRegistry.removeAll([](intptr_t folder, const char* path) {
        struct stat info;
        if (::fstatat(int(folder), path, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
            ::unlinkat(int(folder), path, 0);
    });
}

namespace {
extern "C" void onInterrupt(int signal) {
    removeRegisteredFiles();
    _exit(128 + signal);
}

// Every signal whose default action ends the process while a run may be under way: the keyboard
// (SIGINT, SIGQUIT), kill and shutdown (SIGTERM), a closed terminal (SIGHUP), and a reader of
// standard output that went away (SIGPIPE, as in "qzn c a.qzn dir | head").
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

void installInterruptHandlers() {
    if (handlersInstalled.exchange(true)) return;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : kInterrupts) sigaddset(&action.sa_mask, signal);
    for (int signal : kInterrupts) {
        struct sigaction previous;
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue; // started in the background, under nohup or with SIGPIPE ignored: leave it so
        ::sigaction(signal, &action, nullptr);
    }
}
} // namespace

int registerCleanup(const std::wstring& path) {
    installInterruptHandlers();
    return cleanupRegistry.add(toUtf8(path), AT_FDCWD);
}

int registerCleanupIn(int folder, const std::string& name) {
    installInterruptHandlers();
    return cleanupRegistry.add(name, folder);
}

void unregisterCleanup(int slot) {
    cleanupRegistry.release(slot);
}

void writeOutput(const char* data, size_t size) {
    std::fwrite(data, 1, size, stdout);
}

bool outputIsInteractive() {
    return ::isatty(1) != 0;
}

bool isControlByteStandIn(wchar_t c) {
    return uint32_t(c) >= 0xDC80 && uint32_t(c) <= 0xDC9F;
}

std::string toUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = uint32_t(text[i]);
        uint32_t next = i + 1 < text.size() ? uint32_t(text[i + 1]) : 0;
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            // A surrogate pair, as UTF-16 text would carry it: one character.
            appendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00));
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
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

// Every byte comes through: bytes that are not UTF-8 become lone surrogates and go back as they
// were.
std::wstring storedNameFromUtf8(const std::string& bytes, std::wstring& lost) {
    lost.clear();
    return fromUtf8(bytes);
}

std::wstring systemErrorText() {
    const int error = errno;
    return fromUtf8(std::strerror(error));
}

// Only '/' and NUL mean something to a POSIX file system, and the portable check refuses both.
std::wstring storableName(const std::wstring& name) {
    return name;
}

std::wstring pathKey(const std::wstring& path) {
    return path;
}

namespace {
constexpr size_t kHugePage = size_t(2) << 20;

uintptr_t pageBytes() {
    static const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    return page;
}
} // namespace

void prefaultMemory(void* address, size_t bytes) {
    // Only whole pages inside the block; an older kernel refuses the advice, which is harmless.
    const uintptr_t page = pageBytes();
    const uintptr_t start = (uintptr_t(address) + page - 1) & ~(page - 1);
    const uintptr_t end = (uintptr_t(address) + bytes) & ~(page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
}

LargeBuffer::LargeBuffer(size_t bytes) {
    if (bytes == 0) return;
    // Over-allocate by a huge page, then unmap the slack on both sides of the aligned block.
    const size_t size = (bytes + pageBytes() - 1) & ~size_t(pageBytes() - 1);
    void* mapped =
        mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return;
    const uintptr_t raw = uintptr_t(mapped);
    const uintptr_t start = (raw + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
    if (start > raw) munmap(mapped, start - raw);
    munmap(reinterpret_cast<void*>(start + size), raw + kHugePage - start);
    data_ = reinterpret_cast<uint8_t*>(start);
    bytes_ = size;
    // Advice only: where huge pages are off, small pages serve as before.
    if (size >= kHugePage) madvise(data_, size, MADV_HUGEPAGE);
}

void LargeBuffer::reset() {
    if (data_ != nullptr) munmap(data_, bytes_);
    data_ = nullptr;
    bytes_ = 0;
}

} // namespace qzn
