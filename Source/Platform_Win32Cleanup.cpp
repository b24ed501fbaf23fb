// The files that must not outlive a failed run on Windows: their registry, and the console-control
// handler that removes them.
#include "Platform.h"
#include "Platform_Internal.h"
#include "Platform_Win32.h"

#include <windows.h>

namespace qzn {

namespace {

// Paths in the form removeRegularFile takes; the console-control handler runs on a thread of its
// own and may find any of them.
CleanupRegistry<wchar_t, 32768> cleanupRegistry;
std::atomic<bool> handlerInstalled{false};
// Set by the command line: a library in another program leaves the console events alone.
std::atomic<bool> handlerWanted{false};

// Ctrl-C, Ctrl-Break, a closed console window, logoff and shutdown: the status is 128 + the
// number of the signal each stands for (SIGINT, SIGTERM, SIGHUP).
BOOL WINAPI onConsoleControl(DWORD event) {
    removeRegisteredFiles();
    const int signal = event == CTRL_C_EVENT ? 2 : event == CTRL_CLOSE_EVENT ? 1 : 15;
    ExitProcess(UINT(128 + signal));
    return TRUE;
}

} // namespace

void removeRegisteredFiles() {
    cleanupRegistry.removeAll([](intptr_t, const wchar_t* path, const CleanupId& id) {
        if (id.known) {
            const FileId made{id.device, id.inode};
            removeRegularFile(path, &made);
        } else {
            removeRegularFile(path);
        }
    });
}

int registerCleanup(const std::wstring& path, const FileId* id) {
    if (handlerWanted.load() && !handlerInstalled.exchange(true))
        SetConsoleCtrlHandler(onConsoleControl, TRUE);
    CleanupId made;
    if (id) made = {true, id->device, id->inode};
    return cleanupRegistry.add(nativePath(path), -1, made);
}

void enableInterruptCleanup() {
    handlerWanted = true;
}

// A closed output pipe sends no signal here: writes to it fail unseen.
void ignoreClosedOutput() {}

void unregisterCleanup(int slot) {
    cleanupRegistry.release(slot);
}

} // namespace qzn
