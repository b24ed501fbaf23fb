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
    while (wanted > 0) {
        if (current >= files.size()) break;
        const FileEntry& file = files[current];
        if (file.duplicateOf != kNoDuplicate) {
            ++current;
            continue;
        }
        if (!handle) {
            handle = openFile(file.path, "rb");
            if (!handle) fatalWide(L"Error: Failed to open %ls\n", file.path.c_str());
            offset = 0;
            zeroFill = false;
        }
        // Each file contributes exactly its measured size, so the stream always matches the
        // file table written before it, even when a file changes under us.
        const size_t n = size_t(std::min<uint64_t>(uint64_t(wanted), file.size - offset));
        size_t got = 0;
        if (!zeroFill) {
            while (got < n) {
                size_t r = std::fread(buffer + got, 1, n - got, handle);
                got += r;
                if (r == 0) break;
            }
            if (got < n) {
                printWide(std::ferror(handle)
                              ? L"\nWarning: Failed to read %ls, the rest is stored as zeros\n"
                              : L"\nWarning: %ls changed size while packing\n",
                          file.path.c_str());
                inputChanged = true;
                zeroFill = true;
            }
        }
        std::memset(buffer + got, 0, n - got);
        offset += n;
        buffer += n;
        delivered += int32_t(n);
        wanted -= int32_t(n);
        if (offset == file.size) {
            if (!zeroFill && std::fgetc(handle) != EOF) {
                printWide(L"\nWarning: %ls changed size while packing\n", file.path.c_str());
                inputChanged = true;
            }
            std::fclose(handle);
            handle = nullptr;
            zeroFill = false;
            offset = 0;
            ++current;
        }
    }
    return delivered;
}

uint64_t FileStream::consumed() const {
    uint64_t total = 0;
    for (uint64_t i = 0; i < current && i < files.size(); ++i)
        if (files[i].duplicateOf == kNoDuplicate) total += files[i].size;
    if (handle) total += offset;
    return total;
}

void confirmOverwrite(FileStream& stream, const std::wstring& path) {
    FILE* existing = openFile(path, "rb");
    if (stream.overwriteAll) {
        if (existing) std::fclose(existing);
        return;
    }
    if (!existing) return;
    std::fclose(existing);
    printWide(L"\nError: Output file %ls already exists. Press Y to overwrite it, A to overwrite "
              L"all, or any other key to exit: ",
              path.c_str());
    int answer = readAnswerCharacter();
    if (answer >= 'A' && answer <= 'Z') answer += 'a' - 'A';
    if (answer == 'y') return;
    if (answer == 'a') {
        stream.overwriteAll = 1;
        return;
    }
    stopProcess(0);
}

void FileStream::closeOutput() {
    if (!handle) return;
    FILE* file = handle;
    handle = nullptr;
    // Buffered bytes reach the disk only now; a full disk shows up here.
    if (std::fclose(file) != 0)
        fatalWide(L"Error: Failed to write %ls\n", files[current].path.c_str());
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
            confirmOverwrite(*this, file.path);
            handle = openFile(file.path, "wb");
            if (!handle) fatalWide(L"Error: Failed to open %ls\n", file.path.c_str());
        }
        const uint64_t left = offset < file.size ? file.size - offset : 0;
        const int32_t n = int32_t(std::min<uint64_t>(uint64_t(count), left));
        if (n > 0) {
            if (doWrite && std::fwrite(bytes, 1, size_t(n), handle) != size_t(n))
                fatalWide(L"Error: Failed to write %ls\n", file.path.c_str());
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
        confirmOverwrite(*this, file.path);
        handle = openFile(file.path, "wb");
        if (!handle) fatalWide(L"Error: Failed to open %ls\n", file.path.c_str());
        closeOutput();
    }
    offset = 0;
}

} // namespace qzn
