// The drivers of pack, unpack and test, and what they share.
#pragma once

#include "ContextLz.h"
#include "Files.h"
#include "IO.h"
#include "Platform.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qzn {

// The most threads a run uses.
constexpr int32_t kMaxThreads = 64;

// The number of hardware threads, 1 when unknown, at most kMaxThreads.
int32_t hardwareThreads();

struct Archiver {
    int32_t tableBits = 12;
    int32_t hashBits = 13;
    int32_t windowBits = 23;
    int32_t chainLimit = levelSettings(kDefaultLevel).chainLimit;
    int32_t lookaheadLimit = levelSettings(kDefaultLevel).lookaheadLimit;
    int32_t parseMode = levelSettings(kDefaultLevel).parseMode;
    bool forceOverwrite = false;
    bool skipCrc = false;
    int32_t channels = 0;
    int32_t threads = hardwareThreads(); // as given; threadCount clamps it to 1..kMaxThreads
    std::vector<std::wstring> excludes;  // -exclude patterns: what a pack leaves out
};

// "-" as the archive path is standard output.
void pack(Archiver& archiver, const std::wstring& inputPath, const std::wstring& archivePath);
// Packs into the archive file at `archivePath`, or with `toStream` into that sink, which
// `archiveName` names in messages. No path is special.
void packInto(Archiver& archiver, const std::wstring& inputPath, const std::wstring& archivePath,
              ByteSink* toStream, const std::wstring& archiveName);

// The search settings of compression level 1..6.
void applyLevel(Archiver& archiver, int level);
// `names`, when given, pick the files to unpack or test (FileList::selectNames).
void unpack(Archiver& archiver, const std::wstring& archivePath, const std::wstring& outputPath,
            const std::vector<std::wstring>& names = {});
void test(Archiver& archiver, const std::wstring& archivePath,
          const std::vector<std::wstring>& names = {});

// ---- Shared by the drivers -------------------------------------------------------------------

class BitReader;
struct FileStream;
struct FileList;

// The command line's reading of a flag value, defined there (cli/Cli_Main.cpp) and declared here
// for its tests.
int32_t parseFlagValue(const std::string& text);

// Progress text of a pass: "done/total MB", with the speed of the previous chunk once one has
// been timed and the pass is not complete. `previousSeconds` < 0 means no chunk timed yet.
std::string progressText(uint64_t done, uint64_t total, double previousSeconds, int32_t windowBits);

// Bytes per second figures that stay finite when the time or the size is 0.
double megabytesPerSecond(double bytes, double seconds);

// "-" in the place of the archive (or of unpack's output) names standard input or output; a
// file really called "-" is reached as "./-".
inline bool isStandardStream(const std::wstring& path) {
    return path == L"-";
}

// An open archive, closed when the driver ends, also when a stop unwinds it in tests.
struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// The archive a reading mode reads: a file, or a stream (standard input for "-", or a source the
// caller gives). The reader reads through it, so it stays where it is while the reader is in use.
struct ArchiveInput {
    FileHandle file; // empty for a stream
    StandardInput standardInput;
    ByteSource* stream = nullptr; // the stream, when there is no file
    std::wstring name;            // how messages name it: the path, or "standard input"
    bool onStandardInput() const { return !file; }
};

// Opens an archive for reading and loads the file table; stops the run when it cannot be opened.
void openArchiveForReading(ArchiveInput& archive, const std::wstring& archivePath,
                           BitReader& reader, FileStream& stream);
// The same for the archive file at `archivePath`, whatever its name.
void openArchiveFile(ArchiveInput& archive, const std::wstring& archivePath, BitReader& reader,
                     FileStream& stream);
// The same from a byte source, which `name` names in messages.
void openArchiveFromSource(ArchiveInput& archive, ByteSource& source, const std::wstring& name,
                           BitReader& reader, FileStream& stream);

// Reads what is left of an archive on a stream and drops it: a pack still writing into the pipe
// would otherwise be cut off and fail. Nothing for an archive file.
void readToTheEnd(ArchiveInput& archive);

// An archive opened for reading with its file table loaded: where a run goes on from.
struct OpenArchive {
    ArchiveInput input;
    BitReader reader;
    FileStream stream;
};

// Unpack and test of an open archive, as unpack and test go on after the open. Unpack writes the
// files under `outputPath`, or with `contents` every selected file's bytes into that sink, which
// `contentsName` names in messages.
void unpackOpened(Archiver& archiver, OpenArchive& archive, const std::wstring& outputPath,
                  const std::vector<std::wstring>& names, ByteSink* contents = nullptr,
                  const std::wstring& contentsName = {},
                  const std::function<void(uint64_t)>& onFile = {});
void testOpened(Archiver& archiver, OpenArchive& archive, const std::vector<std::wstring>& names);

// The chunks of the contents stream a run delivers: those before `first` are only followed (the
// models advance, no byte is rebuilt or delivered), those from `first` up to `end` are decoded
// and delivered, and nothing after `end` is read. The default: every chunk.
struct ChunkRange {
    uint64_t first = 0;
    uint64_t end = UINT64_MAX;
};

// The chunks that hold the selected files (FileList::selectedSpan), with the stream placed at
// the first of them.
ChunkRange selectedChunks(FileStream& stream, int32_t windowBits);

// Decodes the chunks of the contents stream that `range` delivers into `stream` (writing files
// or only counting), with the memory line, progress lines and the statistics line, on as many
// threads as the settings give. Releases the reader's buffer. `archiveName` names the archive in
// messages.
void decodeContents(Archiver& archiver, FileStream& stream, BitReader& reader,
                    const std::wstring& archiveName, bool doWrite, ChunkRange range = {});

// Selects what `names` pick in a list just read. Each name that picks nothing is an error,
// reported here (the run then ends with status 1); when nothing is picked at all the run ends.
void selectForRun(FileStream& stream, const std::vector<std::wstring>& names);

} // namespace qzn
