// Files and folders on POSIX, and the output tree through folder descriptors.
#include "Platform.h"
#include "Platform_Internal.h"
#include "Platform_Posix.h"

#include <cerrno>
#include <csignal>
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

// A path as the *at() calls take it: a folder handle and a path relative to it.
struct Located {
    int dir = AT_FDCWD;
    std::string rest;
    Located() = default;
    Located(const Located&) = delete;
    Located& operator=(const Located&) = delete;
    ~Located() {
        if (dir >= 0) ::close(dir);
    }
};

// Splits a long path into pieces that each fit, opening the folder of each piece relative to
// the previous one; the last piece, holding the final name, stays in `rest`. Short paths pass
// through untouched.
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

int openPath(const std::wstring& path, int flags, mode_t mode = 0) {
    Located at;
    if (!locate(path, at)) return -1;
    return ::openat(at.dir, at.rest.c_str(), flags | O_CLOEXEC, mode);
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

bool InputFile::open(const std::wstring& path, uint64_t* size) {
    close();
    int fd = openPath(path, O_RDONLY);
    if (fd < 0) return false;
    if (size) {
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            return false;
        }
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

namespace {

// The signals that end a run wait while held: a file made meanwhile is registered for removal
// before one of them can end the run without removing it.
class InterruptsHeld {
  public:
    InterruptsHeld() {
        sigset_t interrupts;
        sigemptyset(&interrupts);
        sigaddset(&interrupts, SIGINT);
        sigaddset(&interrupts, SIGTERM);
        sigaddset(&interrupts, SIGHUP);
        sigaddset(&interrupts, SIGQUIT);
        sigaddset(&interrupts, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &interrupts, &previous_);
    }
    ~InterruptsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

  private:
    sigset_t previous_;
};

constexpr int kNewFile = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

// Makes a file under a fresh temporary name beside `name` in the folder `dir`, exclusively and
// never through a link, and hands the name to `enroll` (which registers it) before an interrupt
// can come. A name taken already is passed over for the next. The descriptor, or -1.
template <class Enroll>
int makeTemporary(int dir, const std::wstring& name, std::wstring& made, Enroll enroll) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        made = temporaryName(name);
        const std::string bytes = toUtf8(made);
        InterruptsHeld held;
        const int fd = ::openat(dir, bytes.c_str(), kNewFile, 0666);
        if (fd >= 0) {
            enroll(bytes);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// A descriptor of its own for a folder, so that what is registered in it outlives the holder.
int ownFolder(intptr_t folder) {
    return ::fcntl(int(folder), F_DUPFD_CLOEXEC, 0);
}

} // namespace

bool fileId(FILE* file, FileId& id) {
    struct stat st;
    if (::fstat(::fileno(file), &st) != 0) return false;
    id = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return true;
}

bool InputFile::openIn(const OutputFolder& folder, const std::wstring& name) {
    close();
    const int fd =
        ::openat(int(folder.handle_), toUtf8(name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    handle_ = fd;
    return true;
}

std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
    return folder.empty() ? name : folder + L"/" + name;
}

bool OutputFolder::open(const std::wstring& path, bool create) {
    close();
    const std::wstring folder = path.empty() ? L"." : path;
    int fd = openPath(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0 && errno == ENOENT && create) {
        Located at;
        if (!locate(folder, at) ||
            (::mkdirat(at.dir, at.rest.c_str(), 0777) != 0 && errno != EEXIST))
            return false;
        fd = openPath(folder, O_RDONLY | O_DIRECTORY);
    }
    handle_ = fd;
    return fd >= 0;
}

bool OutputFolder::openParentOf(const std::wstring& path, std::wstring& name) {
    std::wstring target = path;
    struct stat st;
    Located at;
    if (locate(path, at) && ::fstatat(at.dir, at.rest.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
        // A link that leads nowhere has no file behind it: it is replaced as it is.
        if (char* real = ::realpath(toUtf8(path).c_str(), nullptr)) {
            target = fromUtf8(real);
            std::free(real);
        }
    }
    const size_t cut = target.rfind(L'/') + 1; // 0 without a '/'
    name = target.substr(cut);
    return open(target.substr(0, cut), false);
}

OutputFolder::Opened OutputFolder::openChild(const OutputFolder& parent, const std::wstring& name) {
    close();
    const int dir = int(parent.handle_);
    const std::string bytes = toUtf8(name);
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(dir, bytes.c_str(), flags);
    if (fd < 0 && errno == ENOENT && (::mkdirat(dir, bytes.c_str(), 0777) == 0 || errno == EEXIST))
        fd = ::openat(dir, bytes.c_str(), flags);
    if (fd >= 0) {
        handle_ = fd;
        return Opened::Yes;
    }
    // The refused open says ELOOP or ENOTDIR for a link, depending on the system, and ENOTDIR
    // for a file in the way: look.
    const int error = errno;
    struct stat st;
    if (::fstatat(dir, bytes.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
        return S_ISLNK(st.st_mode) ? Opened::Link : Opened::NotFolder;
    errno = error;
    return Opened::Failed;
}

OutputEntry OutputFolder::inspect(const std::wstring& name) const {
    OutputEntry entry;
    const std::string bytes = toUtf8(name);
    struct stat st;
    if (::fstatat(int(handle_), bytes.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // What cannot be looked at is still in the way.
        if (errno != ENOENT) entry.kind = OutputKind::File;
        return entry;
    }
    entry.kind = S_ISLNK(st.st_mode)   ? OutputKind::Link
                 : S_ISDIR(st.st_mode) ? OutputKind::Folder
                 : S_ISREG(st.st_mode) ? OutputKind::File
                                       : OutputKind::Other;
    if (entry.kind == OutputKind::Link && ::fstatat(int(handle_), bytes.c_str(), &st, 0) != 0)
        return entry;
    entry.reaches = true;
    entry.id = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return entry;
}

void OutputFolder::close() {
    if (handle_ != -1) ::close(int(handle_));
    handle_ = -1;
}

size_t heldFolderLevels() {
    return 32;
}

OutputFile::Created OutputFile::create(const OutputFolder& folder, const std::wstring& name) {
    discard();
    const int dir = ownFolder(folder.handle_);
    if (dir < 0) return Created::Failed;
    const std::string bytes = toUtf8(name);
    int fd = -1;
    {
        InterruptsHeld held;
        fd = ::openat(dir, bytes.c_str(), kNewFile, 0666);
        if (fd >= 0) slot_ = registerCleanupIn(dir, bytes);
    }
    if (fd < 0) {
        const int error = errno;
        ::close(dir);
        errno = error;
        return error == EEXIST ? Created::Exists : Created::Failed;
    }
    handle_ = fd;
    folder_ = dir;
    state_ = State::New;
    name_ = made_ = name;
    return Created::Yes;
}

bool OutputFile::createReplacement(const OutputFolder& folder, const std::wstring& name) {
    discard();
    const int dir = ownFolder(folder.handle_);
    if (dir < 0) return false;
    const int fd = makeTemporary(
        dir, name, made_, [&](const std::string& bytes) { slot_ = registerCleanupIn(dir, bytes); });
    if (fd < 0) {
        const int error = errno;
        ::close(dir);
        errno = error;
        return false;
    }
    // The file it replaces lends it its permissions, as writing into that file would have kept
    // them; never set-user or set-group bits, which would now apply to other contents.
    struct stat old;
    if (::fstatat(dir, toUtf8(name).c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(old.st_mode))
        (void)::fchmod(fd, old.st_mode & 0777);
    handle_ = fd;
    folder_ = dir;
    state_ = State::Replacement;
    name_ = name;
    return true;
}

bool OutputFile::openInPlace(const OutputFolder& folder, const std::wstring& name) {
    discard();
    const int fd =
        ::openat(int(folder.handle_), toUtf8(name).c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    handle_ = fd;
    state_ = State::InPlace;
    name_ = made_ = name;
    return true;
}

bool OutputFile::openInPlace(const std::wstring& path) {
    discard();
    const int fd = openPath(path, O_WRONLY);
    if (fd < 0) return false;
    handle_ = fd;
    state_ = State::InPlace;
    name_ = made_ = path;
    return true;
}

bool OutputFile::write(const uint8_t* data, size_t size) {
    return writeAll(int(handle_), reinterpret_cast<const char*>(data), size);
}

bool OutputFile::close() {
    if (handle_ == -1) return true;
    const int fd = int(std::exchange(handle_, -1));
    // An interrupted close has closed the descriptor all the same (Linux).
    return ::close(fd) == 0 || errno == EINTR;
}

bool OutputFile::commit() {
    if (state_ == State::Replacement &&
        ::renameat(int(folder_), toUtf8(made_).c_str(), int(folder_), toUtf8(name_).c_str()) != 0)
        return false;
    forget();
    return true;
}

void OutputFile::discard() {
    if (handle_ != -1) ::close(int(std::exchange(handle_, -1)));
    if (state_ == State::New || state_ == State::Replacement)
        ::unlinkat(int(folder_), toUtf8(made_).c_str(), 0);
    forget();
}

void OutputFile::forget() {
    unregisterCleanup(slot_);
    slot_ = -1;
    // Only after the slot is free: the registry names the file through this descriptor.
    if (folder_ != -1) ::close(int(std::exchange(folder_, -1)));
    state_ = State::None;
}

FILE* createTemporaryFile(const std::wstring& target, std::wstring& path, int& slot) {
    slot = -1;
    // A replaced archive keeps its permissions.
    struct stat existing;
    const bool keepMode = statPath(target, existing) && S_ISREG(existing.st_mode);
    const size_t cut = target.rfind(L'/') + 1; // 0 without a '/'
    const std::wstring folder = target.substr(0, cut);
    const int dir = openPath(folder.empty() ? L"." : folder, O_RDONLY | O_DIRECTORY);
    if (dir < 0) return nullptr;
    std::wstring made;
    const int fd = makeTemporary(dir, target.substr(cut), made, [&](const std::string&) {
        path = folder + made;
        slot = registerCleanup(path);
    });
    ::close(dir);
    if (fd < 0) return nullptr;
    if (keepMode) (void)::fchmod(fd, existing.st_mode & 07777);
    FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        ::close(fd);
        removeFile(path);
        unregisterCleanup(slot);
        slot = -1;
    }
    return file;
}

bool syncFile(FILE* file) {
    if (std::fflush(file) != 0) return false;
    // Pipes and devices cannot be synced; there is nothing on a disk to wait for then.
    return ::fsync(::fileno(file)) == 0 || errno == EINVAL || errno == EROFS;
}

bool replaceFile(const std::wstring& from, const std::wstring& to) {
    const std::string target = toUtf8(to);
    if (::rename(toUtf8(from).c_str(), target.c_str()) != 0) return false;
    // The new name reaches the disk with its folder; a folder that cannot be synced is no error.
    const size_t slash = target.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string(".") : target.substr(0, slash ? slash : 1);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
    return true;
}

bool removeFile(const std::wstring& path) {
    // Only what a run can have created: an output named /dev/null or a FIFO must survive a
    // failed unpack.
    const std::string bytes = toUtf8(path);
    struct stat info;
    if (::lstat(bytes.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    return ::unlink(bytes.c_str()) == 0;
}

} // namespace qzn
