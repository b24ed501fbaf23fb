// Reading an archive as unpack and test share it: the open with its file table, and the chunk
// loop that decodes the contents stream into the files (or only counts it).
#include "ContextLz.h"
#include "Files.h"
#include "Main.h"
#include "Main_DecodePipeline.h"
#include "Main_Pipeline.h"
#include "Platform.h"

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <vector>

namespace qzn {

// Missing data reads as zero bits and would decode to plausible garbage; a valid archive never
// asks for a segment past its end, so running out is damage, reported as such.
// A failed read ends the archive just as well; its reason is said.
void stopAtArchiveEnd(const BitReader& reader, const std::wstring& archiveName) {
    if (!reader.readFailure.empty())
        fatalWide(L"\nError: Failed to read %ls\n%ls\n", archiveName.c_str(),
                  reader.readFailure.c_str());
    fatalWide(L"\nError: Corrupt archive: %ls ends before its data\n", archiveName.c_str());
}

void checkNotTruncated(const BitReader& reader, const std::wstring& archiveName) {
    if (reader.truncated || !reader.readFailure.empty()) stopAtArchiveEnd(reader, archiveName);
}

void printChunkProgress(uint64_t done, uint64_t total, double previousSeconds, int32_t windowBits) {
    std::lock_guard<std::mutex> notDuringAQuestion(questionMutex());
    printProgress(progressText(done, total, previousSeconds, windowBits));
    reportProgress(done, total);
}

void openArchiveForReading(ArchiveInput& archive, const std::wstring& archivePath,
                           BitReader& reader, FileStream& stream) {
    if (isStandardStream(archivePath))
        openArchiveFromSource(archive, archive.standardInput, L"standard input", reader, stream);
    else
        openArchiveFile(archive, archivePath, reader, stream);
}

void openArchiveFile(ArchiveInput& archive, const std::wstring& archivePath, BitReader& reader,
                     FileStream& stream) {
    // A folder would open on POSIX and then read as an archive cut off at its start.
    if (isDirectory(archivePath)) {
        noteErrorPath(archivePath);
        fatalWide(L"Error: %ls is a folder\n", archivePath.c_str());
    }
    archive.file.reset(openFile(archivePath, "rb"));
    if (!archive.file) {
        noteErrorPath(archivePath);
        stopWithReason(L"Failed to open input %ls\n", archivePath.c_str());
    }
    archive.name = archivePath;
    reader.file = archive.file.get();
    reader.openBuffer();
    reader.loadSegment();
    stream.readTable(reader);
    checkNotTruncated(reader, archive.name);
}

void openArchiveFromSource(ArchiveInput& archive, ByteSource& source, const std::wstring& name,
                           BitReader& reader, FileStream& stream) {
    // Read front to back in whatever pieces arrive; nothing is ever sought.
    archive.name = name;
    archive.stream = &source;
    reader.source = &source;
    reader.openBuffer();
    reader.loadSegment();
    stream.readTable(reader);
    checkNotTruncated(reader, archive.name);
}

void readToTheEnd(ArchiveInput& archive) {
    if (!archive.stream) return;
    std::vector<uint8_t> rest(size_t(1) << 16);
    while (archive.stream->readSome(rest.data(), rest.size()) > 0) {
    }
}

void selectForRun(FileStream& stream, const std::vector<std::wstring>& names) {
    for (const std::wstring& name : stream.selectNames(names)) {
        noteErrorPath(name);
        printWide(L"Error: %ls is not in the archive\n", name.c_str());
        stream.incomplete = true;
    }
    for (const FileEntry& file : stream.files)
        if (file.selected) return;
    for (const DirEntry& dir : stream.dirs)
        if (dir.selected) return;
    stopRun(1, kStopNotFound); // nothing to do, and each name said so
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
    const uint64_t chunks = chunkCount(stream.totalSize(), archiver.windowBits);
    const uint64_t end = std::min(range.end, chunks);
    const uint64_t first = std::min(range.first, end);
    // A run that stops early reads the stream up to the end of its range: the figures below
    // count that stretch, the chunks followed included.
    const uint64_t total = end < chunks ? end << archiver.windowBits : stream.totalSize();

    // With more than one thread and chunk the pipeline decodes the range; otherwise this thread
    // decodes each chunk into one buffer and delivers it before the next.
    const int32_t threads =
        int32_t(std::min<uint64_t>(uint64_t(threadCount(archiver)), end - first));
    std::unique_ptr<DecodePipeline> pipeline;
    LargeBuffer chunk;
    uint64_t memory = kBitBufferBytes + codec.allocateDecoder();
    if (threads > 1) {
        pipeline =
            std::make_unique<DecodePipeline>(archiver, stream, doWrite, threads, total, first, end);
        memory += pipeline->memoryBytes();
    } else {
        chunk = allocateChunkBuffer(archiver.windowBits);
        memory += uint64_t(capacity);
    }
    printWide(L"Decoder %d:%d:%d memory: %d KB\n", archiver.windowBits, archiver.tableBits,
              archiver.hashBits, static_cast<int32_t>(memory >> 10));

    double previousSeconds = -1.0;
    const int64_t startMs = clockMs();
    reader.checkpoint();
    checkNotTruncated(reader, archiveName);

    // The chunks before the range only advance the models (nothing is rebuilt or delivered).
    const uint64_t inlineEnd = pipeline ? first : end;
    for (uint64_t index = 0; index < inlineEnd; ++index) {
        const int32_t len =
            int32_t(std::min<uint64_t>(uint64_t(capacity), total - (index << archiver.windowBits)));
        printChunkProgress((index << archiver.windowBits) + uint64_t(len), total, previousSeconds,
                           archiver.windowBits);
        const int64_t chunkStart = clockMs();
        if (index < first) {
            codec.followChunk(len, reader);
            checkNotTruncated(reader, archiveName);
        } else {
            codec.decodeChunk(chunk.get(), len, reader);
            checkNotTruncated(reader, archiveName);
            if (archiver.channels > 0) ChannelFilter::inverse(chunk.get(), len, archiver.channels);
            stream.write(chunk.get(), len, doWrite);
        }
        previousSeconds = double(clockMs() - chunkStart) / 1000.0;
    }
    if (pipeline) pipeline->run(codec, reader, archiveName);
    printProgressEnd("Done decompressing");

    const double seconds = double(clockMs() - startMs) * 0.001;
    printNarrow("%" PRId64 " -> %" PRId64 " in %.3f sec (%.2f MB/s)\n", int64_t(reader.consumed),
                int64_t(total), seconds, megabytesPerSecond(double(total), seconds));

    reader.release();
    codec.release();
}

} // namespace qzn
