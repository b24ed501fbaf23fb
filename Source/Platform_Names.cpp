// Names the program makes up: the form of a stored name that Windows can hold, and the name of a
// temporary file beside another.
#include "Platform.h"

#include <atomic>
#include <chrono>
#include <cwchar>
#include <random>

namespace qzn {

namespace {
bool isHighSurrogate(uint32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(uint32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}
} // namespace

std::string toGeneralizedUtf8(const std::wstring& text) {
    std::string out;
    size_t start = 0; // the run not yet converted
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t c = uint32_t(text[i]);
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(uint32_t(text[i + 1]))) {
            ++i; // a pair: one character, which toUtf8 converts
            continue;
        }
        if (!isHighSurrogate(c) && !isLowSurrogate(c)) continue;
        out += toUtf8(text.substr(start, i - start));
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
        start = i + 1;
    }
    return out + toUtf8(text.substr(start));
}

std::wstring fromGeneralizedUtf8(const std::string& bytes) {
    std::wstring out;
    size_t start = 0;
    for (size_t i = 0; i + 2 < bytes.size(); ++i) {
        const auto b0 = uint8_t(bytes[i]), b1 = uint8_t(bytes[i + 1]), b2 = uint8_t(bytes[i + 2]);
        if (b0 != 0xED || b1 < 0xA0 || b1 > 0xBF || (b2 & 0xC0) != 0x80) continue;
        out += fromUtf8(bytes.substr(start, i - start));
        out += wchar_t(0xD000 | (b1 & 0x3F) << 6 | (b2 & 0x3F));
        i += 2;
        start = i + 1;
    }
    return out + fromUtf8(bytes.substr(start));
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

} // namespace qzn
