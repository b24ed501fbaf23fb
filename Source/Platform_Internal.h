// What the shared platform code needs from the file of each platform.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace qzn {

// Writes UTF-8 bytes to the console stream (standard output, or standard error once
// sendConsoleToStandardError was called): as they are when it is a file or a pipe, as text when
// it is a console that takes wide text.
void writeOutput(const char* data, size_t size);
// The same for standard error.
void writeErrorOutput(const char* data, size_t size);

// Whether the console goes to standard error for this run.
bool consoleOnStandardError();

// Removes the files registered for cleanup; safe inside a signal or console-control handler.
void removeRegisteredFiles();
// The identity a registered file is removed by: the file made, as it was made.
struct CleanupId {
    bool known = false;
    uint64_t device = 0, inode = 0;
};

// Registers the file `name` of the folder `folder` (a descriptor that stays open while the slot
// is held), so that it is removed there whatever becomes of the folder's path, and only while
// the name leads to the file `id`. POSIX only.
int registerCleanupIn(int folder, const std::string& name, const CleanupId& id);

// True when the console stream is a terminal or console that someone watches.
bool outputIsInteractive();

// True for a character that stands for an undecodable byte 0x80-0x9F of a name (POSIX keeps such
// bytes as U+DC80-U+DC9F and prints them back as they were); a terminal could take that byte
// as a control.
bool isControlByteStandIn(wchar_t c);

// The files to remove when a run fails: a few fixed slots of paths already in the form the
// system's removal call takes (bytes on POSIX, the extended wide form on Windows), each relative
// to a folder handle (POSIX: AT_FDCWD for a plain path) and with the identity of the file made
// there, so that a signal or console-control handler can walk them without allocating,
// converting or taking a lock. A slot is filled before it is marked active and freed by marking
// it free.
template <class Char, size_t kCapacity> class CleanupRegistry {
  public:
    // A slot, or -1 when the path is empty, does not fit or every slot is taken.
    int add(const std::basic_string<Char>& path, intptr_t folder = -1, CleanupId id = {}) {
        if (path.empty() || path.size() >= kCapacity) return -1;
        for (int i = 0; i < kSlots; ++i) {
            int expected = kFree;
            if (!slots_[i].state.compare_exchange_strong(expected, kFilling)) continue;
            std::memcpy(slots_[i].path, path.c_str(), (path.size() + 1) * sizeof(Char));
            slots_[i].folder = folder;
            slots_[i].id = id;
            slots_[i].state.store(kActive, std::memory_order_release);
            return i;
        }
        return -1;
    }

    void release(int slot) {
        if (slot >= 0 && slot < kSlots) slots_[slot].state.store(kFree, std::memory_order_release);
    }

    // Calls remove(folder, path, id) for every active slot; safe in a handler when `remove` is.
    template <class Remove> void removeAll(Remove remove) const {
        for (const Slot& slot : slots_)
            if (slot.state.load(std::memory_order_acquire) == kActive)
                remove(slot.folder, slot.path, slot.id);
    }

  private:
    static constexpr int kSlots = 8;
    static constexpr int kFree = 0, kFilling = 1, kActive = 2;
    struct Slot {
        std::atomic<int> state{kFree};
        intptr_t folder = -1;
        CleanupId id;
        Char path[kCapacity];
    };
    Slot slots_[kSlots];
};

} // namespace qzn
