// The threads of a pack: worker threads read input files ahead of the measuring pass, then
// parse chunks ahead of the coder, which codes them in stream order on the calling thread and,
// rather than wait for a parse, parses a chunk itself. With one thread (or one chunk) both run
// inline, as a single-threaded program would. Unpack and test: Main_DecodePipeline.h.
//
// A stop raised on a worker (the stop hook throwing) is carried to the calling thread and raised
// again there when the chunk it belongs to comes up; no thread outlives its pipeline object.
//
// Each field says who may touch it: its object's mutex (QZN_GUARDED_BY, checked by clang's
// -Wthread-safety), one thread only, or nobody once the constructor has returned. The contents of
// a buffer or ring slot change hands through a guarded count or flag: whoever sees it move, under
// the lock, owns the slot from then on.
#pragma once

#include "ContextLz.h"
#include "Files.h"
#include "Main.h"

#include <exception>
#include <memory>
#include <thread>
#include <vector>

namespace qzn {

struct FileStream;

// The -threads value clamped to 1..kMaxThreads.
int32_t threadCount(const Archiver& archiver);

// Chunks of total bytes at 2^windowBits bytes each.
uint64_t chunkCount(uint64_t total, int32_t windowBits);

// The chunk buffer: 2^windowBits bytes. A failed allocation stops the run with an error message.
LargeBuffer allocateChunkBuffer(int32_t windowBits);

// Workers that read the input files (size, CRC-32, the bytes of a small file) ahead of the
// measuring pass, at most kWindow files ahead of it, so that the bytes held stay bounded. The
// pass takes every file in list order and reads a file itself when no worker has taken it yet.
class MeasureAhead : public ProbesAhead {
  public:
    MeasureAhead(const FileList& list, int32_t workers);
    ~MeasureAhead();
    MeasureAhead(const MeasureAhead&) = delete;
    MeasureAhead& operator=(const MeasureAhead&) = delete;

    bool take(uint64_t file, FileProbe& probe) override;

  private:
    static constexpr uint64_t kWindow = 64;
    // The thread that claimed the file owns probe and failure until it sets done; the pass owns
    // them once it has seen done, until it empties the slot.
    struct Slot {
        FileProbe probe;
        bool done = false;          // guarded by mutex_
        std::exception_ptr failure; // a stop raised while reading
    };
    bool canClaim() const QZN_REQUIRES(mutex_);
    // Reads the next file nobody has taken into its slot; releases the lock while it reads.
    void probeNext(MutexLock& lock, std::vector<uint8_t>& scratch) QZN_REQUIRES(mutex_);
    void work() QZN_EXCLUDES(mutex_);
    void stop() QZN_EXCLUDES(mutex_);

    const FileList& list_;         // read-only while the workers run
    std::vector<Slot> slots_;      // a ring indexed by file number; the vector itself is fixed
    std::vector<uint8_t> scratch_; // the pass's own, for the files it reads ahead
    Mutex mutex_;
    ConditionVariable changed_;
    uint64_t nextToClaim_ QZN_GUARDED_BY(mutex_) = 0;
    uint64_t nextToTake_ QZN_GUARDED_BY(mutex_) = 0;
    bool stopping_ QZN_GUARDED_BY(mutex_) = false;
    std::vector<std::thread> threads_; // the pass's thread: started and joined there
};

class PackPipeline {
  public:
    // The calling thread fills a chunk and submits it; the thread that takes it for parsing owns
    // bytes, tokens and failure until it sets parsed; then the calling thread owns it again.
    struct Chunk {
        LargeBuffer bytes; // the chunk, filtered
        TokenList tokens;  // its parse (with workers only)
        int32_t len = 0;
        bool parsed = false;        // guarded by mutex_
        std::exception_ptr failure; // a stop raised while parsing
        int64_t waitedMs = 0;       // how long the coder waited for the parse
    };

    // Allocates every buffer and table on the calling thread, then starts threads - 1 workers
    // (none when threads <= 1: the single-threaded program). `total`: the bytes to come.
    PackPipeline(const Archiver& archiver, int32_t threads, uint64_t total);
    ~PackPipeline();
    PackPipeline(const PackPipeline&) = delete;
    PackPipeline& operator=(const PackPipeline&) = delete;

    uint64_t memoryBytes() const { return memory_; }

    // The next chunk in stream order, read, filtered and (with workers) parsed; nullptr at the
    // end of the stream. Reads ahead as far as there are free chunk buffers. The chunk stays
    // valid until the next call.
    const Chunk* next(FileStream& stream) QZN_EXCLUDES(mutex_);
    // Codes the chunk `next` returned into the writer.
    void code(const Chunk& chunk, BitWriter& writer);

  private:
    void prefaultChunks();
    void work(ContextLz& codec) QZN_EXCLUDES(mutex_);
    void parse(ContextLz& codec, Chunk& chunk);
    void stopWorkers() QZN_EXCLUDES(mutex_);
    // The calling thread is the only one that changes submitted_ (under the lock, for the
    // workers), so it may read the count without the lock.
    uint64_t submittedByCaller() const QZN_NO_THREAD_SAFETY_ANALYSIS { return submitted_; }

    // Read-only once the constructor has returned, unless a comment names an owner.
    const Archiver settings_;
    int32_t capacity_;
    uint64_t total_;
    uint64_t memory_ = 0;
    ContextLz coder_; // the calling thread's: parses and codes, with workers only while it waits
    std::vector<std::unique_ptr<ContextLz>> parsers_; // worker i's own codec
    std::vector<Chunk> chunks_; // a ring indexed by sequence number; see Chunk
    bool inputEnded_ = false;   // the calling thread's
    bool holding_ = false; // the calling thread's: it holds chunk nextToCode_ (returned by next)

    Mutex mutex_;
    ConditionVariable workReady_, chunkParsed_;
    uint64_t submitted_ QZN_GUARDED_BY(mutex_) = 0; // chunks read and handed to the parsers
    uint64_t nextToParse_ QZN_GUARDED_BY(mutex_) = 0;
    uint64_t nextToCode_ = 0; // the calling thread's
    bool stopping_ QZN_GUARDED_BY(mutex_) = false;
    std::vector<std::thread> threads_; // the calling thread's: started here, joined by stopWorkers
};

} // namespace qzn
