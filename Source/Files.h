// The file list (a breadth-first numbered directory tree plus one flat list of files, linked by
// index), the input scan, the file table, CRC-32, duplicates and the output tree.
#pragma once

#include "IO.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qzn {

inline constexpr const char* kFilesSource = "Source/Files.cpp";
constexpr uint32_t kNoDuplicate = 0xFFFFFFFF;
constexpr uint64_t kNoParent = ~uint64_t(0);

struct FileEntry {
    std::wstring name; // own name in a tree list; the path as typed in a single-file list
    std::wstring path; // input file when packing, output file when unpacking; never stored
    uint64_t size = 0;
    uint64_t dirIndex = 0;
    uint32_t crc = 0;
    uint32_t duplicateOf = kNoDuplicate;
    uint64_t actualCrc = 0; // CRC-32 of the bytes produced while unpacking or testing
};

struct DirEntry {
    std::wstring name;
    std::vector<uint64_t> subdirs;
    std::vector<uint64_t> files;
};

struct FileList {
    std::vector<DirEntry> dirs;
    std::vector<FileEntry> files;

    // Files whose identity is in leaveOut (the archive being written and its temporary file) are
    // not listed; each one met gets a warning.
    void scan(const std::wstring& inputPath, const std::vector<FileId>& leaveOut = {});
    void measure(bool withCrc);
    void findDuplicates();
    void checkConsistency() const;
    void writeTable(BitWriter& writer) const;
    void readTable(BitReader& reader);
    void createOutputTree();
    void restoreDuplicates() const;
    void verifyCrcs() const;
    uint64_t totalSize() const;

    // False when a stored name could escape or clash with the output folder: any name but the
    // root's that is empty, "." or "..", holds "/", "\\" or NUL, or starts with a drive ("C:").
    // badName then gets the entry's stored path. A single-file list stores no name and passes.
    bool namesAreSafe(std::wstring& badName) const;
    // The file's path inside the archive ("sub/a.txt"); "(unnamed)" for a single file.
    std::wstring storedPath(uint64_t fileIndex) const;
};

// A FileList followed by the cursor over the concatenated contents of its non-duplicate files.
struct FileStream : FileList {
    uint64_t current = 0;
    uint64_t offset = 0;
    FILE* handle = nullptr;
    uint8_t overwriteAll = 0;
    // Set when an input file's length no longer matched its measured size while packing: the
    // stream still carried exactly the measured bytes, but the pack must not report success.
    bool inputChanged = false;
    // The current input file ended early or failed to read: its remaining bytes are zeros.
    bool zeroFill = false;

    FileStream() = default;
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;
    ~FileStream();

    int32_t read(uint8_t* buffer, int32_t wanted);
    uint64_t consumed() const;
    void write(const uint8_t* bytes, int32_t count, bool doWrite);
    // After the last chunk: creates the output files the stream never reached (all empty in a
    // consistent archive) exactly as write creates a file, and closes any open output file.
    void finishOutput();
    // Closes the open output file; a failed close (lost buffered data) is a fatal write error.
    void closeOutput();
};

void confirmOverwrite(FileStream& stream, const std::wstring& path);

uint32_t crc32Update(uint32_t previous, const uint8_t* buffer, int32_t length);
uint32_t crc32OfFile(FILE* file, const std::wstring& label);
uint64_t fileSize(const std::wstring& path); // ~0 on failure
bool filesEqual(const std::wstring& a, const std::wstring& b);

} // namespace qzn
