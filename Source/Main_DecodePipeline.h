// Unpack and test on several threads. The models run on across chunks and depend only on the
// symbols, while the rings and the pair memory start empty in every chunk: so the calling thread
// follows the tokens of chunk after chunk (it alone reads the archive and advances the models)
// and records each chunk's tokens, and any thread rebuilds any recorded chunk's bytes with rings
// of its own. The chunks then go to the stream in order (inverse channel filter, CRC-32, file
// writes) with their progress lines, on whichever thread finds the next one ready. Every thread,
// the calling one included whenever it may not follow further, takes the oldest work ready:
// delivering first, then rebuilding. Following and rebuilding cost more than decoding a chunk
// whole, so while the others have two chunks each waiting to be rebuilt, the calling thread
// decodes its next chunk whole instead of following it.
//
// Damage must end the run as one thread would have ended it: after every earlier chunk was
// delivered, with the same message. The follower and the rebuilders defer their failed
// assertions (DeferAsserts) and keep them with their chunk; delivery stops at the first chunk
// that has one, and the calling thread raises it once every other thread has ended. Within a
// chunk the rebuild's failure comes first: the tokens it rebuilds precede the point where the
// following stopped.
//
// Each field says who may touch it, as in Main_Pipeline.h: the mutex (QZN_GUARDED_BY), one thread
// only, or the owner of a slot, which changes hands through the guarded state.
#pragma once

#include "ContextLz.h"
#include "Files.h"
#include "Main.h"

#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qzn {

// Stops the run with the message for an archive that ended before its data.
[[noreturn]] void stopAtArchiveEnd(const BitReader& reader, const std::wstring& archiveName);
// The same if `reader` ran out of segments.
void checkNotTruncated(const BitReader& reader, const std::wstring& archiveName);

// The progress line of the chunk that ends at `done` bytes of the stream, and the time of the
// chunk before it (< 0 for none).
void printChunkProgress(uint64_t done, uint64_t total, double previousSeconds, int32_t windowBits);

class DecodePipeline {
  public:
    // Allocates every buffer and table on the calling thread, then starts threads - 1 workers
    // (threads >= 2) for chunks [first, end) of a stream of `total` bytes (up to the end of
    // chunk end - 1).
    DecodePipeline(const Archiver& archiver, FileStream& stream, bool doWrite, int32_t threads,
                   uint64_t total, uint64_t first, uint64_t end);
    ~DecodePipeline();
    DecodePipeline(const DecodePipeline&) = delete;
    DecodePipeline& operator=(const DecodePipeline&) = delete;

    // What the threads add to `codec`'s own memory and the reader's buffer.
    uint64_t memoryBytes() const { return memory_; }

    // Decodes the chunks with `codec`, whose models have followed every chunk before the first,
    // from `reader`, and delivers them. Ends every other thread, then raises the first failure
    // in chunk order, if any.
    void run(ContextLz& codec, BitReader& reader, const std::wstring& archiveName);

  private:
    enum class State { Free, Followed, Rebuilding, Rebuilt };
    // What ends the run at a chunk, the first that applies in stream order.
    struct Failure {
        enum class Kind { None, Assert, ArchiveEnd, Stop };
        Kind kind = Kind::None;
        DeferredAssert assertion{};
        std::exception_ptr stop; // a stop raised while delivering
    };
    // Follower, rebuilder and deliverer own chunk (its tokens, then its bytes), len and failure
    // in turn, as `state` moves on under the lock.
    struct Slot {
        ChunkTokens chunk;
        int32_t len = 0;
        Failure failure;
        State state = State::Free; // guarded by mutex_
    };

    int32_t chunkLength(uint64_t chunk) const;
    Slot& slotOf(uint64_t chunk) { return slots_[size_t(chunk % slots_.size())]; }
    // Maps in the pages of slot `next` (0: the rings instead; the calling thread fills slot 0
    // itself at once) and moves `next` on, releasing the lock meanwhile.
    void prefaultWhileIdle(MutexLock& lock, size_t& next, ContextLz& rings) QZN_REQUIRES(mutex_);
    // Follows the chunk into its slot, or with `decode` decodes it whole there; false when
    // following cannot go on after it.
    bool follow(ContextLz& codec, BitReader& reader, Slot& slot, bool decode);
    static void rebuild(ContextLz& rings, Slot& slot);
    // The progress line, then the chunk to the stream unless it failed; false when it failed.
    bool deliver(uint64_t chunk, Slot& slot);
    // Does the oldest piece of work that is ready, releasing the lock meanwhile; false if none.
    bool helpOnce(MutexLock& lock, ContextLz& rings) QZN_REQUIRES(mutex_);
    // A worker's loop; with `prefaults` it maps in memory ahead whenever no work is ready.
    void work(ContextLz& rings, bool prefaults) QZN_EXCLUDES(mutex_);
    void stopWorkers() QZN_EXCLUDES(mutex_);
    [[noreturn]] void raise(const Failure& failure, const BitReader& reader,
                            const std::wstring& archiveName);

    // Read-only once the constructor has returned.
    FileStream& stream_; // the deliverer's (see delivering_)
    int32_t channels_;
    bool doWrite_;
    int32_t windowBits_;
    int32_t capacity_;
    uint64_t total_;
    uint64_t memory_ = 0;
    std::vector<Slot> slots_;                       // chunk k in slot k % size
    std::vector<std::unique_ptr<ContextLz>> rings_; // worker i's rings for rebuilding
    uint64_t firstChunk_, endChunk_;

    // The deliverer's (the thread that set delivering_): when the last chunks were delivered.
    std::vector<int64_t> deliveryMs_;

    Mutex mutex_;
    ConditionVariable changed_;
    uint64_t followed_ QZN_GUARDED_BY(mutex_) = 0;      // every chunk before it followed or decoded
    uint64_t nextToRebuild_ QZN_GUARDED_BY(mutex_) = 0; // no chunk from it on taken to rebuild
    uint64_t delivered_ QZN_GUARDED_BY(mutex_) = 0;     // every chunk before it delivered
    bool delivering_ QZN_GUARDED_BY(mutex_) = false;
    bool failed_ QZN_GUARDED_BY(mutex_) = false; // chunk delivered_ failed: nothing more to do
    bool stopping_ QZN_GUARDED_BY(mutex_) = false;
    std::vector<std::thread> threads_; // the calling thread's: started here, joined by stopWorkers
};

} // namespace qzn
