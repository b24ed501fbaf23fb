// The contents stream: the bytes of every non-duplicate file in list order, read from the input
// files on packing and spread over the output files on unpacking.
#include "Files.h"

#include <algorithm>
#include <cstring>

namespace qzn {

FileStream::~FileStream() {
    // Only reached with a file open when a run ends early; nothing is left to report then.
    if (handle) std::fclose(handle);
}

int32_t FileStream::read(uint8_t* buffer, int32_t wanted) {
    int32_t delivered = 0;
    bool lineEnded = false; // a warning of this call ended the console line
    while (wanted > 0) {
        if (current >= files.size()) break;
        const FileEntry& file = files[current];
        // Duplicates are not in the stream; empty files add nothing to it and were checked
        // for hidden bytes when measured.
        if (file.duplicateOf != kNoDuplicate || file.size == 0) {
            ++current;
            continue;
        }
        if (!started) {
            started = true;
            offset = 0;
            zeroFill = false;
            reported = false;
            runningCrc = 0;
            cached = cache.find(current);
            // The path is ready before the open, so that nothing comes between a failure and
            // the system's reason for it.
            const std::wstring path = cached ? std::wstring() : pathOf(current);
            if (!cached && !input.open(path)) {
                // Gone or locked since it was measured. Its size is in the file table already,
                // so it is stored as zeros, like a file that fails to read part way.
                printWithReason(L"\nWarning: Failed to open %ls, it is stored as zeros\n",
                                path.c_str());
                inputChanged = true;
                zeroFill = reported = lineEnded = true;
            }
        }
        // Each file contributes exactly its measured size, so the stream always matches the
        // file table written before it, even when a file changes under us.
        const size_t n = size_t(std::min<uint64_t>(uint64_t(wanted), file.size - offset));
        const bool last = offset + n == file.size;
        size_t got = n;
        if (cached) {
            std::memcpy(buffer, cached + offset, n);
        } else if (!zeroFill) {
            // At the file's end one more byte is asked for in the same call when the buffer
            // has room: it shows a file that grew, without a read of its own.
            const bool probe = last && n < size_t(wanted);
            int64_t r = input.read(buffer, n + (probe ? 1 : 0), n);
            got = r < 0 ? 0 : size_t(r);
            if (got < n) {
                printWide(r < 0 ? L"\nWarning: Failed to read %ls, the rest is stored as zeros\n"
                                : L"\nWarning: %ls changed size while packing\n",
                          pathOf(current).c_str());
                inputChanged = true;
                zeroFill = reported = lineEnded = true;
            } else if (last) {
                uint8_t more;
                if (got > n || (!probe && input.read(&more, 1) > 0)) {
                    printWide(L"\nWarning: %ls changed size while packing\n",
                              pathOf(current).c_str());
                    inputChanged = true;
                    reported = lineEnded = true;
                }
                got = n;
            }
        } else {
            got = 0;
        }
        std::memset(buffer + got, 0, n - got);
        // Kept bytes are those the CRC was computed from; others are checked as they go by.
        if (checkCrcs && !cached) runningCrc = crc32Update(runningCrc, buffer, int32_t(n));
        offset += n;
        buffer += n;
        delivered += int32_t(n);
        streamed += n;
        wanted -= int32_t(n);
        if (last) {
            // Not the bytes it was measured with, which its copies were found to hold.
            if (checkCrcs && !cached && runningCrc != file.crc) {
                if (!reported) {
                    printWide(L"\nWarning: %ls changed while packing\n", pathOf(current).c_str());
                    lineEnded = true;
                }
                inputChanged = true;
                lineEnded = warnAboutCopies(current, lineEnded);
            }
            input.close();
            cached = nullptr;
            started = false;
            zeroFill = false;
            offset = 0;
            ++current;
        }
    }
    return delivered;
}

bool FileStream::warnAboutCopies(uint64_t original, bool lineEnded) {
    if (copies.empty()) copies = CopyGroups(*this);
    const std::wstring source = pathOf(original);
    for (uint64_t copy : copies.of(original)) {
        printWide(L"%lsWarning: %ls is stored as a copy of %ls\n", lineEnded ? L"" : L"\n",
                  pathOf(copy).c_str(), source.c_str());
        lineEnded = true;
    }
    return lineEnded;
}

uint64_t FileStream::consumed() const {
    return streamed;
}

std::mutex& questionMutex() {
    static std::mutex mutex;
    return mutex;
}

void confirmOverwrite(FileStream& stream, const std::wstring& path) {
    confirmOverwrite(stream.overwriteAll, path);
}

void confirmOverwrite(uint8_t& overwriteAll, const std::wstring& path) {
    if (overwriteAll) return;
    FILE* existing = openFile(path, "rb");
    if (!existing) return;
    std::fclose(existing);
    std::lock_guard<std::mutex> asking(questionMutex());
    printWide(L"\nError: Output file %ls already exists. Press Y to overwrite it, A to overwrite "
              L"all, or any other key to exit: ",
              path.c_str());
    int answer = readAnswerCharacter();
    // No one there to answer (a script with no input): nothing was done, which is no success.
    if (answer == EOF) stopProcess(1);
    if (answer >= 'A' && answer <= 'Z') answer += 'a' - 'A';
    if (answer == 'y') return;
    if (answer == 'a') {
        overwriteAll = 1;
        return;
    }
    stopProcess(0);
}

void FileStream::closeOutput() {
    if (!handle) return;
    FILE* file = handle;
    handle = nullptr;
    // Buffered bytes reach the disk only now; a full disk shows up here.
    if (std::fclose(file) != 0) fatalWide(L"Error: Failed to write %ls\n", pathOf(current).c_str());
    output.keep();
}

// Registered before it is created, so that an interrupt at any point takes it away again.
void FileStream::openOutput(const std::wstring& path) {
    output.track(path);
    handle = openFile(path, "wb");
    if (!handle) fatalWide(L"Error: Failed to open %ls\n", path.c_str());
}

void FileStream::write(const uint8_t* bytes, int32_t count, bool doWrite) {
    while (count > 0) {
        if (current >= files.size()) return;
        FileEntry& file = files[current];
        if (file.duplicateOf != kNoDuplicate) {
            ++current;
            continue;
        }
        if (!handle && doWrite) {
            const std::wstring path = pathOf(current);
            confirmOverwrite(*this, path);
            openOutput(path);
        }
        const uint64_t left = offset < file.size ? file.size - offset : 0;
        const int32_t n = int32_t(std::min<uint64_t>(uint64_t(count), left));
        if (n > 0) {
            if (doWrite && std::fwrite(bytes, 1, size_t(n), handle) != size_t(n))
                fatalWide(L"Error: Failed to write %ls\n", pathOf(current).c_str());
            file.actualCrc = crc32Update(uint32_t(file.actualCrc), bytes, n);
        }
        offset += uint64_t(n);
        bytes += n;
        count -= n;
        if (n == 0 || offset >= file.size) {
            closeOutput();
            ++current;
            offset = 0;
        }
    }
}

void FileStream::finishOutput() {
    if (handle || offset != 0) {
        // A file the stream ended inside keeps what it got.
        closeOutput();
        ++current;
        offset = 0;
    }
    for (; current < files.size(); ++current) {
        const FileEntry& file = files[current];
        if (file.duplicateOf != kNoDuplicate) continue;
        const std::wstring path = pathOf(current);
        confirmOverwrite(*this, path);
        openOutput(path);
        closeOutput();
    }
    offset = 0;
}

} // namespace qzn
