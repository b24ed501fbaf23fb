// Unpack and test on several threads; see Main_DecodePipeline.h.
#include "Main_DecodePipeline.h"

#include "Main_Pipeline.h"
#include "Platform.h"

#include <algorithm>
#include <system_error>

namespace qzn {

DecodePipeline::DecodePipeline(const Archiver& archiver, FileStream& stream, bool doWrite,
                               int32_t threads, uint64_t total, uint64_t first, uint64_t end)
    : stream_(stream), channels_(archiver.channels), doWrite_(doWrite),
      windowBits_(archiver.windowBits), capacity_(int32_t(1) << archiver.windowBits), total_(total),
      firstChunk_(first), endChunk_(end), followed_(first), nextToRebuild_(first),
      delivered_(first) {
    // Two chunks per thread, so that the follower can go on while every other thread rebuilds
    // one and another waits its turn; never more than there are chunks.
    const size_t slotBytes = ChunkTokens::capacityFor(capacity_);
    slots_.resize(size_t(std::min<uint64_t>(2 * uint64_t(threads), end - first)));
    for (Slot& slot : slots_) {
        slot.chunk.bytes = LargeBuffer(slotBytes);
        if (!slot.chunk.bytes)
            fatalWide(L"Error: Not enough memory for a chunk buffer of %d KB\n",
                      int(slotBytes >> 10));
        memory_ += slotBytes;
    }
    deliveryMs_.resize(slots_.size());
    const int32_t workers = threads - 1;
    for (int32_t i = 0; i < workers; ++i) {
        rings_.push_back(std::make_unique<ContextLz>());
        rings_.back()->configure(uint32_t(archiver.tableBits), uint32_t(archiver.hashBits),
                                 uint32_t(archiver.windowBits));
        memory_ += rings_.back()->allocateDecoder();
    }
    try {
        for (int32_t i = 0; i < workers; ++i)
            threads_.emplace_back([this, i, run = currentRun()] {
                RunScope scope(run);
                work(*rings_[size_t(i)], i == 0);
            });
    } catch (const std::system_error&) {
        stopWorkers();
        fatalWide(L"Error: Failed to start %d threads\n", int(threads));
    }
}

DecodePipeline::~DecodePipeline() {
    stopWorkers();
}

void DecodePipeline::stopWorkers() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    changed_.notifyAll();
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
}

int32_t DecodePipeline::chunkLength(uint64_t chunk) const {
    const uint64_t start = chunk << windowBits_;
    return int32_t(std::min<uint64_t>(uint64_t(capacity_), total_ - start));
}

// The calling thread starts following into the first slot at once, and every slot's pages are
// written sooner or later. Mapping them in ahead keeps their page faults (costly where huge
// pages must be gathered first) off the threads that follow and rebuild; the first worker does
// it while it has nothing else to do, a slot at a time, its own rings first. Only the pages
// that the slot's first chunk fills are worth it.
void DecodePipeline::prefaultWhileIdle(MutexLock& lock, size_t& next, ContextLz& rings) {
    lock.unlock(mutex_);
    if (next == 0) {
        prefaultMemory(rings.blockMemory.get(), rings.blockMemory.size());
    } else {
        const int32_t len = chunkLength(firstChunk_ + next);
        prefaultMemory(slots_[next].chunk.bytes.get(), ChunkTokens::capacityFor(len));
    }
    ++next;
    lock.lock(mutex_);
}

bool DecodePipeline::follow(ContextLz& codec, BitReader& reader, Slot& slot, bool decode) {
    try {
        DeferAsserts deferred;
        if (decode)
            codec.decodeChunk(slot.chunk.bytes.get(), slot.len, reader);
        else
            codec.followChunk(slot.len, reader, slot.chunk);
    } catch (const DeferredAssert& assertion) {
        slot.failure.kind = Failure::Kind::Assert;
        slot.failure.assertion = assertion;
        return false;
    }
    if (reader.truncated || !reader.readFailure.empty()) {
        slot.failure.kind = Failure::Kind::ArchiveEnd;
        return false;
    }
    return true;
}

void DecodePipeline::rebuild(ContextLz& rings, Slot& slot) {
    try {
        DeferAsserts deferred;
        rings.rebuildChunk(slot.chunk, slot.len);
    } catch (const DeferredAssert& assertion) {
        // Earlier in the stream than anything the follower found in this chunk.
        slot.failure.kind = Failure::Kind::Assert;
        slot.failure.assertion = assertion;
    }
}

bool DecodePipeline::deliver(uint64_t chunk, Slot& slot) {
    // Chunks come in bursts (a thread may finish two at once), so the time a chunk took is the
    // mean over the last ones, as many as there are slots.
    const int64_t now = clockMs();
    const uint64_t index = chunk - firstChunk_;
    const uint64_t span = std::min<uint64_t>(index, deliveryMs_.size());
    const double previousSeconds =
        span == 0 ? -1.0
                  : double(now - deliveryMs_[(index - span) % deliveryMs_.size()]) / 1000.0 /
                        double(span);
    deliveryMs_[index % deliveryMs_.size()] = now;
    try {
        printChunkProgress((chunk << windowBits_) + uint64_t(slot.len), total_, previousSeconds,
                           windowBits_);
        if (slot.failure.kind != Failure::Kind::None) return false;
        uint8_t* bytes = slot.chunk.bytes.get();
        if (channels_ > 0) ChannelFilter::inverse(bytes, slot.len, channels_);
        stream_.write(bytes, slot.len, doWrite_);
    } catch (...) {
        // A stop, or a cancelled run: the calling thread raises it again.
        slot.failure.kind = Failure::Kind::Stop;
        slot.failure.stop = std::current_exception();
        return false;
    }
    return true;
}

bool DecodePipeline::helpOnce(MutexLock& lock, ContextLz& rings) {
    if (failed_) return false;
    Slot& next = slotOf(delivered_);
    if (!delivering_ && delivered_ < followed_ && next.state == State::Rebuilt) {
        delivering_ = true;
        const uint64_t chunk = delivered_;
        lock.unlock(mutex_);
        const bool delivered = deliver(chunk, next);
        lock.lock(mutex_);
        delivering_ = false;
        if (delivered) {
            next.state = State::Free;
            ++delivered_;
        } else {
            failed_ = true;
        }
        changed_.notifyAll();
        return true;
    }
    // The calling thread decodes some chunks whole; nobody rebuilds those. Past the chunks
    // delivered each slot holds its own chunk, as no chunk after them has taken a slot back.
    nextToRebuild_ = std::max(nextToRebuild_, delivered_);
    while (nextToRebuild_ < followed_ && slotOf(nextToRebuild_).state != State::Followed)
        ++nextToRebuild_;
    if (nextToRebuild_ < followed_) {
        Slot& slot = slotOf(nextToRebuild_++);
        slot.state = State::Rebuilding;
        lock.unlock(mutex_);
        rebuild(rings, slot);
        lock.lock(mutex_);
        slot.state = State::Rebuilt;
        changed_.notifyAll();
        return true;
    }
    return false;
}

void DecodePipeline::work(ContextLz& rings, bool prefaults) {
    size_t prefaulted = prefaults ? 0 : slots_.size();
    MutexLock lock(mutex_);
    while (!stopping_) {
        if (helpOnce(lock, rings)) continue;
        if (prefaulted < slots_.size())
            prefaultWhileIdle(lock, prefaulted, rings);
        else
            changed_.wait(lock);
    }
}

void DecodePipeline::run(ContextLz& codec, BitReader& reader, const std::wstring& archiveName) {
    bool decode = false;
    for (uint64_t chunk = firstChunk_; chunk < endChunk_; ++chunk) {
        {
            // The slot is free once the chunk it held before was delivered; meanwhile this
            // thread helps the others.
            MutexLock lock(mutex_);
            while (!failed_ && chunk >= delivered_ + slots_.size())
                if (!helpOnce(lock, codec)) changed_.wait(lock);
            if (failed_) break;
            // Decoding a chunk whole costs less than following it and rebuilding it apart:
            // worth it while the others have enough to rebuild without this chunk.
            uint64_t waiting = 0;
            for (uint64_t c = std::max(nextToRebuild_, delivered_); c < followed_; ++c)
                waiting += slotOf(c).state == State::Followed ? 1 : 0;
            decode = waiting >= 2 * threads_.size();
        }
        Slot& slot = slotOf(chunk);
        slot.len = chunkLength(chunk);
        slot.failure = Failure();
        const bool more = follow(codec, reader, slot, decode);
        {
            MutexLock lock(mutex_);
            slot.state = decode ? State::Rebuilt : State::Followed;
            ++followed_;
        }
        changed_.notifyAll();
        if (!more) break;
    }
    bool failed;
    {
        MutexLock lock(mutex_);
        while (!failed_ && delivered_ < followed_)
            if (!helpOnce(lock, codec)) changed_.wait(lock);
        failed = failed_;
    }
    stopWorkers();
    if (failed) {
        MutexLock lock(mutex_); // every other thread has ended; this only tells the analysis so
        const Failure failure = slotOf(delivered_).failure;
        lock.unlock();
        raise(failure, reader, archiveName);
    }
}

void DecodePipeline::raise(const Failure& failure, const BitReader& reader,
                           const std::wstring& archiveName) {
    switch (failure.kind) {
    case Failure::Kind::Assert:
        assertFailed(failure.assertion.source, failure.assertion.line);
    case Failure::Kind::ArchiveEnd:
        stopAtArchiveEnd(reader, archiveName);
    case Failure::Kind::Stop:
    case Failure::Kind::None:
        break;
    }
    std::rethrow_exception(failure.stop);
}

} // namespace qzn
