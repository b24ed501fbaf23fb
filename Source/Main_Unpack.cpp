// Unpack driver: recreates the stored file or folder tree at the output path, or writes every
// file's bytes into one byte sink (standard output).
#include "Files.h"
#include "IO.h"
#include "Main.h"
#include "Main_Header.h"
#include "Platform.h"

#include <optional>

namespace qzn {

void unpack(Archiver& archiver, const std::wstring& archivePath, const std::wstring& outputPath,
            const std::vector<std::wstring>& names) {
    OpenArchive archive;
    openArchiveForReading(archive.input, archivePath, archive.reader, archive.stream);
    if (!isStandardStream(outputPath)) {
        unpackOpened(archiver, archive, outputPath, names);
        return;
    }
    StandardOutput standardOutput;
    unpackOpened(archiver, archive, outputPath, names, &standardOutput, L"standard output");
}

void unpackOpened(Archiver& archiver, OpenArchive& archive, const std::wstring& outputPath,
                  const std::vector<std::wstring>& names, ByteSink* contents,
                  const std::wstring& contentsName, const std::function<void(uint64_t)>& onFile) {
    BitReader& reader = archive.reader;
    FileStream& stream = archive.stream;
    stream.overwriteAll = archiver.forceOverwrite ? 1 : 0;
    // A stream the archive comes from (standard input) cannot answer the question too.
    RunHooks* run = currentRun();
    stream.noAnswers = archive.input.onStandardInput() && (!run || !run->canDecide());
    stream.answersFrom = archive.input.name;
    // Names are matched against the stored paths, before the output takes the root's place.
    if (!names.empty()) selectForRun(stream, names);
    std::optional<ContentsSink> sink;
    if (contents) {
        // The files' bytes in list order, and nothing made on disk: no tree, no question, and no
        // output that could replace the archive.
        sink.emplace(*contents, stream, contentsName);
        sink->onFile = onFile;
        stream.sink = &*sink;
    } else {
        if (!stream.dirs.empty()) {
            stream.dirs[0].name = outputPath;
        } else if (stream.files.size() == 1) {
            stream.files[0].name = outputPath;
            stream.files[0].path = outputPath;
        }
        // No output may replace the archive: a single file that would is refused before anything
        // is made, a file of a tree when it is reached. A stream is no file to protect.
        if (archive.input.file) stream.protectArchive(archive.input.file.get(), archive.input.name);
        // Refuses stored names that could leave the output folder before it creates anything.
        stream.createOutputTree();
    }
    loadArchiveHeader(reader, DecodingMode::Unpack, archiver);
    stream.checkCrcs = !archiver.skipCrc;
    const ChunkRange range =
        names.empty() ? ChunkRange{} : selectedChunks(stream, archiver.windowBits);
    decodeContents(archiver, stream, reader, archive.input.name, true, range);
    // A run that stopped after its last named file leaves the rest of a pipe unread.
    if (!names.empty()) readToTheEnd(archive.input);
    stream.finishOutput();
    stream.restoreDuplicates();
    if (!archiver.skipCrc) stream.verifyCrcs();
    // Something was left out or not found, and said so: the rest is unpacked, but not all that
    // was asked.
    if (stream.incomplete) stopRun(1, kStopWarning);
}

} // namespace qzn
