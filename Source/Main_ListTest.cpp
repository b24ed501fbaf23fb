// The two read-only modes: list prints the stored tree, test decodes everything and compares
// the CRC-32 values without creating or opening any output file.
#include "Files.h"
#include "IO.h"
#include "Main.h"
#include "Platform.h"

namespace qzn {

namespace {

void printFile(const FileEntry& entry) {
    // Rounded up without overflow; 64-bit so that sizes beyond 2 TB do not wrap.
    const long long kilobytes =
        static_cast<long long>(entry.size / 1024 + (entry.size % 1024 != 0));
    printWide(L"\t%ls (%lld KB, crc32: %X)\n",
              entry.name.empty() ? L"(unnamed)" : entry.name.c_str(), kilobytes, entry.crc);
}

void printDirectory(const FileList& list, uint64_t index, std::vector<uint64_t> ancestors) {
    printWide(L"Dir: ");
    for (uint64_t ancestor : ancestors) printWide(L"%ls/", list.dirs[ancestor].name.c_str());
    printWide(L"%ls/\n", list.dirs[index].name.c_str());
    ancestors.push_back(index);
    for (uint64_t child : list.dirs[index].subdirs) printDirectory(list, child, ancestors);
    for (uint64_t file : list.dirs[index].files) printFile(list.files[file]);
}

} // namespace

void list(const std::wstring& archivePath) {
    BitReader reader;
    FileStream stream;
    FileHandle archive = openArchiveForReading(archivePath, reader, stream);

    printWide(L"Files: %u\n", static_cast<unsigned>(stream.files.size()));
    printWide(L"Directories: %u\n", static_cast<unsigned>(stream.dirs.size()));
    if (stream.dirs.empty()) {
        printWide(L"No directory\n");
        for (const FileEntry& entry : stream.files) printFile(entry);
    } else {
        printDirectory(stream, 0, {});
    }
}

void test(Archiver& archiver, const std::wstring& archivePath) {
    BitReader reader;
    FileStream stream;
    FileHandle archive = openArchiveForReading(archivePath, reader, stream);

    // Used as stored, so a small window written for a small input decodes with that window.
    // Values no pack writes mean a damaged archive; the codec must not be sized from them.
    readArchiveParameters(reader, archiver);
    if (archiver.tableBits < 7 || archiver.tableBits > 12 || archiver.hashBits < 7 ||
        archiver.hashBits > 17 || archiver.windowBits < 1 || archiver.windowBits > 27)
        fatalWide(L"Error: Corrupt archive: invalid codec parameters\n");

    decodeContents(archiver, stream, reader, archive.get(), archivePath, false);

    if (archiver.skipCrc) {
        printWide(L"Archive does not include crc32 information, skipping verification\n");
    } else {
        // No output paths exist when testing; a mismatch names the file by its stored path.
        for (uint64_t i = 0; i < stream.files.size(); ++i)
            stream.files[i].path = stream.storedPath(i);
        stream.verifyCrcs();
    }
}

} // namespace qzn
