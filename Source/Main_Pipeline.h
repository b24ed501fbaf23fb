// The threads of a run. Pack: worker threads read input files ahead of the measuring pass, then
// parse chunks ahead of the coder, which codes them in
// stream order on the calling thread and, rather than wait for a parse, parses a chunk itself.
// Unpack and test: the calling thread decodes while a second thread undoes the filter, computes
// CRC-32 values and writes the files. With one thread (or one chunk) both run inline, as a
// single-threaded program would.
//
// A stop raised on a worker (the stop hook throwing) is carried to the calling thread and raised
// again there when the chunk it belongs to comes up; no thread outlives its pipeline object.
#pragma once

#include "ContextLz.h"
#include "Files.h"
#include "Main.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qzn {

struct FileStream;

// The -threads value clamped to 1..kMaxThreads.
int32_t threadCount(const Archiver& archiver);

// Chunks of total bytes at 2^windowBits bytes each.
uint64_t chunkCount(uint64_t total, int32_t windowBits);

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
    struct Slot {
        FileProbe probe;
        bool done = false;
        std::exception_ptr failure; // a stop raised while reading
    };
    bool canClaim() const;
    // Reads the next file nobody has taken into its slot; called and returns with the lock held.
    void probeNext(std::unique_lock<std::mutex>& lock, std::vector<uint8_t>& scratch);
    void work();
    void stop();

    const FileList& list_;
    std::vector<Slot> slots_;      // a ring indexed by file number
    std::vector<uint8_t> scratch_; // for the files the pass itself reads ahead
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t nextToClaim_ = 0, nextToTake_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

class PackPipeline {
  public:
    struct Chunk {
        LargeBuffer bytes; // the chunk, filtered
        TokenList tokens;  // its parse (with workers only)
        int32_t len = 0;
        bool parsed = false;
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
    const Chunk* next(FileStream& stream);
    // Codes the chunk `next` returned into the writer.
    void code(const Chunk& chunk, BitWriter& writer);

  private:
    void prefaultChunks();
    void work(ContextLz& codec);
    void parse(ContextLz& codec, Chunk& chunk);
    void stopWorkers();

    const Archiver settings_;
    int32_t capacity_;
    uint64_t total_;
    uint64_t memory_ = 0;
    ContextLz coder_; // parses and codes; with workers it parses only while it would wait
    std::vector<std::unique_ptr<ContextLz>> parsers_;
    std::vector<Chunk> chunks_; // a ring indexed by sequence number
    bool inputEnded_ = false;
    bool holding_ = false; // the calling thread holds chunk nextToCode_ (returned by next)

    std::mutex mutex_;
    std::condition_variable workReady_, chunkParsed_;
    uint64_t submitted_ = 0, nextToParse_ = 0, nextToCode_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Where decoded chunks go: the inverse channel filter, then FileStream::write (CRC-32, and with
// doWrite the files themselves). A second thread does this when `threaded`, fed through two chunk
// buffers, so that decoding need not wait for it.
class DecodedChunks {
  public:
    DecodedChunks(FileStream& stream, int32_t channels, bool doWrite, int32_t windowBits,
                  bool threaded);
    ~DecodedChunks();
    DecodedChunks(const DecodedChunks&) = delete;
    DecodedChunks& operator=(const DecodedChunks&) = delete;

    uint64_t memoryBytes() const { return memory_; }

    // A buffer to decode the next chunk into; waits while both are queued. Raises a stop of the
    // writing thread again here.
    uint8_t* buffer();
    // Hands over the chunk decoded into the last buffer.
    void submit(int32_t len);
    // Waits until every chunk is written and ends the thread; raises its stop again here.
    void finish();

  private:
    void deliver(uint8_t* bytes, int32_t len);
    void work();
    void stopThread();

    FileStream& stream_;
    int32_t channels_;
    bool doWrite_;
    int32_t chunkBytes_ = 0;
    uint64_t memory_ = 0;
    LargeBuffer buffers_[2];
    int32_t lengths_[2] = {0, 0};

    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t submitted_ = 0, written_ = 0;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

} // namespace qzn
