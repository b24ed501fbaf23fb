// Text on Windows: console output, UTF-8 conversion, the system's reason for a failure and the
// stored-name rule.
#include "Platform.h"
#include "Platform_Internal.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace qzn {

namespace {
// UTF-8 bytes to one of the standard streams: `which` names its handle.
void writeStandard(DWORD which, FILE* stream, const char* data, size_t size) {
    HANDLE console = GetStdHandle(which);
    DWORD mode = 0;
    if (console != INVALID_HANDLE_VALUE && console != nullptr && GetConsoleMode(console, &mode)) {
        // A console shows UTF-16 text whatever its code page; bytes would be read in that page.
        std::fflush(stream);
        std::wstring text = fromUtf8(std::string(data, size));
        const wchar_t* at = text.data();
        size_t left = text.size();
        while (left > 0) {
            DWORD written = 0;
            DWORD part = DWORD(left < 16384 ? left : 16384);
            if (!WriteConsoleW(console, at, part, &written, nullptr) || written == 0) break;
            at += written;
            left -= written;
        }
        return;
    }
    // Redirected: the same bytes as on every platform, without "\r\n" translation. Checked on
    // every write, since a test may swap the descriptor behind standard output.
    _setmode(_fileno(stream), _O_BINARY);
    std::fwrite(data, 1, size, stream);
}
} // namespace

void writeOutput(const char* data, size_t size) {
    const bool toError = consoleOnStandardError();
    writeStandard(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, toError ? stderr : stdout, data,
                  size);
}

void writeErrorOutput(const char* data, size_t size) {
    writeStandard(STD_ERROR_HANDLE, stderr, data, size);
}

bool outputIsInteractive() {
    HANDLE console = GetStdHandle(consoleOnStandardError() ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return console != INVALID_HANDLE_VALUE && console != nullptr && GetConsoleMode(console, &mode);
}

// Undecodable bytes become U+FFFD here, never a byte of their own.
bool isControlByteStandIn(wchar_t) {
    return false;
}

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0) return {};
    std::string bytes(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), bytes.data(), n, nullptr,
                        nullptr);
    return bytes;
}

std::string pathToUtf8(const std::wstring& path) {
    return toGeneralizedUtf8(path);
}

std::wstring pathFromUtf8(const std::string& bytes) {
    return fromGeneralizedUtf8(bytes);
}

std::wstring fromUtf8(const std::string& bytes) {
    if (bytes.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring text(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), text.data(), n);
    return text;
}

std::wstring storedNameFromUtf8(const std::string& bytes, std::wstring& lost) {
    lost.clear();
    std::wstring name = fromUtf8(bytes);
    if (bytes.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                             int(bytes.size()), nullptr, 0) > 0)
        return name;
    // Some bytes became U+FFFD. At each place the shortest run of up to four bytes that converts
    // strictly is one character; a byte that starts none is shown as its value.
    for (size_t at = 0; at < bytes.size();) {
        wchar_t units[2];
        int n = 0;
        size_t length = 1;
        for (; length <= 4 && at + length <= bytes.size(); ++length) {
            n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + at, int(length),
                                    units, 2);
            if (n > 0) break;
        }
        if (n > 0) {
            lost.append(units, size_t(n));
            at += length;
        } else {
            lost += formatWide(L"\\x%02X", unsigned(uint8_t(bytes[at])));
            ++at;
        }
    }
    return name;
}

std::wstring systemErrorText() {
    // The C runtime's own failures (a short fwrite) set errno; the system's calls set the last
    // error, which the runtime also leaves behind when a system call failed under it.
    const DWORD code = GetLastError();
    const int error = errno;
    std::wstring text;
    if (code != 0) {
        wchar_t* message = nullptr;
        const DWORD n =
            FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
        if (n > 0 && message != nullptr) text.assign(message, n);
        if (message != nullptr) LocalFree(message);
    }
    if (text.empty()) text = _wcserror(error);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

bool failureMeansMissing() {
    const DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

std::wstring storableName(const std::wstring& name) {
    return windowsName(name);
}

std::wstring pathKey(const std::wstring& path) {
    std::wstring key = path;
    if (!key.empty()) CharUpperBuffW(key.data(), DWORD(key.size()));
    for (wchar_t& c : key)
        if (c == L'/') c = L'\\';
    return key;
}

} // namespace qzn
