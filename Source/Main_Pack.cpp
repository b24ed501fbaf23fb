// Pack driver: scans and measures the input, writes the archive header, then streams the
// contents of every non-duplicate file through the filter and the encoder one chunk at a time.
#include "ContextLz.h"
#include "Files.h"
#include "Main.h"
#include "Main_Header.h"
#include "Main_Pipeline.h"
#include "Platform.h"

#include <algorithm>
#include <cinttypes>
#include <utility>

namespace qzn {

namespace {

// Bit length of total: the smallest window whose chunk exceeds it, so that the data forms one
// chunk. Printed as in "Reduced window size to 1 KB".
int32_t reduceWindow(int32_t windowBits, uint64_t total) {
    if (total == 0 || total >= (uint64_t(1) << (windowBits - 1))) return windowBits;
    printWide(L"Reduced window size to ");
    while (windowBits > kStoredWindowBits.low && total < (uint64_t(1) << (windowBits - 1)))
        --windowBits;
    printWide(L"%d KB\n", windowBits < 10 ? 1 : 1 << (windowBits - 10));
    return windowBits;
}

// Expected archive size so far: the bytes written plus the unflushed buffer, against the input
// up to and including the chunk about to be encoded.
double currentRatio(const BitWriter& writer, uint64_t input) {
    if (input == 0) return 0.0;
    double written = double(writer.written) + double((uint64_t(writer.bitPosition) + 7) / 8);
    return written / double(input);
}

// The reason is the failure just seen, unless one kept from the failed call is given.
[[noreturn]] void writeFailure(const std::wstring& archivePath,
                               const std::wstring& reason = systemErrorText()) {
    fatalWide(L"Error: Failed to write %ls\n%ls\n", archivePath.c_str(), reason.c_str());
}

// A segment that could not be written ends the run; when the reader of standard output went
// away, with the status a shell gives a process that SIGPIPE ended.
void checkWritten(const BitWriter& writer, const std::wstring& archiveName) {
    if (!writer.writeFailed) return;
    if (!writer.readerGone) writeFailure(archiveName, writer.writeFailure);
    printWide(L"\nError: Failed to write %ls\n%ls\n", archiveName.c_str(),
              writer.writeFailure.c_str());
    stopRun(kReaderGoneStatus, kStopWrite,
            L"Error: Failed to write " + visibleText(archiveName) + L"\n" + writer.writeFailure,
            archiveName);
}

// The archive being written. It goes to a temporary file beside the archive path and replaces
// whatever is there only once it is complete and on the disk; a failure, a stop or an interrupt
// removes the temporary file instead. A device or pipe named as the archive (/dev/null, NUL)
// holds nothing to keep and cannot be renamed over: it is written in place. "-" is standard
// output, where a run that fails leaves a stream cut short and a status that says so.
struct ArchiveOutput {
    PendingFile pending; // before the handle, so that the file is closed before it is removed
    FileHandle handle;
    bool inPlace = false;
    FileSink fileSink;
    ByteSink* sink = nullptr;

    bool open(const std::wstring& archivePath, ByteSink* stream) {
        if (stream) {
            sink = stream;
            return true;
        }
        inPlace = isDevice(archivePath);
        if (inPlace) {
            handle.reset(openFile(archivePath, "wb"));
        } else {
            std::wstring tempPath;
            int slot = -1;
            handle.reset(createTemporaryFile(archivePath, tempPath, slot));
            if (handle) pending.adopt(tempPath, slot);
        }
        fileSink = handle.get();
        sink = &fileSink;
        return handle != nullptr;
    }

    // Everything written: flushed, synced, closed and renamed over the archive path. What was
    // printed goes out first: a reader of it that went away ends the run (128 + SIGPIPE) while the
    // old archive is still there, as that status says. Once the archive is in place, that no longer
    // stops the run, and its status says how the pack went. Standard output has had every byte
    // already: nothing is buffered for it.
    void commit(const std::wstring& archivePath) {
        if (!handle) return;
        if (!syncFile(handle.get())) writeFailure(archivePath);
        if (std::fclose(handle.release()) != 0) writeFailure(archivePath);
        std::fflush(stdout);
        if (!inPlace) {
            if (!replaceFile(pending.path(), archivePath))
                fatalWithReason(L"Error: Failed to rename %ls to %ls\n", pending.path().c_str(),
                                archivePath.c_str());
            pending.keep();
        }
        ignoreClosedOutput();
    }
};

} // namespace

// Packs into the archive file at `archivePath`, or with `toStream` into that sink, which
// `archiveName` names in messages.
void packInto(Archiver& archiver, const std::wstring& inputPath, const std::wstring& archivePath,
              ByteSink* toStream, const std::wstring& archiveName) {
    const bool toStandardOutput = toStream != nullptr;
    FileStream stream;
    stream.overwriteAll = archiver.forceOverwrite ? 1 : 0;

    if (archiver.channels > 0 && !ChannelFilter::isAllowed(archiver.channels)) {
        printWide(L"Invalid number of channels: %d\n", archiver.channels);
        stopRun(1, kStopArgument, formatWide(L"Invalid number of channels: %d", archiver.channels));
    }
    if (archiver.channels < 0) archiver.channels = 0;

    // Standard output is no file: nothing there to refuse, ask about, or leave out of the input.
    FileId inputId, existingId;
    if (!toStandardOutput) {
        // Refused before the question, which would call it a file, and before any work: a folder
        // cannot be replaced by the archive.
        if (isDirectory(archivePath)) fatalWide(L"Error: %ls is a folder\n", archivePath.c_str());

        // Identity, not spelling: "./f.txt", a hard link or a symbolic link name the same file.
        if (fileId(inputPath, inputId) && fileId(archivePath, existingId) && inputId == existingId)
            fatalWide(L"Error: The archive %ls is the input file itself\n", archivePath.c_str());

        confirmOverwrite(stream, archivePath);
    }
    ArchiveOutput output;
    if (!output.open(archivePath, toStream)) {
        noteErrorPath(archivePath);
        stopWithReason(L"Failed to open output %ls\n", archivePath.c_str());
    }
    // An archive inside its own input folder must not store itself: the archive being written is
    // its temporary file. The entry at the archive path is replaced by it at the end, so it is
    // left out too; another link to the old archive still holds the old bytes afterwards, and is
    // stored like any file.
    std::vector<FileId> leaveOut;
    if (output.pending.active() && fileId(output.pending.path(), existingId))
        leaveOut.push_back(existingId);

    {
        FileList scanned;
        scanned.scan(inputPath, leaveOut, Exclusions(archiver.excludes));
        if (!toStandardOutput && !output.inPlace && fileId(archivePath, existingId)) {
            scanned.replacedPath = archivePath;
            scanned.replacedId = existingId;
        }
        if (!archiver.skipCrc && threadCount(archiver) > 1 && scanned.files.size() > 1) {
            // The other threads read files ahead of the pass.
            MeasureAhead ahead(scanned, threadCount(archiver) - 1);
            scanned.measure(true, &ahead);
        } else {
            scanned.measure(!archiver.skipCrc);
        }
        if (!archiver.skipCrc) scanned.findDuplicates();
        scanned.checkConsistency();
        static_cast<FileList&>(stream) = std::move(scanned);
    }
    stream.checkCrcs = !archiver.skipCrc;

    BitWriter writer(*output.sink);
    writer.openBuffer();
    const int64_t startMs = clockMs();
    const uint64_t total = stream.totalSize();
    archiver.windowBits = reduceWindow(archiver.windowBits, total);

    writeArchiveHeader(writer, stream, headerFor(archiver));

    // Threads parse chunks ahead of the coder; there is no use for more of them than chunks.
    const uint64_t chunks = chunkCount(total, archiver.windowBits);
    const int32_t threads = threadCount(archiver);
    PackPipeline pipeline(archiver, int32_t(chunks < uint64_t(threads) ? chunks : threads), total);
    const int32_t capacity = int32_t(1) << archiver.windowBits;
    printWide(L"Encoder memory: %d KB\n",
              static_cast<int32_t>((pipeline.memoryBytes() + kBitBufferBytes) >> 10));

    uint64_t done = 0;
    double previousSeconds = -1.0;
    while (const PackPipeline::Chunk* chunk = pipeline.next(stream)) {
        done += uint64_t(chunk->len);

        std::string text = progressText(done, total, -1.0, archiver.windowBits);
        if (previousSeconds >= 0 && done != total) {
            double ratio = currentRatio(writer, done);
            text = formatNarrow("%.1f/%.1f MB, %.2f MB/s, expect %.2f MB (%.3f)", done / 1048576.0,
                                total / 1048576.0, megabytesPerSecond(capacity, previousSeconds),
                                double(total) * ratio / 1048576.0, ratio);
        }
        printProgress(text);
        reportProgress(done, total);

        int64_t chunkStart = clockMs() - chunk->waitedMs;
        pipeline.code(*chunk, writer);
        previousSeconds = double(clockMs() - chunkStart) / 1000.0;
        // A full disk or a closed pipe will not get better: stop instead of compressing the rest
        // for nothing.
        checkWritten(writer, archiveName);
    }
    printProgressEnd("Done compressing");

    writer.flush();
    checkWritten(writer, archiveName);
    const double seconds = double(clockMs() - startMs) * 0.001;
    const uint64_t input = stream.consumed();
    const int64_t archiveSize = int64_t(writer.written);
    writer.release();
    // Only a complete archive on the disk counts: the figures come after the rename.
    output.commit(archivePath);

    printNarrow("%" PRId64 " -> %" PRId64 " (%.2f MB, %.3f) in %.3f sec (%.2f MB/s)\n",
                int64_t(input), archiveSize, archiveSize / 1048576.0,
                input ? double(archiveSize) / double(input) : 0.0, seconds,
                megabytesPerSecond(double(input), seconds));

    // The files module has already warned about the file or folder; the archive is complete
    // for everything else, but it does not hold all that the input holds now.
    if (stream.inputChanged || stream.incomplete) stopRun(1, kStopWarning);
}

void pack(Archiver& archiver, const std::wstring& inputPath, const std::wstring& archivePath) {
    if (!isStandardStream(archivePath)) {
        packInto(archiver, inputPath, archivePath, nullptr, archivePath);
        return;
    }
    // Refused before anything is read: archive bytes would garble the terminal.
    if (standardOutputIsTerminal())
        fatalWide(L"Error: The archive would be written to a terminal\n");
    StandardOutput standardOutput;
    packInto(archiver, inputPath, {}, &standardOutput, L"standard output");
}

void applyLevel(Archiver& archiver, int level) {
    const LevelSettings chosen = levelSettings(std::clamp(level, kLowestLevel, kHighestLevel));
    archiver.chainLimit = chosen.chainLimit;
    archiver.lookaheadLimit = chosen.lookaheadLimit;
    archiver.parseMode = chosen.parseMode;
}

} // namespace qzn
