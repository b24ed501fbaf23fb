// Unpack driver: recreates the stored file or folder tree at the output path, or writes every
// file's bytes to standard output.
#include "Files.h"
#include "IO.h"
#include "Main.h"
#include "Main_Header.h"
#include "Platform.h"

#include <optional>

namespace qzn {

void unpack(Archiver& archiver, const std::wstring& archivePath, const std::wstring& outputPath,
            const std::vector<std::wstring>& names) {
    BitReader reader;
    FileStream stream;
    ArchiveInput archive;
    openArchiveForReading(archive, archivePath, reader, stream);
    stream.overwriteAll = archiver.forceOverwrite ? 1 : 0;
    stream.noAnswers = archive.onStandardInput();
    // Names are matched against the stored paths, before the output takes the root's place.
    if (!names.empty()) selectForRun(stream, names);

    StandardOutput standardOutput;
    std::optional<ContentsSink> sink;
    if (isStandardStream(outputPath)) {
        // The files' bytes in list order, and nothing made on disk: no tree, no question, and no
        // output that could replace the archive.
        sink.emplace(standardOutput, stream, L"standard output");
        stream.sink = &*sink;
    } else {
        if (!stream.dirs.empty()) {
            stream.dirs[0].name = outputPath;
        } else if (stream.files.size() == 1) {
            stream.files[0].name = outputPath;
            stream.files[0].path = outputPath;
        }
        // No output may replace the archive: a single file that would is refused before anything
        // is made, a file of a tree when it is reached. Standard input is no file to protect.
        if (archive.file) stream.protectArchive(archive.file.get(), archivePath);
        // Refuses stored names that could leave the output folder before it creates anything.
        stream.createOutputTree();
    }

    loadArchiveHeader(reader, DecodingMode::Unpack, archiver);
    stream.checkCrcs = !archiver.skipCrc;

    const ChunkRange range =
        names.empty() ? ChunkRange{} : selectedChunks(stream, archiver.windowBits);
    decodeContents(archiver, stream, reader, archive.name, true, range);
    // A run that stopped after its last named file leaves the rest of a pipe unread.
    if (!names.empty()) readToTheEnd(archive);

    stream.finishOutput();
    stream.restoreDuplicates();
    if (!archiver.skipCrc) stream.verifyCrcs();
    // Something was left out or not found, and said so: the rest is unpacked, but not all that
    // was asked.
    if (stream.incomplete) stopProcess(1);
}

} // namespace qzn
