// Files and folders on Windows by path, through kernel32 and the runtime's wide-path streams:
// long paths, opening, kinds, listings and identities, reading an input file, and standard input
// and output as byte streams.
#include "Platform.h"
#include "Platform_Win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <utility>

namespace qzn {

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

std::wstring nativePath(const std::wstring& path) {
    if (path.empty() || path.compare(0, 4, L"\\\\?\\") == 0) return path;
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0 || n < 248) return path;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
    if (n == 0 || n >= full.size()) return path;
    full.resize(n);
    if (full.compare(0, 4, L"\\\\.\\") == 0) return path; // a device path stays as it is
    if (full.size() >= 2 && isSeparator(full[0]) && isSeparator(full[1]))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

DWORD attributesOf(const std::wstring& path) {
    return GetFileAttributesW(nativePath(path).c_str());
}

FILE* openFile(const std::wstring& path, const char* mode) {
    const std::string m = mode;
    if (m == "rb" || m == "wb") {
        // Shared for deletion as well, so that a file left unfinished can be removed while open.
        const bool write = m == "wb";
        HANDLE handle =
            CreateFileW(nativePath(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return nullptr;
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                 (write ? _O_WRONLY : _O_RDONLY) | _O_BINARY);
        if (fd < 0) {
            CloseHandle(handle);
            return nullptr;
        }
        FILE* file = _fdopen(fd, mode);
        if (!file) _close(fd);
        return file;
    }
    std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(nativePath(path).c_str(), wideMode.c_str());
}

int64_t filePosition(FILE* file) {
    return _ftelli64(file);
}

bool seekFile(FILE* file, int64_t offset, int whence) {
    return _fseeki64(file, offset, whence) == 0;
}

bool isRegularFile(const std::wstring& path) {
    DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isDirectory(const std::wstring& path) {
    DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool pathExists(const std::wstring& path) {
    return attributesOf(path) != INVALID_FILE_ATTRIBUTES;
}

bool listFolder(const std::wstring& path, std::vector<FolderItem>& items) {
    items.clear();
    std::wstring pattern = path;
    if (!pattern.empty() && !isSeparator(pattern.back())) pattern += L'\\';
    pattern += L"*.*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(nativePath(pattern).c_str(), &found);
    // A drive root without entries has not even "." to return.
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const DWORD attributes = found.dwFileAttributes;
        EntryKind kind =
            (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Directory : EntryKind::File;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            // A link or junction: one to a folder is never entered; one whose target is gone is
            // neither a file nor a folder.
            const std::wstring target = path + L"\\" + name;
            if (kind == EntryKind::Directory)
                kind = EntryKind::FolderLink;
            else if (attributesOf(target) == INVALID_FILE_ATTRIBUTES)
                kind = EntryKind::Other;
        }
        items.push_back({std::move(name), kind});
    } while (FindNextFileW(search, &found));
    // A listing cut short by an error is not the whole folder.
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    if (!complete) items.clear();
    return complete;
}

bool isDevice(const std::wstring& path) {
    // NUL, CON or COM1 anywhere, a named pipe: no access right is needed to ask what it is.
    HANDLE handle = CreateFileW(nativePath(path).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
}

bool fileId(const std::wstring& path, FileId& id) {
    // Backup semantics let CreateFileW open a folder; no access right is needed for its identity.
    HANDLE handle = CreateFileW(nativePath(path).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    if (!ok) return false;
    id.device = info.dwVolumeSerialNumber;
    id.inode = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

namespace {
// The folder of a path as typed ("." for a bare name, "C:" for a name on that drive's folder) and
// its last name.
std::pair<std::wstring, std::wstring> splitLast(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"\\/:");
    if (cut == std::wstring::npos) return {L".", path};
    const bool keep = path[cut] == L':' || cut == 0 || (cut == 2 && path[1] == L':');
    return {path.substr(0, keep ? cut + 1 : cut), path.substr(cut + 1)};
}
} // namespace

bool sameEntry(const std::wstring& a, const std::wstring& b) {
    const auto [folderA, nameA] = splitLast(a);
    const auto [folderB, nameB] = splitLast(b);
    FileId idA, idB;
    return pathKey(nameA) == pathKey(nameB) && fileId(folderA, idA) && fileId(folderB, idB) &&
           idA == idB;
}

bool InputFile::open(const std::wstring& path, uint64_t* size) {
    close();
    wrongKind_ = false;
    // Shared for writing too: the archive being written must open, so that its identity leaves it
    // out of its own input; a file that changes meanwhile is caught by its CRC-32.
    HANDLE handle = CreateFileW(nativePath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    // A device or pipe reached by the name (NUL, CON) has no contents to store and may never end.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        wrongKind_ = true;
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    if (size) {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(handle, &info)) {
            CloseHandle(handle);
            return false;
        }
        *size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        identity_ = {info.dwVolumeSerialNumber,
                     (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    }
    handle_ = reinterpret_cast<intptr_t>(handle);
    return true;
}

int64_t InputFile::read(uint8_t* buffer, size_t wanted, size_t enough) {
    size_t got = 0;
    while (got < wanted && (got < enough || got == 0)) {
        const size_t left = wanted - got;
        const DWORD part = DWORD(left < (size_t(1) << 30) ? left : size_t(1) << 30);
        DWORD n = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer + got, part, &n, nullptr))
            return -1;
        if (n == 0) break;
        got += n;
    }
    return int64_t(got);
}

void InputFile::close() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
}

// Joined as the system reads it: after "C:" the name is relative to that drive's folder.
std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty()) return name;
    return isSeparator(folder.back()) || folder.back() == L':' ? folder + name
                                                               : folder + L'\\' + name;
}

bool fileId(FILE* file, FileId& id) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return false;
    id = {info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    return true;
}

namespace {
// The handle behind a standard stream, its runtime descriptor switched to binary first: whatever
// goes through the runtime there is not translated either.
HANDLE binaryStandardHandle(int descriptor, DWORD which) {
    _setmode(descriptor, _O_BINARY);
    return GetStdHandle(which);
}

// The most one ReadFile or WriteFile call is given.
constexpr size_t kLargestTransfer = size_t(1) << 30;
} // namespace

FILE* openScratchFile() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH) return nullptr;
    const std::wstring path = joinPath(std::wstring(folder, n), temporaryName(L"qzn-scratch"));
    // Shared with nobody, and deleted by the system with its last handle, also when the process
    // is ended.
    HANDLE handle =
        CreateFileW(nativePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(fd, "w+b");
    if (!file) _close(fd);
    return file;
}

// The handles themselves, read and written with ReadFile and WriteFile: no newline translation,
// no code page, the same bytes as through a file.
int64_t readStandardInput(uint8_t* data, size_t size) {
    static const HANDLE input = binaryStandardHandle(0, STD_INPUT_HANDLE);
    DWORD got = 0;
    if (ReadFile(input, data, DWORD(size < kLargestTransfer ? size : kLargestTransfer), &got,
                 nullptr))
        return int64_t(got);
    // A pipe whose writer has closed its end: the data has ended.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

bool writeStandardOutput(const uint8_t* data, size_t size, bool& readerGone) {
    static const HANDLE output = binaryStandardHandle(1, STD_OUTPUT_HANDLE);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(output, data, DWORD(size < kLargestTransfer ? size : kLargestTransfer),
                       &written, nullptr)) {
            const DWORD error = GetLastError();
            // Each of these says the reading end has closed, depending on the kind of pipe.
            readerGone = error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ||
                         error == ERROR_PIPE_NOT_CONNECTED;
            SetLastError(error);
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// A console; the NUL device, also a character device, takes data as /dev/null does.
bool standardOutputIsTerminal() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return output != INVALID_HANDLE_VALUE && output != nullptr && GetConsoleMode(output, &mode);
}

} // namespace qzn
