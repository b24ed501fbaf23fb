// The command line: a client of the library's C interface (qzn.h) for all archive work, and of
// the platform layer (Platform.h) for its console, its arguments, the overwrite question and the
// interrupts that remove unfinished files.
#pragma once

#include <qzn.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qzn {

// The wide-character entry: arguments including the program name; returns the exit code.
int qznMain(const std::vector<std::wstring>& arguments);

// "-" in the place of the archive (or of unpack's output) names standard input or output; a
// file really called "-" is reached as "./-".
inline bool isStandardStreamArgument(const std::wstring& path) {
    return path == L"-";
}

// Parses a base-10 integer the way the flag values are read: leading white space, an optional
// sign, digits up to the first non-digit; 0 without digits. Saturates at the int32 limits.
int32_t parseFlagValue(const std::string& text);

// What a run of the command line keeps beside the library: the state of standard output and
// of the overwrite question, which decide the exit status together with the library's status.
struct CliRun {
    bool writeFailed = false; // standard output refused bytes
    bool readerGone = false;  // ... because its reader went away
    std::wstring writeFailure;
    bool noAnswer = false; // the overwrite question found no one to answer it
};

// The callbacks through which the library reaches the console, the terminal and the standard
// streams; `user` is a CliRun.
void printText(void* user, qzn_text_kind kind, const char* text);
qzn_overwrite askOverwrite(void* user, const char* path, const char* what);
int writeStandardOutputBytes(void* user, const void* data, size_t size);
ptrdiff_t readStandardInputBytes(void* user, void* buffer, size_t size);
int writeContents(void* user, uint64_t entry, const void* bytes, size_t size);

// The exit status of a run that ended with `status`: 0, 1, 3 for a failed check, 141 when the
// reader of standard output went away. A failed write to standard output is reported here.
int exitStatus(qzn_status status, const CliRun& run, bool contents);

// Prints the entries of an open archive as the list mode shows them.
void printList(const qzn_archive* archive);

} // namespace qzn
