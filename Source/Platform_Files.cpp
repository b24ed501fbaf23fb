// POSIX stand-ins for the file-system calls the archiver makes.
#include "Platform.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qzn {

namespace {
bool statPath(const std::wstring& path, struct stat& st) {
    return ::stat(toUtf8(path).c_str(), &st) == 0;
}

// Writes all of [data, data + size) to fd, riding out short writes and interrupts.
bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}
} // namespace

FILE* openFile(const std::wstring& path, const char* mode) {
    return std::fopen(toUtf8(path).c_str(), mode);
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

std::vector<FolderItem> listFolder(const std::wstring& path) {
    std::vector<FolderItem> items;
    std::string base = toUtf8(path);
    DIR* dir = ::opendir(base.c_str());
    if (!dir) return items;
    int dirFd = ::dirfd(dir);
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        EntryKind kind = EntryKind::Other;
        FileId id;
        if (::fstatat(dirFd, entry->d_name, &st, 0) == 0) {
            if (S_ISDIR(st.st_mode))
                kind = EntryKind::Directory;
            else if (S_ISREG(st.st_mode))
                kind = EntryKind::File;
            id = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
        }
        items.push_back({fromUtf8(name), kind, id});
    }
    ::closedir(dir);
    return items;
}

bool fileId(const std::wstring& path, FileId& id) {
    struct stat st;
    if (!statPath(path, st)) return false;
    id.device = uint64_t(st.st_dev);
    id.inode = uint64_t(st.st_ino);
    return true;
}

bool createDirectory(const std::wstring& path) {
    return ::mkdir(toUtf8(path).c_str(), 0777) == 0;
}

bool copyFileReplacing(const std::wstring& from, const std::wstring& to) {
    int in = ::open(toUtf8(from).c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    int out = ::open(toUtf8(to).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) {
        ::close(in);
        return false;
    }
    static thread_local char buffer[1 << 18];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) break;
        if (!writeAll(out, buffer, size_t(n))) {
            ok = false;
            break;
        }
    }
    ::close(in);
    if (::close(out) != 0) ok = false;
    return ok;
}

bool querySize(const std::wstring& path, uint64_t& size) {
    int fd = ::open(toUtf8(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
    if (ok) size = uint64_t(st.st_size);
    ::close(fd);
    return ok;
}

} // namespace qzn
