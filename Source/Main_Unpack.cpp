// Unpack driver: recreates the stored file or folder tree at the output path.
#include "Files.h"
#include "IO.h"
#include "Main.h"
#include "Platform.h"

namespace qzn {

void unpack(Archiver& archiver, const std::wstring& archivePath, const std::wstring& outputPath) {
    BitReader reader;
    FileStream stream;
    FILE* archive = openArchiveForReading(archivePath, reader, stream);
    stream.overwriteAll = archiver.forceOverwrite ? 1 : 0;

    // Stored names become paths below the output folder: refuse any that could leave it before
    // the first folder or file is created.
    std::wstring badName;
    if (!stream.namesAreSafe(badName))
        fatalWide(L"Error: Unsafe name in archive: %ls\n", badName.c_str());

    if (!stream.dirs.empty()) {
        stream.dirs[0].name = outputPath;
    } else if (stream.files.size() == 1) {
        stream.files[0].name = outputPath;
        stream.files[0].path = outputPath;
    }
    stream.createOutputTree();

    readArchiveParameters(reader, archiver);
    archiver.tableBits = clampBits(archiver.tableBits, 7, 12);
    archiver.hashBits = clampBits(archiver.hashBits, 7, 17);
    archiver.windowBits = clampBits(archiver.windowBits, 16, 27);

    decodeContents(archiver, stream, reader, archive, true);

    stream.finishOutput();
    stream.restoreDuplicates();
    if (!archiver.skipCrc) stream.verifyCrcs();
    std::fclose(archive);
}

} // namespace qzn
