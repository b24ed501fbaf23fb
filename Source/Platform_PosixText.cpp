// Text on POSIX: console output, UTF-8 conversion, the system's reason for a failure and the
// stored-name rule.
#include "Platform.h"
#include "Platform_Internal.h"

#include <cerrno>
#include <cstring>
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

void writeOutput(const char* data, size_t size) {
    std::fwrite(data, 1, size, consoleOnStandardError() ? stderr : stdout);
}

void writeErrorOutput(const char* data, size_t size) {
    std::fwrite(data, 1, size, stderr);
}

bool outputIsInteractive() {
    return ::isatty(consoleOnStandardError() ? 2 : 1) != 0;
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

// Lone surrogates U+DC80..U+DCFF already stand for bytes, which toUtf8 restores.
std::string pathToUtf8(const std::wstring& path) {
    return toUtf8(path);
}

std::wstring pathFromUtf8(const std::string& bytes) {
    return fromUtf8(bytes);
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

bool failureMeansMissing() {
    return errno == ENOENT || errno == ENOTDIR;
}

// Only '/' and NUL mean something to a POSIX file system, and the portable check refuses both.
std::wstring storableName(const std::wstring& name) {
    return name;
}

std::wstring pathKey(const std::wstring& path) {
    return path;
}

} // namespace qzn
