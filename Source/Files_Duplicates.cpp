// Duplicates: found among the input files when packing, grouped as the copies of each original,
// and recreated by copying when unpacking.
#include "Files.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace qzn {

namespace {

constexpr size_t kCompareBlockBytes = 262144;

// A class of identical files none of whose members can be pointed at yet.
constexpr uint64_t kNoMember = ~uint64_t(0);

// Bytes of an input file for the comparison of contents: kept ones from memory, others read
// block by block (missing bytes read as zeros, as in both passes).
class ContentSource {
  public:
    // False when the file cannot be opened (gone or locked since it was measured).
    bool open(const FileList& list, uint64_t index) {
        memory_ = list.cache.find(index);
        return memory_ || input_.open(list.pathOf(index));
    }
    // The next n bytes (n at most kCompareBlockBytes).
    const uint8_t* next(size_t n, uint8_t* block) {
        if (memory_) {
            const uint8_t* at = memory_ + done_;
            done_ += n;
            return at;
        }
        int64_t got = input_.read(block, n);
        if (got < 0) got = 0;
        std::memset(block + got, 0, n - size_t(got));
        done_ += n;
        return block;
    }

  private:
    const uint8_t* memory_ = nullptr;
    InputFile input_;
    uint64_t done_ = 0;
};

// Whether two files of the list hold the same measured bytes.
bool sameContents(const FileList& list, uint64_t a, uint64_t b, std::vector<uint8_t>& blocks) {
    const uint64_t size = list.files[a].size;
    if (size == 0) return true;
    if (blocks.empty()) blocks.resize(2 * kCompareBlockBytes);
    // A file that cannot be read now is not taken for a copy: it is stored, or reported by the
    // data pass, on its own.
    ContentSource first, second;
    if (!first.open(list, a) || !second.open(list, b)) return false;
    for (uint64_t done = 0; done < size;) {
        const size_t n = size_t(std::min<uint64_t>(kCompareBlockBytes, size - done));
        const uint8_t* x = first.next(n, blocks.data());
        const uint8_t* y = second.next(n, blocks.data() + kCompareBlockBytes);
        if (std::memcmp(x, y, n) != 0) return false;
        done += n;
    }
    return true;
}

} // namespace

void FileList::findDuplicates() {
    // Files with identical contents agree on size and CRC, so only such groups are examined.
    // Within a group, identity splits the files into classes; each file is compared with one
    // member of each class found so far (usually the first comparison matches), and empty
    // files are all identical without reading. The outcome is that of testing every pair in
    // order: each file points at the latest identical earlier file, and the count is the
    // number of identical pairs (a class of k files gives k(k-1)/2).
    const uint64_t n = files.size();
    std::vector<uint64_t> order(n);
    for (uint64_t i = 0; i < n; ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
        const FileEntry& x = files[a];
        const FileEntry& y = files[b];
        if (x.size != y.size) return x.size < y.size;
        if (x.crc != y.crc) return x.crc < y.crc;
        return a < b;
    });

    struct Class {
        uint64_t first;        // the member others are compared with
        uint64_t latest;       // the latest member that can be pointed at, or kNoMember
        uint64_t markable = 0; // members that can be pointed at (index below kNoDuplicate)
    };
    std::vector<Class> classes;
    std::vector<uint8_t> blocks;
    uint32_t count = 0;
    for (uint64_t begin = 0; begin < n;) {
        uint64_t end = begin + 1;
        const FileEntry& head = files[order[begin]];
        while (end < n && files[order[end]].size == head.size && files[order[end]].crc == head.crc)
            ++end;
        classes.clear();
        for (uint64_t k = begin; k < end; ++k) {
            const uint64_t j = order[k];
            Class* found = nullptr;
            for (Class& c : classes) {
                if (sameContents(*this, c.first, j, blocks)) {
                    found = &c;
                    break;
                }
            }
            if (!found) {
                classes.push_back({j, kNoMember, 0});
                found = &classes.back();
            } else if (found->latest != kNoMember) {
                files[j].duplicateOf = uint32_t(found->latest);
                count += uint32_t(found->markable); // wraps as the pairwise count would
            }
            // duplicateOf is 32 bits with all ones meaning none, so no file above index
            // 0xFFFFFFFE can be the original of a duplicate.
            if (j < kNoDuplicate) {
                found->latest = j;
                ++found->markable;
            }
        }
        begin = end;
    }
    printWide(L"Duplicates: %u/%u\n", count, unsigned(n));
}

CopyGroups::CopyGroups(const FileList& list) {
    // Every copy points at an earlier file, so one pass in list order finds the end of each
    // chain; counting sort then groups the copies, keeping list order within each group.
    const uint64_t n = list.files.size();
    std::vector<uint64_t> original(n);
    begin_.assign(n + 1, 0);
    for (uint64_t i = 0; i < n; ++i) {
        const uint32_t source = list.files[i].duplicateOf;
        original[i] = source == kNoDuplicate ? i : original[source];
        if (source != kNoDuplicate) ++begin_[original[i] + 1];
    }
    for (uint64_t i = 0; i < n; ++i) begin_[i + 1] += begin_[i];
    copies_.resize(begin_[n]);
    std::vector<uint64_t> next(begin_.begin(), begin_.end() - 1);
    for (uint64_t i = 0; i < n; ++i)
        if (list.files[i].duplicateOf != kNoDuplicate) copies_[next[original[i]]++] = i;
}

void FileStream::restoreDuplicates() {
    if (sink) return; // each copy went to the sink at its place in the list
    // Output paths that more than one entry lands on (names that differ only where this file
    // system cannot tell them apart): a copy onto such a path must not replace the other file
    // unasked.
    std::map<std::wstring, int> landings;
    for (uint64_t i = 0; i < files.size(); ++i) ++landings[pathKey(pathOf(i))];
    std::vector<uint8_t> buffer;
    for (uint64_t i = 0; i < files.size(); ++i) {
        const uint32_t d = files[i].duplicateOf;
        if (d == kNoDuplicate || !files[i].selected) continue;
        const std::wstring source = pathOf(d);
        const std::wstring target = pathOf(i);
        // A copy onto itself has nothing to do.
        if (pathKey(source) == pathKey(target)) {
            files[i].leftOut = files[d].leftOut;
            continue;
        }
        std::wstring name;
        if (!outputFolders.folderOf(*this, i, name)) {
            files[i].leftOut = true; // its folder was refused, and reported
            continue;
        }
        // What is on disk at the source is not these contents.
        if (files[d].leftOut) {
            printWide(L"Error: %ls is left out: it is a copy of %ls, which was not unpacked\n",
                      target.c_str(), source.c_str());
            files[i].leftOut = true;
            incomplete = true;
            continue;
        }
        auto copyFailed = [&] {
            fatalWithReason(L"Error: Failed to copy %ls to %ls\n", source.c_str(), target.c_str());
        };
        InputFile in;
        const OutputFolder* sourceFolder = outputFolders.folderOf(*this, d, name);
        if (!sourceFolder || !in.openIn(*sourceFolder, name)) copyFailed();
        if (!openOutput(i, landings[pathKey(target)] > 1)) continue; // left out, and reported
        buffer.resize(size_t(1) << 18);
        for (int64_t got = 1; got > 0;) {
            got = in.read(buffer.data(), buffer.size());
            if (got < 0 || (got > 0 && !output.write(buffer.data(), size_t(got)))) copyFailed();
        }
        if (!output.close()) copyFailed();
        if (!output.commit()) fatalWithReason(L"Error: Failed to replace %ls\n", target.c_str());
    }
}

} // namespace qzn
