// The thin layer between QZN and the operating system: process stops, console output,
// wide-string conversion, files and folders, the clock and the keyboard, and the few kernels
// written for one processor family. Everything else in the program is portable C++. Platform.cpp,
// Platform_Console.cpp and Platform_Names.cpp are shared. Each system has the same files, picked by
// the build: Platform_<os>Text.cpp (console output, UTF-8, failure reasons, the stored-name rule),
// Platform_<os>Memory.cpp, Platform_<os>Files.cpp (files and folders by path),
// Platform_<os>Output.cpp (the output tree, temporary files, replacement and removal),
// Platform_<os>Cleanup.cpp (unfinished files removed when a run is cut short) and
// cli/PlatformEntry_<os>.cpp (the command line's process entry), with <os> Posix or Win32.
// Platform_<cpu>*.cpp holds the kernels, with <cpu> X86 on x86-64 and Generic on any other
// processor.
#pragma once

#include <compare>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Compiler hints. GCC and clang get the builtins; any other compiler builds the same source
// without them.
#if defined(__GNUC__) || defined(__clang__)
#define QZN_LIKELY(cond) __builtin_expect(!!(cond), 1)
#define QZN_UNLIKELY(cond) __builtin_expect(!!(cond), 0)
#define QZN_PREFETCH(address) __builtin_prefetch(address)
#define QZN_BYTESWAP32(value) __builtin_bswap32(value)
// A rarely taken path, kept out of line so that the hot caller stays small.
#define QZN_COLD_PATH __attribute__((noinline, cold))
// A body built into each of its callers, so that a caller built for other instructions
// (QZN_TARGET_BMI2) builds it for them too.
#define QZN_ALWAYS_INLINE inline __attribute__((always_inline))
#if defined(__MINGW32__) && !defined(__clang__)
// mingw-w64 formats with its own C99 printf, which GCC knows as gnu_printf.
#define QZN_PRINTF_FORMAT(formatIndex, firstArgument)                                              \
    __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#else
#define QZN_PRINTF_FORMAT(formatIndex, firstArgument)                                              \
    __attribute__((format(printf, formatIndex, firstArgument)))
#endif
#else
#define QZN_LIKELY(cond) (cond)
#define QZN_UNLIKELY(cond) (cond)
#define QZN_PREFETCH(address) ((void)(address))
#define QZN_BYTESWAP32(value)                                                                      \
    ((((value)&0xFFu) << 24) | (((value)&0xFF00u) << 8) | (((value) >> 8) & 0xFF00u) |             \
     (((value) >> 24) & 0xFFu))
#define QZN_COLD_PATH
#define QZN_ALWAYS_INLINE inline
#define QZN_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

// The codec's decoding loops are built a second time for x86-64 processors with BMI2, whose
// shifts and masks by a count in any register shorten their chains; cpuHasBmi2() chooses.
// Elsewhere both builds are the same.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define QZN_TARGET_BMI2 __attribute__((target("bmi,bmi2")))
#else
#define QZN_TARGET_BMI2
#endif

// Lock annotations, checked by clang's -Wthread-safety: what a mutex guards, what a function
// needs held. Other compilers build the same source without them.
#if defined(__clang__)
#define QZN_THREAD_ANNOTATION(attribute) __attribute__((attribute))
#else
#define QZN_THREAD_ANNOTATION(attribute)
#endif
#define QZN_CAPABILITY(name) QZN_THREAD_ANNOTATION(capability(name))
#define QZN_SCOPED_CAPABILITY QZN_THREAD_ANNOTATION(scoped_lockable)
#define QZN_GUARDED_BY(mutex) QZN_THREAD_ANNOTATION(guarded_by(mutex))
#define QZN_REQUIRES(...) QZN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QZN_EXCLUDES(...) QZN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QZN_ACQUIRE(...) QZN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QZN_RELEASE(...) QZN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// For what the analysis cannot follow: a lock's own primitives, or a field read without the lock
// by its only writer. Say at the use why it is safe.
#define QZN_NO_THREAD_SAFETY_ANALYSIS QZN_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace qzn {

// ---- Locks -----------------------------------------------------------------------------------
// The standard mutex with the annotations the analysis needs, a scoped lock that may be released
// and taken again inside its scope, and a condition variable that waits on it.

class QZN_CAPABILITY("mutex") Mutex {
  private:
    friend class MutexLock;
    std::mutex mutex_;
};

class QZN_SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) QZN_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() QZN_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    void lock() QZN_ACQUIRE() { lock_.lock(); }
    void unlock() QZN_RELEASE() { lock_.unlock(); }
    // The same for a function the lock is handed to, which requires `held`: the analysis cannot
    // see which mutex a lock passed by reference holds, so the function names it.
    void unlock(Mutex& held) QZN_RELEASE(held) QZN_NO_THREAD_SAFETY_ANALYSIS {
        static_cast<void>(held);
        lock_.unlock();
    }
    void lock(Mutex& held) QZN_ACQUIRE(held) QZN_NO_THREAD_SAFETY_ANALYSIS {
        static_cast<void>(held);
        lock_.lock();
    }

  private:
    friend class ConditionVariable;
    std::unique_lock<std::mutex> lock_;
};

class ConditionVariable {
  public:
    // Releases the lock while it waits and holds it again on return, which may be spurious:
    // callers wait in a loop on their condition.
    void wait(MutexLock& lock) { condition_.wait(lock.lock_); }
    void notifyOne() { condition_.notify_one(); }
    void notifyAll() { condition_.notify_all(); }

  private:
    std::condition_variable condition_;
};

// ---- Stops ---------------------------------------------------------------------------------
// Nothing below ends the process. A stop is a ProcessStop exception carrying the exit status the
// command line ends with, the library's status code and the message that was printed for it; the
// library's entry points catch it and return the code. Only the command line ends the process
// (exitProcess), with the status of the run.

// Exit status of an assertion stop (internal invariant or a damaged archive).
constexpr int kAssertStatus = 3;
// Exit status when the reader of standard output went away: what a shell reports for a process
// that SIGPIPE ended (128 + 13), on every platform.
constexpr int kReaderGoneStatus = 141;

// The library's status codes a stop carries, as qzn.h numbers them; 0 lets the status and the
// message decide (statusOfStop).
enum StopCode : int {
    kStopDerived = 0,
    kStopWarning = 1,
    kStopArgument = 2,
    kStopOpen = 3,
    kStopRead = 4,
    kStopWrite = 5,
    kStopDamaged = 6,
    kStopMemory = 7,
    kStopCancelled = 8,
    kStopNotFound = 9,
    kStopInternal = 10,
};

struct ProcessStop {
    explicit ProcessStop(int status_, int code_ = kStopDerived, std::string message_ = {},
                         std::string path_ = {}, int check_ = 0)
        : status(status_), code(code_), message(std::move(message_)), path(std::move(path_)),
          check(check_) {}
    int status;              // the exit status the command line ends with
    int code = kStopDerived; // StopCode
    std::string message;     // the error's text as printed (UTF-8), without surrounding newlines
    std::string path;        // the path it concerns (UTF-8), or empty
    int check = 0;           // the identifier of a failed check (assertFailed), or 0
};

// Every stop goes through here: standard output is flushed, then, outside a run of the library
// (tests, fuzzers), the registered files are removed and the stop hook runs; then a ProcessStop
// is thrown.
[[noreturn]] void stopProcess(int status);
// The same with a status code, a message and the path it concerns.
[[noreturn]] void stopRun(int status, int code, const std::wstring& message = {},
                          const std::wstring& path = {});

// Tests replace the last step, usually with a hook that throws a ProcessStop of their own. Pass
// nullptr to restore the default.
using StopHook = void (*)(int status);
void setStopHook(StopHook hook);

// The library's status code of a stop: its own, else from its status and message.
int statusOfStop(const ProcessStop& stop);

// The path the next stop or event of this thread concerns, so that it can be told with the error
// text; cleared by the stop and by an event that takes it.
void noteErrorPath(const std::wstring& path);
std::wstring takeErrorPath();

// Prints "Assert failed\n%s:%d\n" with the module's source path and the check's identifier,
// then stops with kAssertStatus. The identifiers are defined in Checks.h.
[[noreturn]] void assertFailed(const char* source, int line);

// A thread that works ahead of the order in which failures are reported (the token follower and
// the chunk rebuilders of unpack and test) defers its failed assertions: while a DeferAsserts
// lives on it, assertFailed prints nothing and throws a DeferredAssert, which its driver reports
// in turn with assertFailed.
struct DeferredAssert {
    const char* source;
    int line;
};
class DeferAsserts {
  public:
    DeferAsserts();
    ~DeferAsserts();
    DeferAsserts(const DeferAsserts&) = delete;
    DeferAsserts& operator=(const DeferAsserts&) = delete;

  private:
    bool previous_;
};

// ---- Runs ------------------------------------------------------------------------------------
// A run of the library is bound to the threads that do its work: its console text, its progress
// and its overwrite decisions go to the hooks of the run, never to the console. Outside a run
// (tests, fuzzers, the command line's own lines) the console takes the text.

// LINE text as it comes; Progress a progress line ("\r" and the padded text); Error the message
// of a stop, which a console starts on a line of its own when a progress line is open.
enum class TextKind { Line, Progress, Error };
enum class Decision { Replace, Keep, ReplaceAll, Stop };

class RunHooks {
  public:
    virtual ~RunHooks() = default;
    // Called from whichever thread of the run prints, one at a time.
    virtual void text(TextKind kind, const std::string& utf8) = 0;
    // Bytes done of total of the current pass; false cancels the run.
    virtual bool progress(uint64_t done, uint64_t total) = 0;
    // An existing `path` where a file is to be written; `what` is nullptr for a file, or names
    // what is there ("link", "FIFO", ...).
    virtual Decision decide(const std::wstring& path, const wchar_t* what) = 0;
    // Whether decide asks someone; when not, it keeps what is there.
    virtual bool canDecide() const = 0;
    // Serialises the question with the progress lines of the run's other threads.
    std::mutex question;
};

// The run of this thread, or nullptr.
RunHooks* currentRun();
// Binds a run to this thread for its lifetime; a worker thread binds its creator's run.
class RunScope {
  public:
    explicit RunScope(RunHooks* run);
    ~RunScope();
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

  private:
    RunHooks* previous_;
};

// Reports the progress of a pass to the run, if any; a run that is cancelled stops here.
void reportProgress(uint64_t done, uint64_t total);

// ---- The process (the command line only) -------------------------------------------------
// The library never calls these.

// Interrupts (signals, console control events) remove the registered files and end the process;
// their handlers are installed with the first registration once this was called.
void enableInterruptCleanup();
// Ends the process with `status` at once (no atexit handlers, no core), after closing the output
// as a stop does: a reader gone no longer interrupts, standard output is flushed, and the files
// still registered are removed.
[[noreturn]] void exitProcess(int status);

#define QZN_CHECK(cond, source, line)                                                              \
    do {                                                                                           \
        if (QZN_UNLIKELY(!(cond))) ::qzn::assertFailed(source, line);                              \
    } while (0)

// ---- Console ---------------------------------------------------------------------------------
// Wide text is formatted into a buffer and converted to UTF-8. Standard output redirected to a
// file or a pipe receives exactly those bytes on every platform; a Windows console receives the
// text as UTF-16, so that every name shows. Wide formats use "%ls" for wide strings.
//
// A name may hold control characters, which a terminal would obey. Every string that the wide
// prints below (printWide, fatalWide, printWithReason, fatalWithReason) take through "%ls",
// "%s" or "%lc", and the whole text of a wide progress line, is printed through visibleText; the
// format's own text is printed as it is. formatWide and the narrow prints change nothing: a text
// formatted for later is made visible when it is printed through one of those.

// The text with each C0 and C1 control character and DEL written as "\x1B" (two upper-case hex
// digits), and so on POSIX an undecodable byte 0x80-0x9F of a name, which an 8-bit terminal reads
// as C1; each bidirectional embedding, override and isolate (U+202A-U+202E, U+2066-U+2069), which
// would reorder what the terminal shows, as "\u202E"; everything else, a backslash included,
// stays. Applying it twice changes nothing more.
std::wstring visibleText(const std::wstring& text);

// Sends every console line of the rest of the run to standard error, so that standard output
// carries an archive or file contents alone. Called before the banner.
void sendConsoleToStandardError();

void printNarrow(const char* format, ...) QZN_PRINTF_FORMAT(1, 2);
void printWide(const wchar_t* format, ...);
std::wstring formatWide(const wchar_t* format, ...);
std::string formatNarrow(const char* format, ...) QZN_PRINTF_FORMAT(1, 2);

// Progress lines: the text is cut to 79 characters and printed as "\r%-79s" (or with a final
// newline), so that each overwrites the last. Wide progress text is cut and padded by code
// points, so that a surrogate pair is never split.
void printProgress(const std::string& text);
void printProgressEnd(const std::string& text);
void printProgressWide(const std::wstring& text);    // wide text, cut at 159 characters
void printProgressEndWide(const std::wstring& text); // likewise, with a final newline

// Console text of a run, as its text hook received it: printed as printNarrow prints it, a
// progress line pushed out at once where someone watches, an error message on a line of its own.
void printRunText(TextKind kind, const std::string& utf8);

// A question the run waits on: printed as printWide prints and, when standard output is not a
// terminal (a file or a pipe), to standard error as well, so that someone who sent the output
// elsewhere still sees what is asked.
void printQuestion(const wchar_t* format, ...);

// Prints a wide message (normally beginning "Error: ") and stops with status 1. The message starts
// a line of its own when a progress line or a question is still open.
[[noreturn]] void fatalWide(const wchar_t* format, ...);

// The reason the system gave for the last failed call of this thread (strerror on POSIX, the
// FormatMessageW text on Windows), without a final newline. Take it right after the failure.
std::wstring systemErrorText();
// Whether the failure just seen says that the path is not there (no such file or folder on the
// way), rather than that it could not be reached.
bool failureMeansMissing();
// Like printWide and fatalWide, followed by the system's reason for the failure just seen, on a
// line of its own. The reason is taken before anything is printed.
void printWithReason(const wchar_t* format, ...);
[[noreturn]] void fatalWithReason(const wchar_t* format, ...);
// Like printWithReason, then stops with status 1: the message continues what was printed.
[[noreturn]] void stopWithReason(const wchar_t* format, ...);

// ---- Strings ---------------------------------------------------------------------------------
// Wide strings hold UTF-32 on POSIX and UTF-16 on Windows, where a character beyond U+FFFF is a
// surrogate pair; both convert to the same UTF-8. On POSIX, bytes that are not valid UTF-8 map to
// the lone surrogates U+DC80..U+DCFF and back, so any file name survives the round trip byte for
// byte. On Windows the conversion is the system's: invalid bytes and lone surrogates become
// U+FFFD.

std::string toUtf8(const std::wstring& text);
std::wstring fromUtf8(const std::string& bytes);
// Paths handed across the library's C interface. A Windows name may hold a lone surrogate, which
// UTF-8 cannot: there it travels in its generalized three-byte form (0xED 0xA0..0xBF 0x80..0xBF),
// so that every path the system can name survives the crossing. On POSIX: toUtf8 and fromUtf8.
std::string pathToUtf8(const std::wstring& path);
std::wstring pathFromUtf8(const std::string& bytes);
// The conversion Windows uses for them, portable so that it is checked on every platform: toUtf8
// and fromUtf8 for everything but lone surrogates.
std::string toGeneralizedUtf8(const std::wstring& text);
std::wstring fromGeneralizedUtf8(const std::string& bytes);
// A name read from an archive as this platform holds it: fromUtf8. Where that cannot keep every
// byte (Windows), `lost` gets the stored bytes as text with each byte that is not UTF-8 written
// as "\xE9", for saying what the name was; it is left empty when the name came through whole.
std::wstring storedNameFromUtf8(const std::string& bytes, std::wstring& lost);

// The number of code points of a wide string, and its longest prefix of at most `limit` code
// points.
size_t codePointCount(const std::wstring& text);
std::wstring codePointPrefix(const std::wstring& text, size_t limit);

// ---- Files and folders ----------------------------------------------------------------------

FILE* openFile(const std::wstring& path, const char* mode); // nullptr on failure
int64_t filePosition(FILE* file);                           // 64-bit ftell
bool seekFile(FILE* file, int64_t offset, int whence);      // 64-bit fseek

// A path below `folder` with this platform's separator, '/' on POSIX and '\' on Windows (where
// none is added after a separator or a drive's ':'). An empty folder is the working folder: the
// name alone. Every path QZN forms from a folder and a name is joined here; stored names keep
// their '/'.
std::wstring joinPath(const std::wstring& folder, const std::wstring& name);

// Paths of any length are accepted: one the system refuses as too long is reached piece by piece
// through folder handles, so the depth of a tree does not matter.

// Attribute tests as the scan and the output tree use them (links are followed).
bool isRegularFile(const std::wstring& path);
bool isDirectory(const std::wstring& path);
// Whether anything is there, a link whose target is gone included; when not, the system's
// reason is left for systemErrorText.
bool pathExists(const std::wstring& path);
// A device, FIFO or socket (links followed): it takes data where it is, and no file can be renamed
// over it (/dev/null, NUL, a pipe).
bool isDevice(const std::wstring& path);

// Identity of the real file or folder behind a path (device and inode on POSIX): two spellings,
// hard links or symbolic links to the same object compare equal.
struct FileId {
    uint64_t device = 0, inode = 0;
    bool operator==(const FileId&) const = default;
    auto operator<=>(const FileId&) const = default;
};
bool fileId(const std::wstring& path, FileId& id); // false when the path cannot be queried
// Whether two paths name one entry: the same name (as the file system compares names) in the same
// folder (by identity). The last name is not followed, so a link and its target, or two hard links
// to one file, are different entries.
bool sameEntry(const std::wstring& a, const std::wstring& b);
bool fileId(FILE* file, FileId& id); // of an open file

enum class EntryKind { File, Directory, FolderLink, Other };
struct FolderItem {
    std::wstring name;
    // File and Directory after following links, FolderLink = a link to a folder (never entered),
    // Other = FIFO, socket, device, dangling link.
    EntryKind kind;
};
// The entries of a folder in the file system's own order, without "." and "..". False, with no
// items, when the folder cannot be listed; the system's reason is then left for
// systemErrorText.
bool listFolder(const std::wstring& path, std::vector<FolderItem>& items);

class OutputFolder;

// An input file open for reading, with plain unbuffered reads; closed when it goes.
class InputFile {
  public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile() { close(); }

    // Opens a file (links followed); with `size`, takes its size and identity from the open
    // handle. Only a regular file opens: a FIFO, device or folder found there is closed again
    // before anything is read from it or anything waits for it, and wrongKind() tells so.
    bool open(const std::wstring& path, uint64_t* size = nullptr);
    bool wrongKind() const { return wrongKind_; }
    // Opens the regular file `name` of an output folder, never through a link, and takes its
    // identity; false for anything else there, which is never opened (a FIFO, a device).
    bool openIn(const OutputFolder& folder, const std::wstring& name);
    const FileId& identity() const { return identity_; }
    // Up to `wanted` bytes, stopping early at the end of the file or once at least `enough` have
    // come (so that asking for one byte more than expected costs no extra call); -1 on a read
    // error.
    int64_t read(uint8_t* buffer, size_t wanted, size_t enough);
    int64_t read(uint8_t* buffer, size_t wanted) { return read(buffer, wanted, wanted); }
    void close();
    bool isOpen() const { return handle_ != -1; }

  private:
    intptr_t handle_ = -1;
    FileId identity_;
    bool wrongKind_ = false;
};

// ---- Output trees ------------------------------------------------------------------------------
// Unpacking writes only through folder handles: every folder below the output folder is opened
// from its parent's handle without following a link, and files are made in a folder's handle, new
// ones exclusively, replacements under a name of their own that is then renamed over the old
// entry. So a link in the output tree is replaced or refused, never written through, whatever
// appears there meanwhile.

// Fifo, Device and Socket where the system tells them apart; Other for anything else.
enum class OutputKind { Missing, File, Folder, Link, Fifo, Device, Socket, Other };
struct OutputEntry {
    OutputKind kind = OutputKind::Missing;
    bool reaches = false; // `id` holds what the name leads to (for a link: its final target)
    FileId id;
};

class OutputFolder {
  public:
    // NotFolder: a file, device or FIFO is in the way. Denied: the parent may not be written
    // into; BadName: its file system cannot hold the name (too long). Failed: anything else.
    enum class Opened { Yes, Link, NotFolder, Denied, BadName, Failed };

    OutputFolder() = default;
    ~OutputFolder() { close(); }
    OutputFolder(OutputFolder&& other) noexcept { *this = std::move(other); }
    OutputFolder& operator=(OutputFolder&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, -1);
            path_ = std::move(other.path_);
        }
        return *this;
    }

    // The folder at `path` as typed, links followed (the user's choice), made first when it is
    // missing and `create` is set (its last level only). "" is the working folder.
    bool open(const std::wstring& path, bool create);
    // The folder that holds the file at `path` as typed, links followed, also a link in the
    // file's own place, which leads to the file meant; the file's name there goes to `name`.
    bool openParentOf(const std::wstring& path, std::wstring& name);
    // The subfolder `name` of `parent`, made first when missing. Never entered when it is a link
    // (on Windows, any reparse point): Link then, and nothing is open; NotFolder when something
    // else is there. The system's reason stays for systemErrorText after a failure.
    Opened openChild(const OutputFolder& parent, const std::wstring& name);
    // What is at `name` in this folder, without following a link there.
    OutputEntry inspect(const std::wstring& name) const;
    bool isOpen() const { return handle_ != -1; }
    void close();

  private:
    friend class OutputFile;
    friend class InputFile;
    intptr_t handle_ = -1;
    std::wstring path_; // Windows: the folder's path, under which its entries are opened
};

// How many folders of the way from the output folder to the folder in use may stay open: a
// bound on POSIX, where a deep tree would run out of descriptors; all on Windows, where a held
// folder cannot be renamed or deleted, so that none above the one in use can be swapped for a
// link meanwhile.
size_t heldFolderLevels();

// A file being written into an output folder. A new file or a temporary one is registered for
// removal by a stop or an interrupt at once, and removed by discard() or when the holder goes
// before commit().
class OutputFile {
  public:
    // Denied and BadName as for OutputFolder::Opened; the system's reason stays for
    // systemErrorText after any failure.
    enum class Created { Yes, Exists, Denied, BadName, Failed };

    OutputFile() = default;
    ~OutputFile() { discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // A new file `name`, made exclusively and never through a link: Exists when anything is in
    // its place.
    Created create(const OutputFolder& folder, const std::wstring& name);
    // A temporary file beside `name` that takes its place on commit(); on POSIX a regular file
    // there lends it its permissions. Yes, Denied or Failed.
    Created createReplacement(const OutputFolder& folder, const std::wstring& name);
    // A device or FIFO at `name`, written where it is, never through a link.
    bool openInPlace(const OutputFolder& folder, const std::wstring& name);
    // The same at a path as typed, links followed (the user's choice).
    bool openInPlace(const std::wstring& path);

    bool write(const uint8_t* data, size_t size);
    bool close();  // false when the file system refused the data
    bool commit(); // after close: a replacement is renamed over its name; every file stays
    // Closes; a new or temporary file is removed, and only while its name still leads to the
    // very file made here.
    void discard();
    bool isOpen() const { return handle_ != -1; }
    bool replaces() const { return state_ == State::Replacement; }
    // The file made (a new or temporary one), as it was when made: a rename keeps it.
    const FileId& identity() const { return id_; }
    // A replacement: the identity of the regular file its commit() would replace now. False when
    // none is there.
    bool replacing(FileId& id) const;

  private:
    enum class State { None, New, Replacement, InPlace };
    void forget(); // the file stays: no longer registered for removal

    intptr_t handle_ = -1;
    State state_ = State::None;
    int slot_ = -1;
    FileId id_;
    intptr_t folder_ = -1; // POSIX: the folder, held for the rename and the removal
    // The name to take and the name the file was made under (full paths on Windows).
    std::wstring name_, made_;
};

// ---- Files that must not outlive a failed run -------------------------------------------------
// A registered file is removed by its holder on the error path, by stopProcess outside a run
// (before its hook runs), and by an interrupt: SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE here
// (Ctrl-C, Ctrl-Break and console close on Windows), which then ends the process with 128 + the
// signal number. The registry is passive: the interrupt handlers are installed with the first
// registration only in a process that called enableInterruptCleanup (the command line); a signal
// the process was started to ignore stays ignored. From then on SIGXFSZ is ignored too: a write
// past the file size limit fails ("File too large") and is reported like any failed write. A file
// registered with its identity is removed only while its path still leads to that very file, so
// that a run never takes away what another run has put under the same name meanwhile.

// A slot, or -1 when the path cannot be held.
int registerCleanup(const std::wstring& path, const FileId* id = nullptr);
void unregisterCleanup(int slot); // the file is to stay; -1 is ignored
// Creates a new, empty file in the folder of `target` (so that it can replace the target by a
// rename) and registers it; its name goes to `path` and its slot to `slot`. nullptr on failure.
FILE* createTemporaryFile(const std::wstring& target, std::wstring& path, int& slot);
// The name for a temporary file beside `name`: its start, a random part and ".tmp"
// ("a.qzn.3f09c2e17d4b.tmp"). Each call gives another; files are made under it exclusively, so
// that neither leftovers of earlier runs nor other runs can make it fail or collide. Short
// enough for any file system, however long `name` is.
std::wstring temporaryName(const std::wstring& name);
// A new file in the system's temporary folder that nobody else can open, removed by the system
// when it is closed or the process ends, however it ends; open for reading and writing. nullptr
// on failure.
FILE* openScratchFile();
bool syncFile(FILE* file);                                          // buffers flushed, on disk
bool replaceFile(const std::wstring& from, const std::wstring& to); // atomic rename over `to`
bool removeFile(const std::wstring& path); // regular files only, never a device or a folder
// The run's files are in place: from here on a reader of standard output that goes away no longer
// interrupts it, and the status says how the run went. Where an interrupt handler took SIGPIPE, it
// is ignored now, and what is still printed is lost unseen. stopProcess does it too.
void ignoreClosedOutput();

// ---- Stored names --------------------------------------------------------------------------
// A name read from an archive has passed the check every platform makes (not empty, "." or "..",
// no '/' or NUL). storableName gives the name under which this platform's file system holds it:
// the name itself on POSIX, where every other character is ordinary; windowsName on Windows.
std::wstring storableName(const std::wstring& name);

// The name Windows can hold: each of < > : " | ? * \ and the controls 1-31 becomes '_', so that no
// name becomes a path, a drive or an alternate data stream; a name ending in '.' or ' ' gets a '_'
// appended; a device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-COM9, LPT1-LPT9, also with
// the digits 1-3 written superscript), in any case, alone or before an extension, gets a '_'
// prefix. Portable, so that the rule is checked on every platform.
std::wstring windowsName(const std::wstring& name);

// A key under which two output paths are equal when they name the same file: the path itself on
// POSIX, upper-cased on Windows, whose file systems ignore case.
std::wstring pathKey(const std::wstring& path);

// ---- Memory --------------------------------------------------------------------------------

// Large working memory (chunk buffers, codec tables), zero-filled and owned. On Linux it is
// aligned to and advised into 2 MiB pages: an 8 MiB chunk then costs 4 page faults instead of
// 2048, and the codec's scattered reads into it and its tables need fewer TLB entries. Empty
// when memory runs out.
class LargeBuffer {
  public:
    LargeBuffer() = default;
    explicit LargeBuffer(size_t bytes);
    ~LargeBuffer() { reset(); }
    LargeBuffer(LargeBuffer&& other) noexcept { *this = std::move(other); }
    LargeBuffer& operator=(LargeBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    uint8_t* get() const { return data_; }
    size_t size() const { return bytes_; }
    explicit operator bool() const { return data_ != nullptr; }
    void reset();

  private:
    uint8_t* data_ = nullptr;
    size_t bytes_ = 0;
};

// Maps the pages of freshly allocated memory in ahead of their first write, so that the thread
// that fills them takes no page faults. It changes no byte, so another thread may write the
// memory meanwhile. Best effort: where the system offers no such call, it does nothing.
void prefaultMemory(void* address, size_t bytes);

// ---- Processor kernels -----------------------------------------------------------------------
// Each kernel is used only where the processor running the program has its instructions.

// Folds `blocks` (at least one) 64-byte blocks at `data`, with the CRC-32 register `c` (the
// complemented running value) XORed into their first four bytes, down to the 16 bytes `out`,
// which are congruent to them modulo the CRC-32 polynomial: the CRC-32 register after `out`,
// started from zero, is the register after the blocks started from `c`. `data` need not be
// aligned.
using Crc32Fold = void (*)(uint32_t c, const uint8_t* data, size_t blocks, uint8_t out[16]);
// The fold for this processor, or nullptr where it has none. It asks the processor: callers ask
// once and keep the answer.
Crc32Fold crc32FoldKernel();

// Whether the processor has BMI1 and BMI2, so that loops built with QZN_TARGET_BMI2 may run; false
// where those loops are built as any other. Asks the processor once.
bool cpuHasBmi2();

// ---- Standard input and output as byte streams ----------------------------------------------
// An archive or file contents on a pipe: raw bytes, never translated (binary mode on Windows, no
// code page), never seeked, unbuffered.

// Up to `size` bytes, at least one unless the input has ended (0) or the read failed (-1, the
// reason left for systemErrorText).
int64_t readStandardInput(uint8_t* data, size_t size);
// All `size` bytes, or false on a failure (reason left for systemErrorText); `readerGone` is set
// when the reading end of a pipe has closed.
bool writeStandardOutput(const uint8_t* data, size_t size, bool& readerGone);
bool standardOutputIsTerminal();

// ---- Clock and keyboard ---------------------------------------------------------------------

int64_t clockMs();         // milliseconds from an arbitrary start, monotonic
int readAnswerCharacter(); // one character of standard input, the rest of the line discarded;
                           // EOF (-1) at end of input

} // namespace qzn
