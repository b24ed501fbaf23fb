// The output tree on Windows: folders held open by handle so that none can be swapped for a
// junction, files made there without following a link; temporary files, replacement, flush and
// removal.
#include "Platform.h"
#include "Platform_Win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <utility>

namespace qzn {

bool handleId(HANDLE handle, FileId& id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return false;
    id = {info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    return true;
}

bool removeRegularFile(const wchar_t* systemPath, const FileId* id) {
    // Without backup semantics a folder does not open; a link opens as itself.
    HANDLE handle = CreateFileW(systemPath, DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD notRegular =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    const bool regular =
        GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
        !(info.dwFileAttributes & notRegular) &&
        (!id || (info.dwVolumeSerialNumber == id->device &&
                 ((uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow) == id->inode));
    FILE_DISPOSITION_INFO disposition{TRUE};
    const bool removed = regular && SetFileInformationByHandle(handle, FileDispositionInfo,
                                                               &disposition, sizeof disposition);
    CloseHandle(handle);
    return removed;
}

namespace {

// The folder part of a path: up to its last separator, or its drive ("C:").
size_t folderLength(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"\\/");
    if (cut != std::wstring::npos) return cut + 1;
    return path.size() >= 2 && path[1] == L':' ? 2 : 0;
}

// A folder handle that holds the folder in place: with data access and no FILE_SHARE_DELETE,
// nobody can rename or delete it, and so swap it for a junction, while the handle is open.
// Renames inside it stay possible.
HANDLE openFolderHandle(const std::wstring& path, bool follow) {
    return CreateFileW(
        nativePath(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

DWORD handleAttributes(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(handle, &info) ? info.dwFileAttributes
                                                     : INVALID_FILE_ATTRIBUTES;
}

// A link, junction or other reparse point at `path`, which `handle` was opened on without
// following it. Some systems (Wine) follow a POSIX link all the same and show it only by its
// path: that is looked at too.
bool isReparsePoint(DWORD handleAttributes, const std::wstring& path) {
    const DWORD byPath = attributesOf(path);
    return (handleAttributes != INVALID_FILE_ATTRIBUTES &&
            (handleAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) ||
           (byPath != INVALID_FILE_ATTRIBUTES && (byPath & FILE_ATTRIBUTE_REPARSE_POINT));
}

HANDLE createNew(const std::wstring& path) {
    // Shared for deletion, so that a file left unfinished can be removed while open; a link in
    // its place is something that exists, never followed.
    return CreateFileW(nativePath(path).c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool alreadyExists() {
    return GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS;
}

// What a failed creation in a folder says: the folder may not be written into, or the name is
// one its file system cannot hold (too long). The folder is held open, so that "not found" can
// only be said of the name (Wine says so of one that is too long).
OutputFile::Created creationFailure(DWORD error) {
    if (error == ERROR_ACCESS_DENIED) return OutputFile::Created::Denied;
    if (error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_INVALID_NAME ||
        error == ERROR_BAD_PATHNAME || error == ERROR_FILE_NOT_FOUND ||
        error == ERROR_PATH_NOT_FOUND)
        return OutputFile::Created::BadName;
    return OutputFile::Created::Failed;
}

// Makes a file under a fresh temporary name beside `name` in `folder`, exclusively; a name taken
// already is passed over for the next. Its path goes to `path`.
HANDLE makeTemporary(const std::wstring& folder, const std::wstring& name, std::wstring& path) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        path = joinPath(folder, temporaryName(name));
        HANDLE handle = createNew(path);
        if (handle != INVALID_HANDLE_VALUE || !alreadyExists()) return handle;
    }
    return INVALID_HANDLE_VALUE;
}

} // namespace

bool InputFile::openIn(const OutputFolder& folder, const std::wstring& name) {
    close();
    const std::wstring path = joinPath(folder.path_, name);
    HANDLE handle = CreateFileW(nativePath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    // A regular file only: never a device or a pipe, a folder or a link.
    const DWORD attributes = handleAttributes(handle);
    if (GetFileType(handle) != FILE_TYPE_DISK || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) || isReparsePoint(attributes, path) ||
        !handleId(handle, identity_)) {
        CloseHandle(handle);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(handle);
    return true;
}

bool OutputFolder::open(const std::wstring& path, bool create) {
    close();
    const std::wstring folder = path.empty() ? L"." : path;
    HANDLE handle = openFolderHandle(folder, true);
    if (handle == INVALID_HANDLE_VALUE && create && GetLastError() == ERROR_FILE_NOT_FOUND) {
        if (!CreateDirectoryW(nativePath(folder).c_str(), nullptr) && !alreadyExists())
            return false;
        handle = openFolderHandle(folder, true);
    }
    if (handle == INVALID_HANDLE_VALUE) return false;
    const DWORD attributes = handleAttributes(handle);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(handle);
    // Its entries are opened by path below the path as typed: a device name stays a device.
    path_ = path;
    return true;
}

bool OutputFolder::openParentOf(const std::wstring& path, std::wstring& name) {
    std::wstring target = path;
    const DWORD attributes = attributesOf(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // Followed to what it leads to; a link that leads nowhere is replaced as it is.
        HANDLE handle = CreateFileW(nativePath(path).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            std::wstring resolved(32768, L'\0');
            const DWORD n = GetFinalPathNameByHandleW(handle, resolved.data(),
                                                      DWORD(resolved.size()), FILE_NAME_NORMALIZED);
            if (n > 0 && n < resolved.size()) target = resolved.substr(0, n);
            CloseHandle(handle);
        }
    }
    const size_t cut = folderLength(target);
    name = target.substr(cut);
    return open(target.substr(0, cut), false);
}

OutputFolder::Opened OutputFolder::openChild(const OutputFolder& parent, const std::wstring& name) {
    close();
    const std::wstring path = joinPath(parent.path_, name);
    HANDLE handle = openFolderHandle(path, false);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND &&
        (CreateDirectoryW(nativePath(path).c_str(), nullptr) || alreadyExists()))
        handle = openFolderHandle(path, false);
    if (handle == INVALID_HANDLE_VALUE) {
        switch (creationFailure(GetLastError())) {
        case OutputFile::Created::Denied:
            return Opened::Denied;
        case OutputFile::Created::BadName:
            return Opened::BadName;
        default:
            return Opened::Failed;
        }
    }
    const DWORD attributes = handleAttributes(handle);
    if (isReparsePoint(attributes, path)) {
        CloseHandle(handle);
        return Opened::Link;
    }
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        SetLastError(ERROR_DIRECTORY);
        return attributes == INVALID_FILE_ATTRIBUTES ? Opened::Failed : Opened::NotFolder;
    }
    handle_ = reinterpret_cast<intptr_t>(handle);
    path_ = path;
    return Opened::Yes;
}

OutputEntry OutputFolder::inspect(const std::wstring& name) const {
    OutputEntry entry;
    const std::wstring path = joinPath(path_, name);
    HANDLE handle =
        CreateFileW(nativePath(path).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // What cannot be looked at is still in the way.
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            entry.kind = OutputKind::File;
        return entry;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    const DWORD attributes = known ? info.dwFileAttributes : 0;
    entry.kind = isReparsePoint(attributes, path)          ? OutputKind::Link
                 : (attributes & FILE_ATTRIBUTE_DIRECTORY) ? OutputKind::Folder
                 : type == FILE_TYPE_DISK                  ? OutputKind::File
                 : type == FILE_TYPE_PIPE                  ? OutputKind::Fifo
                 : type == FILE_TYPE_CHAR                  ? OutputKind::Device
                                                           : OutputKind::Other;
    if (entry.kind == OutputKind::Link) {
        entry.reaches = fileId(path, entry.id);
    } else if (known) {
        entry.reaches = true;
        entry.id = {info.dwVolumeSerialNumber,
                    (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    }
    return entry;
}

void OutputFolder::close() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
}

size_t heldFolderLevels() {
    return SIZE_MAX;
}

OutputFile::Created OutputFile::create(const OutputFolder& folder, const std::wstring& name) {
    discard();
    const std::wstring path = joinPath(folder.path_, name);
    HANDLE handle = createNew(path);
    if (handle == INVALID_HANDLE_VALUE)
        return alreadyExists() ? Created::Exists : creationFailure(GetLastError());
    handle_ = reinterpret_cast<intptr_t>(handle);
    id_ = {};
    slot_ = registerCleanup(path, handleId(handle, id_) ? &id_ : nullptr);
    state_ = State::New;
    name_ = made_ = path;
    return Created::Yes;
}

OutputFile::Created OutputFile::createReplacement(const OutputFolder& folder,
                                                  const std::wstring& name) {
    discard();
    HANDLE handle = makeTemporary(folder.path_, name, made_);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_ACCESS_DENIED ? Created::Denied : Created::Failed;
    handle_ = reinterpret_cast<intptr_t>(handle);
    id_ = {};
    slot_ = registerCleanup(made_, handleId(handle, id_) ? &id_ : nullptr);
    state_ = State::Replacement;
    name_ = joinPath(folder.path_, name);
    return Created::Yes;
}

bool OutputFile::replacing(FileId& id) const {
    if (state_ != State::Replacement) return false;
    HANDLE handle =
        CreateFileW(nativePath(name_).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const DWORD attributes = handleAttributes(handle);
    const bool regular =
        GetFileType(handle) == FILE_TYPE_DISK && attributes != INVALID_FILE_ATTRIBUTES &&
        !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        handleId(handle, id);
    CloseHandle(handle);
    return regular;
}

namespace {
// An existing file opened for writing where it is: a device in its place takes the data.
HANDLE openExisting(const std::wstring& path, DWORD flags) {
    return CreateFileW(nativePath(path).c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}
} // namespace

bool OutputFile::openInPlace(const OutputFolder& folder, const std::wstring& name) {
    discard();
    const std::wstring path = joinPath(folder.path_, name);
    HANDLE handle = openExisting(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE) return false;
    handle_ = reinterpret_cast<intptr_t>(handle);
    state_ = State::InPlace;
    id_ = {};
    name_ = made_ = path;
    return true;
}

bool OutputFile::openInPlace(const std::wstring& path) {
    discard();
    HANDLE handle = openExisting(path, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE) return false;
    handle_ = reinterpret_cast<intptr_t>(handle);
    state_ = State::InPlace;
    id_ = {};
    name_ = made_ = path;
    return true;
}

bool OutputFile::write(const uint8_t* data, size_t size) {
    while (size > 0) {
        const DWORD part = DWORD(size < (size_t(1) << 30) ? size : size_t(1) << 30);
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(handle_), data, part, &written, nullptr) ||
            written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool OutputFile::close() {
    if (handle_ == -1) return true;
    return CloseHandle(reinterpret_cast<HANDLE>(std::exchange(handle_, -1))) != 0;
}

bool OutputFile::commit() {
    if (state_ == State::Replacement &&
        !MoveFileExW(nativePath(made_).c_str(), nativePath(name_).c_str(),
                     MOVEFILE_REPLACE_EXISTING))
        return false;
    forget();
    return true;
}

void OutputFile::discard() {
    close();
    if (state_ == State::New || state_ == State::Replacement)
        removeRegularFile(nativePath(made_).c_str(), &id_);
    forget();
}

void OutputFile::forget() {
    unregisterCleanup(slot_);
    slot_ = -1;
    state_ = State::None;
}

FILE* createTemporaryFile(const std::wstring& target, std::wstring& path, int& slot) {
    slot = -1;
    const size_t cut = folderLength(target);
    HANDLE handle = makeTemporary(target.substr(0, cut), target.substr(cut), path);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    FileId id;
    slot = registerCleanup(path, handleId(handle, id) ? &id : nullptr);
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (!file) {
        if (fd >= 0)
            _close(fd);
        else
            CloseHandle(handle);
        removeFile(path);
        unregisterCleanup(slot);
        slot = -1;
    }
    return file;
}

bool syncFile(FILE* file) {
    if (std::fflush(file) != 0) return false;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    // Pipes and consoles cannot be flushed to a disk; there is nothing to wait for then.
    return FlushFileBuffers(handle) != 0 || GetFileType(handle) != FILE_TYPE_DISK;
}

bool replaceFile(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool removeFile(const std::wstring& path) {
    return removeRegularFile(nativePath(path).c_str());
}

} // namespace qzn
