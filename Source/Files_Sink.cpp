// Unpacking into one byte sink: every file's bytes in list order, copies included; see
// ContentsSink in Files.h.
#include "Files.h"

#include <algorithm>

namespace qzn {

namespace {
constexpr size_t kScratchBlockBytes = size_t(1) << 18;
} // namespace

ContentsSink::ContentsSink(ByteSink& out, const FileList& list, std::wstring name)
    : out_(out), list_(list), name_(std::move(name)) {
    // Every copy points at an earlier file, so one pass in list order finds each chain's end.
    const uint64_t n = list.files.size();
    originals_.resize(n);
    for (uint64_t i = 0; i < n; ++i) {
        const uint32_t source = list.files[i].duplicateOf;
        originals_[i] = source == kNoDuplicate ? i : originals_[source];
        if (source != kNoDuplicate) ++kept_[originals_[i]].copiesLeft;
    }
}

ContentsSink::~ContentsSink() {
    if (scratch_) std::fclose(scratch_);
}

void ContentsSink::send(const uint8_t* bytes, size_t n) {
    if (n == 0 || out_.write(bytes, n)) return;
    const std::wstring reason = out_.failure;
    printWide(L"\nError: Failed to write %ls\n%ls\n", name_.c_str(), reason.c_str());
    // The reader went away: the status a shell gives a process SIGPIPE ended.
    stopRun(out_.readerGone ? kReaderGoneStatus : 1, kStopWrite,
            L"Error: Failed to write " + visibleText(name_) + L"\n" + reason);
}

void ContentsSink::write(uint64_t f, const uint8_t* bytes, size_t n) {
    if (onFile) onFile(f);
    send(bytes, n);
    auto it = kept_.find(f);
    if (it != kept_.end() && n > 0) keep(f, it->second, bytes, n);
}

void ContentsSink::keep(uint64_t f, Kept& kept, const uint8_t* bytes, size_t n) {
    if (!kept.inScratch && inMemory_ + n > kMemoryBytes) moveToScratch(f, kept);
    if (kept.inScratch) {
        if (!seekFile(scratch_, int64_t(scratchEnd_), SEEK_SET) ||
            std::fwrite(bytes, 1, n, scratch_) != n)
            scratchFailed(f);
        scratchEnd_ += n;
    } else {
        kept.bytes.insert(kept.bytes.end(), bytes, bytes + n);
        inMemory_ += n;
    }
    kept.size += n;
}

void ContentsSink::moveToScratch(uint64_t f, Kept& kept) {
    if (!scratch_ && !(scratch_ = openScratchFile())) scratchFailed(f);
    kept.inScratch = true;
    kept.offset = scratchEnd_;
    if (!kept.bytes.empty() &&
        (!seekFile(scratch_, int64_t(scratchEnd_), SEEK_SET) ||
         std::fwrite(kept.bytes.data(), 1, kept.bytes.size(), scratch_) != kept.bytes.size()))
        scratchFailed(f);
    scratchEnd_ += kept.bytes.size();
    inMemory_ -= kept.bytes.size();
    kept.bytes = {};
}

void ContentsSink::writeCopy(uint64_t f) {
    const uint64_t original = originals_[f];
    auto it = kept_.find(original);
    if (original == f || it == kept_.end()) return; // not a copy
    if (onFile) onFile(f);
    Kept& kept = it->second;
    if (kept.inScratch) {
        std::vector<uint8_t> block(size_t(std::min<uint64_t>(kScratchBlockBytes, kept.size)));
        if (!seekFile(scratch_, int64_t(kept.offset), SEEK_SET)) scratchFailed(original);
        for (uint64_t done = 0; done < kept.size;) {
            const size_t n = size_t(std::min<uint64_t>(block.size(), kept.size - done));
            if (std::fread(block.data(), 1, n, scratch_) != n) scratchFailed(original);
            send(block.data(), n);
            done += n;
        }
    } else {
        send(kept.bytes.data(), kept.bytes.size());
    }
    // After the last copy nobody needs the bytes any more; the scratch file keeps its space.
    if (--kept.copiesLeft == 0) {
        inMemory_ -= kept.bytes.size();
        kept_.erase(it);
    }
}

void ContentsSink::scratchFailed(uint64_t f) {
    fatalWithReason(L"\nError: Failed to keep the contents of %ls for its copies\n",
                    list_.storedPath(f).c_str());
}

} // namespace qzn
