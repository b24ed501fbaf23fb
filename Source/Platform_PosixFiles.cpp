// Files and folders on POSIX by path: paths of any length, opening, kinds, listings and
// identities, reading an input file, and standard input and output as byte streams.
#include "Platform.h"
#include "Platform_Posix.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace qzn {

namespace {

// Paths below this length go to the system as they are; longer ones are walked (PATH_MAX is
// 4096 on Linux, counting the closing zero).
constexpr size_t kDirectPathBytes = 4000;

} // namespace

bool locate(const std::wstring& path, Located& at) {
    std::string bytes = toUtf8(path);
    if (bytes.size() < kDirectPathBytes) {
        at.rest = std::move(bytes);
        return true;
    }
    size_t begin = 0;
    while (bytes.size() - begin >= kDirectPathBytes) {
        // The piece ends at the last separator that keeps it short enough.
        size_t cut = bytes.rfind('/', begin + kDirectPathBytes - 1);
        if (cut == std::string::npos || cut < begin) {
            errno = ENAMETOOLONG;
            return false;
        }
        const std::string piece = bytes.substr(begin, cut - begin);
        const char* name = !piece.empty() ? piece.c_str() : begin == 0 ? "/" : ".";
        int next = ::openat(at.dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (next < 0) return false;
        if (at.dir >= 0) ::close(at.dir);
        at.dir = next;
        begin = cut + 1;
    }
    at.rest = bytes.substr(begin);
    if (at.rest.empty()) at.rest.push_back('.');
    return true;
}

bool statPath(const std::wstring& path, struct stat& st) {
    Located at;
    return locate(path, at) && ::fstatat(at.dir, at.rest.c_str(), &st, 0) == 0;
}

int openPath(const std::wstring& path, int flags, mode_t mode) {
    Located at;
    if (!locate(path, at)) return -1;
    return ::openat(at.dir, at.rest.c_str(), flags | O_CLOEXEC, mode);
}

FILE* openFile(const std::wstring& path, const char* mode) {
    const std::string m = mode;
    int flags = 0;
    if (m == "rb" || m == "r")
        flags = O_RDONLY;
    else if (m == "wb" || m == "w")
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    else
        return std::fopen(toUtf8(path).c_str(), mode);
    int fd = openPath(path, flags, 0666);
    if (fd < 0) return nullptr;
    FILE* file = ::fdopen(fd, mode);
    if (!file) ::close(fd);
    return file;
}

int64_t filePosition(FILE* file) {
    return int64_t(ftello(file));
}

bool seekFile(FILE* file, int64_t offset, int whence) {
    return fseeko(file, off_t(offset), whence) == 0;
}

bool isRegularFile(const std::wstring& path) {
    struct stat st;
    return statPath(path, st) &&
           S_ISREG(st.st_mode); // never a FIFO or device: reading it could hang
}

bool isDirectory(const std::wstring& path) {
    struct stat st;
    return statPath(path, st) && S_ISDIR(st.st_mode);
}

bool pathExists(const std::wstring& path) {
    Located at;
    struct stat st;
    return locate(path, at) && ::fstatat(at.dir, at.rest.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool isDevice(const std::wstring& path) {
    struct stat st;
    return statPath(path, st) && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

EntryKind listedEntryKind(int folder, const char* name, unsigned char type) {
    // The entry type usually comes with the listing; only links and file systems that do not
    // report types need a look at the entry itself, which must not follow a link.
    struct stat st;
    if (type == DT_UNKNOWN && ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        type = S_ISLNK(st.st_mode)   ? DT_LNK
               : S_ISDIR(st.st_mode) ? DT_DIR
               : S_ISREG(st.st_mode) ? DT_REG
                                     : DT_UNKNOWN;
    if (type == DT_DIR) return EntryKind::Directory;
    if (type == DT_REG) return EntryKind::File;
    if (type == DT_LNK && ::fstatat(folder, name, &st, 0) == 0) {
        if (S_ISDIR(st.st_mode)) return EntryKind::FolderLink;
        if (S_ISREG(st.st_mode)) return EntryKind::File;
    }
    return EntryKind::Other;
}

bool listFolder(const std::wstring& path, std::vector<FolderItem>& items) {
    items.clear();
    int fd = openPath(path, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        items.push_back({fromUtf8(name), listedEntryKind(fd, name, entry->d_type)});
        errno = 0;
    }
    // A listing cut short by an error is not the whole folder; its reason is kept for the caller.
    const int error = errno;
    ::closedir(dir);
    if (error != 0) items.clear();
    errno = error;
    return error == 0;
}

bool fileId(const std::wstring& path, FileId& id) {
    struct stat st;
    if (!statPath(path, st)) return false;
    id.device = uint64_t(st.st_dev);
    id.inode = uint64_t(st.st_ino);
    return true;
}

namespace {
// The folder of a path as typed ("." for a bare name) and its last name.
std::pair<std::wstring, std::wstring> splitLast(const std::wstring& path) {
    const size_t slash = path.rfind(L'/');
    if (slash == std::wstring::npos) return {L".", path};
    return {slash == 0 ? L"/" : path.substr(0, slash), path.substr(slash + 1)};
}
} // namespace

bool sameEntry(const std::wstring& a, const std::wstring& b) {
    const auto [folderA, nameA] = splitLast(a);
    const auto [folderB, nameB] = splitLast(b);
    FileId idA, idB;
    return nameA == nameB && fileId(folderA, idA) && fileId(folderB, idB) && idA == idB;
}

bool InputFile::open(const std::wstring& path, uint64_t* size) {
    close();
    wrongKind_ = false;
    // Not blocking: a FIFO put where a file was must not make the open wait for a writer. What
    // was opened is looked at through the descriptor itself, so nothing can be swapped in between.
    int fd = openPath(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    const bool known = ::fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        const int error = errno;
        wrongKind_ = known;
        ::close(fd);
        errno = error;
        return false;
    }
    // Reads of a regular file never wait anyway; the flag goes, as a file is read in full.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (size) {
        *size = uint64_t(st.st_size);
        identity_ = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    }
    handle_ = fd;
    return true;
}

int64_t InputFile::read(uint8_t* buffer, size_t wanted, size_t enough) {
    size_t got = 0;
    while (got < wanted && (got < enough || got == 0)) {
        ssize_t n = ::read(int(handle_), buffer + got, wanted - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    return int64_t(got);
}

void InputFile::close() {
    if (handle_ != -1) ::close(int(handle_));
    handle_ = -1;
}

std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
    return folder.empty() ? name : folder + L"/" + name;
}

bool fileId(FILE* file, FileId& id) {
    struct stat st;
    if (::fstat(::fileno(file), &st) != 0) return false;
    id = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return true;
}

FILE* openScratchFile() {
    const char* folder = std::getenv("TMPDIR");
    std::string name = std::string(folder && *folder ? folder : "/tmp") + "/qzn-scratch-XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
    // Nameless from here on: the system removes it with the last descriptor.
    ::unlink(name.c_str());
    FILE* file = ::fdopen(fd, "w+b");
    if (!file) ::close(fd);
    return file;
}

int64_t readStandardInput(uint8_t* data, size_t size) {
    for (;;) {
        const ssize_t n = ::read(0, data, size);
        if (n >= 0) return int64_t(n);
        if (errno != EINTR) return -1;
    }
}

bool writeStandardOutput(const uint8_t* data, size_t size, bool& readerGone) {
    while (size > 0) {
        const ssize_t n = ::write(1, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            // Only when SIGPIPE is ignored; otherwise the signal has ended the run already.
            readerGone = errno == EPIPE;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool standardOutputIsTerminal() {
    return ::isatty(1) != 0;
}

} // namespace qzn
