// The command line's side of a run: the console lines, the overwrite question, the standard
// streams, the exit status and the list.
#include "Cli.h"

#include "Platform.h"

namespace qzn {

void printText(void*, qzn_text_kind kind, const char* text) {
    printRunText(kind == QZN_TEXT_PROGRESS ? TextKind::Progress
                 : kind == QZN_TEXT_ERROR  ? TextKind::Error
                                           : TextKind::Line,
                 text);
}

qzn_overwrite askOverwrite(void* user, const char* path, const char* what) {
    CliRun& run = *static_cast<CliRun*>(user);
    const std::wstring name = fromUtf8(path);
    if (what) {
        const std::wstring kind = fromUtf8(what);
        printQuestion(L"\nError: Output file %ls already exists as a %ls. Press Y to replace the "
                      L"%ls with the file, A to overwrite all, or any other key to exit: ",
                      name.c_str(), kind.c_str(), kind.c_str());
    } else {
        printQuestion(L"\nError: Output file %ls already exists. Press Y to overwrite it, A to "
                      L"overwrite all, or any other key to exit: ",
                      name.c_str());
    }
    int answer = readAnswerCharacter();
    // No one there to answer (a script with no input): nothing was done, which is no success.
    if (answer == EOF) {
        run.noAnswer = true;
        return QZN_OVERWRITE_STOP;
    }
    if (answer >= 'A' && answer <= 'Z') answer += 'a' - 'A';
    if (answer == 'y') return QZN_OVERWRITE_REPLACE;
    if (answer == 'a') return QZN_OVERWRITE_REPLACE_ALL;
    return QZN_OVERWRITE_STOP;
}

int writeStandardOutputBytes(void* user, const void* data, size_t size) {
    CliRun& run = *static_cast<CliRun*>(user);
    bool readerGone = false;
    if (writeStandardOutput(static_cast<const uint8_t*>(data), size, readerGone)) return 0;
    run.writeFailed = true;
    run.readerGone = readerGone;
    run.writeFailure = systemErrorText();
    return 1;
}

ptrdiff_t readStandardInputBytes(void*, void* buffer, size_t size) {
    return ptrdiff_t(readStandardInput(static_cast<uint8_t*>(buffer), size));
}

int writeContents(void* user, uint64_t, const void* bytes, size_t size) {
    return writeStandardOutputBytes(user, bytes, size);
}

int exitStatus(qzn_status status, const CliRun& run, bool contents) {
    if (run.writeFailed) {
        // The archive or the files' contents could not go out: said as the library says a failed
        // write of a file. A reader gone is what a shell reports for a process SIGPIPE ended.
        const std::wstring text =
            L"Error: Failed to write standard output\n" + visibleText(run.writeFailure) + L"\n";
        if (contents || run.readerGone)
            printRunText(TextKind::Line, toUtf8(L"\n" + text));
        else
            printRunText(TextKind::Error, toUtf8(text));
        return run.readerGone ? kReaderGoneStatus : 1;
    }
    if (status == QZN_OK) return run.noAnswer ? 1 : 0;
    if (status == QZN_ERROR_DAMAGED && qzn_last_error_check() != 0) return kAssertStatus;
    return 1;
}

void printList(const qzn_archive* archive) {
    const uint64_t count = qzn_entry_count(archive);
    unsigned files = 0, folders = 0;
    qzn_entry entry;
    for (uint64_t i = 0; i < count; ++i) {
        qzn_entry_get(archive, i, &entry);
        ++(entry.is_folder ? folders : files);
    }
    printWide(L"Files: %u\n", files);
    printWide(L"Directories: %u\n", folders);
    if (folders == 0) printWide(L"No directory\n");
    // Each folder's line: its parent's text, its name and a '/'. Parents come first.
    std::vector<std::wstring> prefixes(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
        qzn_entry_get(archive, i, &entry);
        if (entry.is_folder) {
            std::wstring& prefix = prefixes[size_t(i)];
            if (entry.parent >= 0) prefix = prefixes[size_t(entry.parent)];
            prefix += fromUtf8(entry.name) + L"/";
            printWide(L"Dir: %ls\n", prefix.c_str());
            continue;
        }
        // Rounded up without overflow; 64-bit so that sizes beyond 2 TB do not wrap.
        const long long kilobytes =
            static_cast<long long>(entry.size / 1024 + (entry.size % 1024 != 0));
        const std::wstring name = fromUtf8(entry.name);
        printWide(L"\t%ls (%lld KB, crc32: %X)\n", name.empty() ? L"(unnamed)" : name.c_str(),
                  kilobytes, entry.crc32);
    }
}

} // namespace qzn
