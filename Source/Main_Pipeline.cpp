// Pack workers; see Main_Pipeline.h.
#include "Main_Pipeline.h"

#include "Files.h"
#include "Platform.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

namespace qzn {

int32_t hardwareThreads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n > unsigned(kMaxThreads) ? kMaxThreads : int32_t(n);
}

int32_t threadCount(const Archiver& archiver) {
    return std::clamp(archiver.threads, 1, kMaxThreads);
}

uint64_t chunkCount(uint64_t total, int32_t windowBits) {
    return (total >> windowBits) + ((total & ((uint64_t(1) << windowBits) - 1)) != 0);
}

LargeBuffer allocateChunkBuffer(int32_t windowBits) {
    const size_t bytes = size_t(1) << windowBits;
    LargeBuffer buffer(bytes);
    if (!buffer)
        fatalWide(L"Error: Not enough memory for a chunk buffer of %d KB\n", int(bytes >> 10));
    return buffer;
}

namespace {

[[noreturn]] void threadFailure(int32_t count) {
    fatalWide(L"Error: Failed to start %d threads\n", int(count));
}

void joinAll(std::vector<std::thread>& threads) {
    for (std::thread& thread : threads)
        if (thread.joinable()) thread.join();
}

} // namespace

// ---- Pack: measuring -------------------------------------------------------------------------

MeasureAhead::MeasureAhead(const FileList& list, int32_t workers) : list_(list), slots_(kWindow) {
    try {
        for (int32_t i = 0; i < workers; ++i)
            threads_.emplace_back([this, run = currentRun()] {
                RunScope scope(run);
                work();
            });
    } catch (const std::system_error&) {
        stop();
        threadFailure(workers + 1);
    }
}

MeasureAhead::~MeasureAhead() {
    stop();
}

void MeasureAhead::stop() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    changed_.notifyAll();
    joinAll(threads_);
}

bool MeasureAhead::canClaim() const {
    return nextToClaim_ < list_.files.size() && nextToClaim_ < nextToTake_ + kWindow;
}

void MeasureAhead::probeNext(MutexLock& lock, std::vector<uint8_t>& scratch) {
    const uint64_t file = nextToClaim_++;
    Slot& slot = slots_[file % kWindow];
    lock.unlock(mutex_);
    try {
        slot.probe = probeFile(list_.pathOf(file), true, scratch);
    } catch (...) {
        slot.failure = std::current_exception();
    }
    lock.lock(mutex_);
    slot.done = true;
    changed_.notifyAll();
}

void MeasureAhead::work() {
    std::vector<uint8_t> scratch;
    MutexLock lock(mutex_);
    for (;;) {
        while (!stopping_ && !canClaim()) changed_.wait(lock);
        if (stopping_) return;
        probeNext(lock, scratch);
    }
}

bool MeasureAhead::take(uint64_t file, FileProbe& probe) {
    MutexLock lock(mutex_);
    Slot& slot = slots_[file % kWindow];
    if (file >= nextToClaim_) {
        // Nobody has it yet: the pass reads it, and the workers go on after it.
        nextToClaim_ = file + 1;
        ++nextToTake_;
        changed_.notifyAll();
        return false;
    }
    // Waiting is the last resort: meanwhile the pass reads a later file nobody has taken yet.
    while (!slot.done) {
        if (canClaim())
            probeNext(lock, scratch_);
        else
            changed_.wait(lock);
    }
    probe = std::move(slot.probe);
    std::exception_ptr failure = std::exchange(slot.failure, nullptr);
    slot = Slot();
    ++nextToTake_;
    changed_.notifyAll();
    lock.unlock();
    if (failure) std::rethrow_exception(failure);
    return true;
}

// The most bytes ring slot `slot` will hold of a stream of `total` bytes in chunks of `capacity`
// bytes: every full chunk fills its slot, and a slot past them holds at most the partial last
// chunk. Only those pages are worth mapping in ahead.
static size_t slotBytes(uint64_t total, int32_t capacity, size_t slot) {
    const uint64_t full = total / uint64_t(capacity);
    if (slot < full) return size_t(capacity);
    return slot == full ? size_t(total % uint64_t(capacity)) : 0;
}

// ---- Pack: coding ----------------------------------------------------------------------------

PackPipeline::PackPipeline(const Archiver& archiver, int32_t threads, uint64_t total)
    : settings_(archiver), capacity_(int32_t(1) << archiver.windowBits), total_(total) {
    coder_.configure(uint32_t(archiver.tableBits), uint32_t(archiver.hashBits),
                     uint32_t(archiver.windowBits));
    memory_ = coder_.allocateEncoder();
    if (threads <= 1) {
        // The single-threaded program: one chunk buffer, one codec that parses and codes at once.
        chunks_.resize(1);
        chunks_[0].bytes = allocateChunkBuffer(archiver.windowBits);
        memory_ += uint64_t(capacity_);
        return;
    }
    // A chunk per thread and one more: while the calling thread codes one chunk and reads the
    // next, every worker still has one to parse. The calling thread parses too whenever the
    // chunk it needs next is still being parsed.
    chunks_.resize(size_t(threads) + 1);
    for (Chunk& chunk : chunks_) {
        chunk.bytes = allocateChunkBuffer(archiver.windowBits);
        chunk.tokens.reserve(capacity_);
        memory_ += uint64_t(capacity_) + chunk.tokens.capacity;
    }
    const int32_t workers = threads - 1;
    for (int32_t i = 0; i < workers; ++i) {
        parsers_.push_back(std::make_unique<ContextLz>());
        parsers_.back()->configure(uint32_t(archiver.tableBits), uint32_t(archiver.hashBits),
                                   uint32_t(archiver.windowBits));
        memory_ += parsers_.back()->allocateEncoder();
    }
    try {
        for (int32_t i = 0; i < workers; ++i)
            threads_.emplace_back([this, i, run = currentRun()] {
                RunScope scope(run);
                if (i == 0) prefaultChunks();
                work(*parsers_[size_t(i)]);
            });
    } catch (const std::system_error&) {
        stopWorkers();
        threadFailure(threads);
    }
}

PackPipeline::~PackPipeline() {
    stopWorkers();
}

void PackPipeline::stopWorkers() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    workReady_.notifyAll();
    joinAll(threads_);
}

// The calling thread starts reading input into the first buffer at once; mapping the pages of
// every buffer in here, ahead of it, keeps their page faults off the thread that codes.
void PackPipeline::prefaultChunks() {
    for (size_t i = 0; i < chunks_.size(); ++i)
        prefaultMemory(chunks_[i].bytes.get(), slotBytes(total_, capacity_, i));
    // The calling thread's match tables too: its first parse clears them all.
    prefaultMemory(coder_.blockMemory.get(), coder_.blockMemory.size());
}

void PackPipeline::work(ContextLz& codec) {
    MutexLock lock(mutex_);
    for (;;) {
        while (!stopping_ && nextToParse_ >= submitted_) workReady_.wait(lock);
        if (stopping_) return;
        Chunk& chunk = chunks_[nextToParse_++ % chunks_.size()];
        lock.unlock();
        parse(codec, chunk);
        lock.lock();
        chunk.parsed = true;
        chunkParsed_.notifyAll();
    }
}

void PackPipeline::parse(ContextLz& codec, Chunk& chunk) {
    try {
        codec.parseChunk(chunk.bytes.get(), chunk.len, chunk.tokens, settings_.chainLimit,
                         settings_.lookaheadLimit, settings_.parseMode);
    } catch (...) {
        // The stop hook threw here; the coder raises it again when this chunk's turn comes.
        chunk.failure = std::current_exception();
    }
}

const PackPipeline::Chunk* PackPipeline::next(FileStream& stream) {
    const size_t ring = chunks_.size();
    if (holding_) {
        holding_ = false;
        ++nextToCode_;
    }
    // A buffer is free when its previous chunk has been coded; no worker touches it then.
    while (!inputEnded_ && submittedByCaller() - nextToCode_ < ring) {
        Chunk& chunk = chunks_[submittedByCaller() % ring];
        const int32_t len = stream.read(chunk.bytes.get(), capacity_);
        if (len <= 0) {
            inputEnded_ = true;
            break;
        }
        if (settings_.channels > 0)
            ChannelFilter::forward(chunk.bytes.get(), len, settings_.channels);
        {
            MutexLock lock(mutex_);
            chunk.len = len;
            chunk.parsed = threads_.empty();
            chunk.failure = nullptr;
            ++submitted_;
        }
        workReady_.notifyOne();
    }
    if (nextToCode_ == submittedByCaller()) return nullptr;

    Chunk& chunk = chunks_[nextToCode_ % ring];
    const int64_t start = clockMs();
    {
        // Waiting is the last resort: any chunk nobody has taken yet is parsed here meanwhile.
        MutexLock lock(mutex_);
        while (!chunk.parsed) {
            if (nextToParse_ == submitted_) {
                chunkParsed_.wait(lock);
                continue;
            }
            Chunk& own = chunks_[nextToParse_++ % ring];
            lock.unlock();
            parse(coder_, own);
            lock.lock();
            own.parsed = true;
        }
    }
    chunk.waitedMs = clockMs() - start;
    holding_ = true;
    if (chunk.failure) std::rethrow_exception(chunk.failure);
    return &chunk;
}

void PackPipeline::code(const Chunk& chunk, BitWriter& writer) {
    if (threads_.empty())
        coder_.encodeChunk(chunk.bytes.get(), chunk.len, writer, settings_.chainLimit,
                           settings_.lookaheadLimit, settings_.parseMode);
    else
        coder_.codeTokens(chunk.bytes.get(), chunk.tokens, writer);
}

} // namespace qzn
