// The output tree on POSIX: folders and files made through folder descriptors, never through a
// link; temporary files, replacement, sync and removal.
#include "Platform.h"
#include "Platform_Internal.h"
#include "Platform_Posix.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace qzn {

namespace {

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

// The identity of an open file.
CleanupId identityOf(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return {};
    return {true, uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

FileId fileIdOf(const CleanupId& id) {
    return {id.device, id.inode};
}

// What a failed creation in a folder says: the folder may not be written into, or the name is
// one its file system cannot hold (too long, or bytes it refuses).
OutputFile::Created creationFailure(int error) {
    if (error == EACCES || error == EPERM) return OutputFile::Created::Denied;
    if (error == ENAMETOOLONG || error == EILSEQ || error == EINVAL)
        return OutputFile::Created::BadName;
    return OutputFile::Created::Failed;
}

// Makes a file under a fresh temporary name beside `name` in the folder `dir`, exclusively and
// never through a link, and hands the name and the file's identity to `enroll` (which registers
// it) before an interrupt can come. A name taken already is passed over for the next. The
// descriptor, or -1.
template <class Enroll>
int makeTemporary(int dir, const std::wstring& name, std::wstring& made, Enroll enroll) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        made = temporaryName(name);
        const std::string bytes = toUtf8(made);
        InterruptsHeld held;
        const int fd = ::openat(dir, bytes.c_str(), kNewFile, 0666);
        if (fd >= 0) {
            enroll(bytes, identityOf(fd));
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

bool InputFile::openIn(const OutputFolder& folder, const std::wstring& name) {
    close();
    // Looked at before it is opened: opening a device can act on it, and a FIFO would wait for a
    // writer. Whatever is put there in between is seen in the open file, never read, and the
    // open itself does not wait.
    const std::string bytes = toUtf8(name);
    struct stat st;
    if (::fstatat(int(folder.handle_), bytes.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        return false;
    const int fd = ::openat(int(folder.handle_), bytes.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    handle_ = fd;
    identity_ = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return true;
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
    switch (creationFailure(error)) {
    case OutputFile::Created::Denied:
        return Opened::Denied;
    case OutputFile::Created::BadName:
        return Opened::BadName;
    default:
        return Opened::Failed;
    }
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
    entry.kind = S_ISLNK(st.st_mode)                          ? OutputKind::Link
                 : S_ISDIR(st.st_mode)                        ? OutputKind::Folder
                 : S_ISREG(st.st_mode)                        ? OutputKind::File
                 : S_ISFIFO(st.st_mode)                       ? OutputKind::Fifo
                 : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? OutputKind::Device
                 : S_ISSOCK(st.st_mode)                       ? OutputKind::Socket
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
    CleanupId made;
    {
        InterruptsHeld held;
        fd = ::openat(dir, bytes.c_str(), kNewFile, 0666);
        if (fd >= 0) {
            made = identityOf(fd);
            slot_ = registerCleanupIn(dir, bytes, made);
        }
    }
    if (fd < 0) {
        const int error = errno;
        ::close(dir);
        errno = error;
        return error == EEXIST ? Created::Exists : creationFailure(error);
    }
    handle_ = fd;
    id_ = fileIdOf(made);
    folder_ = dir;
    state_ = State::New;
    name_ = made_ = name;
    return Created::Yes;
}

OutputFile::Created OutputFile::createReplacement(const OutputFolder& folder,
                                                  const std::wstring& name) {
    discard();
    const int dir = ownFolder(folder.handle_);
    if (dir < 0) return Created::Failed;
    const int fd =
        makeTemporary(dir, name, made_, [&](const std::string& bytes, const CleanupId& made) {
            id_ = fileIdOf(made);
            slot_ = registerCleanupIn(dir, bytes, made);
        });
    if (fd < 0) {
        const int error = errno;
        ::close(dir);
        errno = error;
        // A temporary name is short: only the folder can refuse it.
        return error == EACCES || error == EPERM ? Created::Denied : Created::Failed;
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
    return Created::Yes;
}

bool OutputFile::replacing(FileId& id) const {
    struct stat st;
    if (state_ != State::Replacement ||
        ::fstatat(int(folder_), toUtf8(name_).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        return false;
    id = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return true;
}

bool OutputFile::openInPlace(const OutputFolder& folder, const std::wstring& name) {
    discard();
    const int fd =
        ::openat(int(folder.handle_), toUtf8(name).c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    handle_ = fd;
    state_ = State::InPlace;
    id_ = {};
    name_ = made_ = name;
    return true;
}

bool OutputFile::openInPlace(const std::wstring& path) {
    discard();
    const int fd = openPath(path, O_WRONLY);
    if (fd < 0) return false;
    handle_ = fd;
    state_ = State::InPlace;
    id_ = {};
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
    if (state_ == State::New || state_ == State::Replacement) {
        const std::string made = toUtf8(made_);
        struct stat st;
        if (::fstatat(int(folder_), made.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && FileId{uint64_t(st.st_dev), uint64_t(st.st_ino)} == id_)
            ::unlinkat(int(folder_), made.c_str(), 0);
    }
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
    const int fd =
        makeTemporary(dir, target.substr(cut), made, [&](const std::string&, const CleanupId& id) {
            path = folder + made;
            const FileId identity = fileIdOf(id);
            slot = registerCleanup(path, id.known ? &identity : nullptr);
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
    Located source, target; // paths of any length
    if (!locate(from, source) || !locate(to, target) ||
        ::renameat(source.dir, source.rest.c_str(), target.dir, target.rest.c_str()) != 0)
        return false;
    // The new name reaches the disk with its folder; a folder that cannot be synced is no error.
    const size_t slash = target.rest.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string(".") : target.rest.substr(0, slash ? slash : 1);
    int fd = ::openat(target.dir, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
    return true;
}

bool removeFile(const std::wstring& path) {
    // Only what a run can have created: an output named /dev/null or a FIFO must survive a
    // failed unpack.
    Located at;
    struct stat info;
    if (!locate(path, at) || ::fstatat(at.dir, at.rest.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode))
        return false;
    return ::unlinkat(at.dir, at.rest.c_str(), 0) == 0;
}

} // namespace qzn
