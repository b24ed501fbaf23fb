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
    std::vector<uint64_t>& original = original_;
    original.resize(n);
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

bool FileStream::prepareCopies() {
    if (hasCopies_ == 0) {
        hasCopies_ = 1;
        for (const FileEntry& file : files)
            if (file.duplicateOf != kNoDuplicate) hasCopies_ = 2;
        if (hasCopies_ == 2) {
            if (copies.empty()) copies = CopyGroups(*this);
            copyStarted_.assign(files.size(), 0);
        }
    }
    return hasCopies_ == 2;
}

void FileStream::restoreDuplicates() {
    if (sink) return; // each copy went to the sink at its place in the list
    // The progress line has ended.
    lineStart_ = L"";
    if (!prepareCopies()) return;
    // In list order, as the files themselves; a copy made early (before the file it is read
    // from was replaced) is not made again.
    for (uint64_t i = 0; i < files.size(); ++i)
        if (files[i].duplicateOf != kNoDuplicate && files[i].selected && !copyStarted_[i])
            makeCopy(i);
}

void FileStream::makeCopy(uint64_t c) {
    copyStarted_[c] = 1;
    FileEntry& copy = files[c];
    const uint32_t d = copy.duplicateOf;
    const uint64_t o = copies.originalOf(c);
    const std::wstring target = pathOf(c);
    // A copy onto itself has nothing to do.
    if (pathKey(pathOf(d)) == pathKey(target)) {
        copy.leftOut = files[d].leftOut;
        copy.copied = !copy.leftOut;
        copy.actualCrc = files[o].actualCrc;
        return;
    }
    std::wstring name;
    if (!outputFolders.folderOf(*this, c, name)) {
        copy.leftOut = true; // its folder was refused, and reported
        return;
    }
    // What is on disk at the source is not these contents.
    if (files[d].leftOut) {
        printWide((lineStart_ + std::wstring(L"Error: %ls is left out: it is a copy of %ls, which "
                                             L"was not unpacked\n"))
                      .c_str(),
                  target.c_str(), pathOf(d).c_str());
        leaveOut(c);
        return;
    }
    // The bytes come from the file made for the original, read back only while its name still
    // leads to that very file (a regular file: never a FIFO or device put in its place), and
    // only when they give the CRC-32 its unpacked bytes gave.
    const std::wstring source = pathOf(o);
    const uint64_t size = files[o].size;
    auto changed = [&] {
        printWide((lineStart_ + std::wstring(L"Error: %ls is left out: it is a copy of %ls, which "
                                             L"was changed after it was unpacked\n"))
                      .c_str(),
                  target.c_str(), source.c_str());
        leaveOut(c);
    };
    InputFile in;
    if (size > 0) {
        const auto made = made_.find(o);
        const OutputFolder* folder = outputFolders.folderOf(*this, o, name);
        if (made == made_.end() || !folder || !in.openIn(*folder, name) ||
            !(in.identity() == made->second))
            return changed();
    }
    OutputFile out;
    if (!openOutput(c, out)) return; // left out, and reported
    uint32_t crc = 0;
    uint64_t done = 0;
    if (size > 0) {
        std::vector<uint8_t> buffer(size_t(std::min<uint64_t>(size + 1, uint64_t(1) << 18)));
        for (int64_t got = 1; got > 0;) {
            // One byte more than the file should hold shows that it grew.
            got =
                in.read(buffer.data(), size_t(std::min<uint64_t>(buffer.size(), size + 1 - done)));
            if (got < 0) {
                const std::wstring reason = systemErrorText();
                out.discard();
                printWide(
                    (lineStart_ + std::wstring(L"Error: Failed to copy %ls to %ls\n%ls\n")).c_str(),
                    source.c_str(), target.c_str(), reason.c_str());
                leaveOut(c);
                return;
            }
            if (got > 0 && !out.write(buffer.data(), size_t(got)))
                fatalWithReason(L"Error: Failed to copy %ls to %ls\n", source.c_str(),
                                target.c_str());
            crc = crc32Update(crc, buffer.data(), int32_t(got));
            done += uint64_t(got);
        }
    }
    // Closed before the copy takes its place, which may be the source's own under another
    // spelling: Windows replaces no file that is open.
    in.close();
    if (done != size || crc != uint32_t(files[o].actualCrc)) {
        out.discard();
        return changed();
    }
    copy.actualCrc = crc;
    copy.copied = true;
    finishFile(c, out);
}

} // namespace qzn
