// Reading an archive as unpack and test share it: the open with its file table, and the chunk
// loop that decodes the contents stream into the files (or only counts it).
#include "ContextLz.h"
#include "Files.h"
#include "Main.h"
#include "Main_Pipeline.h"
#include "Platform.h"

#include <cinttypes>
#include <vector>

namespace qzn {

// Missing data reads as zero bits and would decode to plausible garbage; a valid archive never
// asks for a segment past its end, so running out is damage, reported as such.
// A failed read ends the archive just as well; its reason is said.
static void checkNotTruncated(const BitReader& reader, const std::wstring& archiveName) {
    if (!reader.readFailure.empty())
        fatalWide(L"\nError: Failed to read %ls\n%ls\n", archiveName.c_str(),
                  reader.readFailure.c_str());
    if (reader.truncated)
        fatalWide(L"\nError: Corrupt archive: %ls ends before its data\n", archiveName.c_str());
}

void openArchiveForReading(ArchiveInput& archive, const std::wstring& archivePath,
                           BitReader& reader, FileStream& stream) {
    if (isStandardStream(archivePath)) {
        // Read front to back in whatever pieces arrive; nothing is ever sought.
        archive.name = L"standard input";
        reader.source = &archive.standardInput;
    } else {
        // A folder would open on POSIX and then read as an archive cut off at its start.
        if (isDirectory(archivePath)) fatalWide(L"Error: %ls is a folder\n", archivePath.c_str());
        archive.file.reset(openFile(archivePath, "rb"));
        if (!archive.file) {
            printWithReason(L"Failed to open input %ls\n", archivePath.c_str());
            stopProcess(1);
        }
        archive.name = archivePath;
        reader.file = archive.file.get();
    }
    reader.openBuffer();
    reader.loadSegment();
    stream.readTable(reader);
    checkNotTruncated(reader, archive.name);
}

void selectForRun(FileStream& stream, const std::vector<std::wstring>& names) {
    for (const std::wstring& name : stream.selectNames(names)) {
        printWide(L"Error: %ls is not in the archive\n", name.c_str());
        stream.incomplete = true;
    }
    for (const FileEntry& file : stream.files)
        if (file.selected) return;
    for (const DirEntry& dir : stream.dirs)
        if (dir.selected) return;
    stopProcess(1); // nothing to do, and each name said so
}

ChunkRange selectedChunks(FileStream& stream, int32_t windowBits) {
    const StreamSpan span = stream.selectedSpan();
    if (span.end == span.begin) {
        // Empty files only: nothing is read, and they are made where the stream stands.
        stream.startAt(span.begin);
        return ChunkRange{0, 0};
    }
    ChunkRange range;
    range.first = span.begin >> windowBits;
    range.end = ((span.end - 1) >> windowBits) + 1;
    stream.startAt(range.first << windowBits);
    return range;
}

void decodeContents(Archiver& archiver, FileStream& stream, BitReader& reader,
                    const std::wstring& archiveName, bool doWrite, ChunkRange range) {
    ContextLz codec;
    codec.configure(archiver.tableBits, archiver.hashBits, archiver.windowBits);
    const int32_t capacity = int32_t(1) << archiver.windowBits;
    // A run that stops early reads the stream up to the end of its range: the figures below
    // count that stretch, the chunks followed included.
    const uint64_t total = range.end < chunkCount(stream.totalSize(), archiver.windowBits)
                               ? range.end << archiver.windowBits
                               : stream.totalSize();
    // The filter, CRC-32 and file writes run beside the decoder when there is more than a chunk.
    DecodedChunks output(stream, archiver.channels, doWrite, archiver.windowBits,
                         threadCount(archiver) > 1 && chunkCount(total, archiver.windowBits) > 1);
    uint64_t codecBytes = codec.allocateDecoder();
    printWide(L"Decoder %d:%d:%d memory: %d KB\n", archiver.windowBits, archiver.tableBits,
              archiver.hashBits,
              static_cast<int32_t>((output.memoryBytes() + kBitBufferBytes + codecBytes) >> 10));

    uint64_t remaining = total;
    uint64_t done = 0;
    double previousSeconds = -1.0;
    const int64_t startMs = clockMs();
    reader.checkpoint();
    checkNotTruncated(reader, archiveName);

    for (uint64_t index = 0; remaining > 0; ++index) {
        const int32_t len =
            remaining < uint64_t(capacity) ? static_cast<int32_t>(remaining) : capacity;
        const bool delivered = index >= range.first;
        uint8_t* chunk = delivered ? output.buffer() : nullptr;
        done += uint64_t(len);
        {
            std::lock_guard<std::mutex> notDuringAQuestion(questionMutex());
            printProgress(progressText(done, total, previousSeconds, archiver.windowBits));
        }
        remaining -= uint64_t(len);

        int64_t chunkStart = clockMs();
        if (delivered)
            codec.decodeChunk(chunk, len, reader);
        else
            codec.followChunk(len, reader);
        checkNotTruncated(reader, archiveName);
        if (delivered) output.submit(len);
        previousSeconds = double(clockMs() - chunkStart) / 1000.0;
    }
    output.finish();
    printProgressEnd("Done decompressing");

    const double seconds = double(clockMs() - startMs) * 0.001;
    printNarrow("%" PRId64 " -> %" PRId64 " in %.3f sec (%.2f MB/s)\n", int64_t(reader.consumed),
                int64_t(total), seconds, megabytesPerSecond(double(total), seconds));

    reader.release();
    codec.release();
}

} // namespace qzn
