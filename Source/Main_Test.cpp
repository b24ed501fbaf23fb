// The test mode: decodes everything and compares the CRC-32 values without creating or opening
// any output file.
#include "Files.h"
#include "IO.h"
#include "Main.h"
#include "Main_Header.h"
#include "Platform.h"

namespace qzn {

void test(Archiver& archiver, const std::wstring& archivePath) {
    BitReader reader;
    FileStream stream;
    ArchiveInput archive;
    openArchiveForReading(archive, archivePath, reader, stream);

    loadArchiveHeader(reader, DecodingMode::Test, archiver);

    decodeContents(archiver, stream, reader, archive.name, false);

    if (archiver.skipCrc) {
        printWide(L"Archive does not include crc32 information, skipping verification\n");
    } else {
        // No output paths exist when testing; a mismatch names the file by its stored path.
        stream.verifyCrcs();
    }
}

} // namespace qzn
