// The test mode: decodes everything, or what the names given pick, and compares the CRC-32
// values without creating or opening any output file.
#include "Files.h"
#include "IO.h"
#include "Main.h"
#include "Main_Header.h"
#include "Platform.h"

namespace qzn {

void test(Archiver& archiver, const std::wstring& archivePath,
          const std::vector<std::wstring>& names) {
    OpenArchive archive;
    openArchiveForReading(archive.input, archivePath, archive.reader, archive.stream);
    testOpened(archiver, archive, names);
}

void testOpened(Archiver& archiver, OpenArchive& opened, const std::vector<std::wstring>& names) {
    BitReader& reader = opened.reader;
    FileStream& stream = opened.stream;
    ArchiveInput& archive = opened.input;
    if (!names.empty()) selectForRun(stream, names);

    loadArchiveHeader(reader, DecodingMode::Test, archiver);

    const ChunkRange range =
        names.empty() ? ChunkRange{} : selectedChunks(stream, archiver.windowBits);
    decodeContents(archiver, stream, reader, archive.name, false, range);
    // A run that stopped after its last named file leaves the rest of a pipe unread.
    if (!names.empty()) readToTheEnd(archive);

    if (archiver.skipCrc) {
        printWide(L"Archive does not include crc32 information, skipping verification\n");
    } else {
        // No output paths exist when testing; a mismatch names the file by its stored path.
        stream.verifyCrcs();
    }
    if (stream.incomplete) stopRun(1, kStopWarning); // a name was not found, and said so
}

} // namespace qzn
