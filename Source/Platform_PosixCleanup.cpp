// The files that must not outlive a failed run on POSIX: their registry, and the signal handlers
// that remove them.
#include "Platform.h"
#include "Platform_Internal.h"
#include "Platform_Posix.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qzn {

namespace {
constexpr size_t kLongPathBytes = 4096;
CleanupRegistry<char, kLongPathBytes> cleanupRegistry;
std::atomic<bool> handlersInstalled{false};
// Set by the command line: a library in another program leaves the signals alone.
std::atomic<bool> handlersWanted{false};
// The folder handles that registerCleanup opened for long paths, by slot.
int ownedFolders[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
} // namespace

// Async-signal-safe: atomics, fstatat and unlinkat only. Like removeFile, it never takes away a
// device or FIFO that was named as the output, nor a file that took the name of the one made
// (another run's finished file).
void removeRegisteredFiles() {
    cleanupRegistry.removeAll([](intptr_t folder, const char* path, const CleanupId& id) {
        struct stat info;
        if (::fstatat(int(folder), path, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) &&
            (!id.known ||
             (uint64_t(info.st_dev) == id.device && uint64_t(info.st_ino) == id.inode)))
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
    if (!handlersWanted.load() || handlersInstalled.exchange(true)) return;
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
    // A write past the file size limit (ulimit -f) then fails with EFBIG and is reported, and the
    // unfinished file removed, instead of the process ending at once with neither.
    ::signal(SIGXFSZ, SIG_IGN);
}
} // namespace

void enableInterruptCleanup() {
    handlersWanted = true;
}

void ignoreClosedOutput() {
    struct sigaction current;
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == onInterrupt)
        ::signal(SIGPIPE, SIG_IGN);
}

int registerCleanup(const std::wstring& path, const FileId* id) {
    installInterruptHandlers();
    CleanupId made;
    if (id) made = {true, id->device, id->inode};
    std::string bytes = toUtf8(path);
    if (bytes.size() < kLongPathBytes) return cleanupRegistry.add(bytes, AT_FDCWD, made);
    // Too long to be held or removed whole: held as a name in a folder handle of its own, which
    // stays open while the slot does.
    Located at;
    if (!locate(path, at)) return -1;
    const int slot = cleanupRegistry.add(at.rest, at.dir, made);
    if (slot >= 0 && slot < int(std::size(ownedFolders)))
        ownedFolders[slot] = std::exchange(at.dir, -1);
    return slot;
}

int registerCleanupIn(int folder, const std::string& name, const CleanupId& id) {
    installInterruptHandlers();
    return cleanupRegistry.add(name, folder, id);
}

void unregisterCleanup(int slot) {
    cleanupRegistry.release(slot);
    if (slot >= 0 && slot < int(std::size(ownedFolders)) && ownedFolders[slot] >= 0)
        ::close(std::exchange(ownedFolders[slot], -1));
}

} // namespace qzn
