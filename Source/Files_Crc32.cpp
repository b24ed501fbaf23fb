// CRC-32 (reflected, polynomial 0xEDB88320), file sizes and CRCs of the input files, and the
// search for files with identical contents.
#include "Files.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

namespace qzn {

namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320;
constexpr size_t kCrcBlockBytes = 8388608;
constexpr size_t kCompareBlockBytes = 262144;

struct CrcTables {
    uint32_t t[16][256];
    CrcTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? kCrcPolynomial : 0);
            t[0][i] = c;
        }
        for (int k = 0; k < 15; ++k)
            for (uint32_t i = 0; i < 256; ++i) t[k + 1][i] = t[0][t[k][i] & 0xFF] ^ (t[k][i] >> 8);
    }
};

// Built once, on first use.
const CrcTables& crcTables() {
    static const CrcTables tables;
    return tables;
}

} // namespace

uint32_t crc32Update(uint32_t previous, const uint8_t* buffer, int32_t length) {
    const CrcTables& tables = crcTables();
    const auto& t = tables.t;
    uint32_t c = previous ^ 0xFFFFFFFF;
    size_t left = length > 0 ? size_t(length) : 0;
    while (left > 0 && (reinterpret_cast<uintptr_t>(buffer) & 15) != 0) {
        c = t[0][(c ^ *buffer++) & 0xFF] ^ (c >> 8);
        --left;
    }
    while (left >= 16) {
        const uint8_t* b = buffer;
        c = t[15][(b[0] ^ c) & 0xFF] ^ t[14][(b[1] ^ (c >> 8)) & 0xFF] ^
            t[13][(b[2] ^ (c >> 16)) & 0xFF] ^ t[12][(b[3] ^ (c >> 24)) & 0xFF] ^ t[11][b[4]] ^
            t[10][b[5]] ^ t[9][b[6]] ^ t[8][b[7]] ^ t[7][b[8]] ^ t[6][b[9]] ^ t[5][b[10]] ^
            t[4][b[11]] ^ t[3][b[12]] ^ t[2][b[13]] ^ t[1][b[14]] ^ t[0][b[15]];
        buffer += 16;
        left -= 16;
    }
    while (left > 0) {
        c = t[0][(c ^ *buffer++) & 0xFF] ^ (c >> 8);
        --left;
    }
    return c ^ 0xFFFFFFFF;
}

namespace {

// Reads up to `size` bytes of an open file into `buffer` and returns how many there were: fewer
// only where the file ends early, and then the bytes read are the whole file. A read error gives
// zeros for the missing bytes, as in the data pass, so that both passes agree on what is stored.
// With `checkMore` the buffer has room for one more byte, which is asked for in the same call:
// `longer` tells whether the file holds more than `size`.
uint64_t readBlock(InputFile& input, uint8_t* buffer, uint64_t size, bool checkMore, bool& failed,
                   bool& longer) {
    const int64_t got = input.read(buffer, size_t(size) + (checkMore ? 1 : 0), size_t(size));
    longer = got > int64_t(size);
    if (got >= 0) return std::min(uint64_t(got), size);
    failed = true;
    std::memset(buffer, 0, size_t(size));
    return size;
}

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

namespace {

// probeFile through the caller's open, which stays usable for a file too large to be read here.
FileProbe probeWith(InputFile& input, const std::wstring& path, bool withCrc,
                    std::vector<uint8_t>& scratch) {
    FileProbe probe;
    probe.opened = input.open(path, &probe.size);
    if (!probe.opened) return probe;
    probe.id = input.identity();
    if (!withCrc || probe.size > FileProbe::kLargestRead) return probe;
    probe.read = true;
    if (probe.size == 0) {
        uint8_t extra[1];
        probe.longer = input.read(extra, 1) > 0;
        return probe;
    }
    // Read as the pass reads a kept file: with room for one byte more, to see whether there is.
    // A file that holds less than its reported size (as some system files do) is what it holds.
    const bool keepable = probe.size <= SmallFileCache::kLargestFile;
    std::vector<uint8_t>& bytes = keepable ? probe.bytes : scratch;
    if (bytes.size() < probe.size + 1) bytes.resize(size_t(probe.size) + 1);
    probe.size = readBlock(input, bytes.data(), probe.size, true, probe.failed, probe.longer);
    if (keepable) bytes.resize(size_t(probe.size));
    probe.crc = crc32Update(0, bytes.data(), int32_t(probe.size));
    return probe;
}

} // namespace

FileProbe probeFile(const std::wstring& path, bool withCrc, std::vector<uint8_t>& scratch) {
    InputFile input;
    return probeWith(input, path, withCrc, scratch);
}

void FileList::measure(bool withCrc, ProbesAhead* ahead) {
    // One open per file: the size comes from the open handle, and the CRC-32 (over exactly that
    // many bytes) from the same handle. Small files are kept for the data pass while the budget
    // lasts. Files read ahead went through the same probe; only the messages and the cache are
    // left for here, in list order.
    const unsigned count = unsigned(files.size());
    std::vector<uint8_t> dropped;
    std::vector<uint8_t> scratch;
    std::unique_ptr<uint8_t[]> block;
    auto drop = [&](uint64_t i) {
        if (dropped.empty()) dropped.resize(files.size(), 0);
        dropped[i] = 1;
    };
    for (uint64_t i = 0; i < files.size(); ++i) {
        FileEntry& file = files[i];
        const std::wstring path = pathOf(i);
        FileProbe probe;
        InputFile input; // this pass's own open, for a file not read ahead
        bool taken = ahead != nullptr && ahead->take(i, probe);
        // Too large to be read ahead: read here, from an open of its own.
        if (taken && probe.opened && withCrc && !probe.read) taken = false;
        if (!taken) probe = probeWith(input, path, withCrc, scratch);
        if (!probe.opened) {
            if (dirs.empty()) fatalWide(L"Error: Unable to access %ls\n", file.name.c_str());
            // Left out rather than stopping the pack: the rest is still stored.
            printWide(L"Warning: Skipping %ls (file cannot be read)\n", path.c_str());
            drop(i);
            incomplete = true;
            continue;
        }
        if (std::find(excluded.begin(), excluded.end(), probe.id) != excluded.end()) {
            printWide(L"Warning: Skipping %ls (the archive being written)\n", path.c_str());
            drop(i);
            continue;
        }
        file.size = probe.size;
        file.crc = 0;
        if (!withCrc) continue;

        const std::wstring label =
            formatWide(L"[%u/%u] %ls", unsigned(i + 1), count, file.name.c_str());
        // Only kept and empty files are checked for more bytes here: the data pass reads the
        // others again and checks them itself.
        bool failed = false, longer = false;
        if (file.size == 0) {
            longer = probe.longer;
        } else if (probe.read) {
            file.crc = probe.crc;
            if (cache.fits(file.size)) {
                cache.items.push_back({i, cache.bytes.size()});
                cache.bytes.insert(cache.bytes.end(), probe.bytes.begin(), probe.bytes.end());
                failed = probe.failed;
                longer = probe.longer;
            }
            // Read in one block, as below.
            const double mb = double(file.size) / 1048576.0;
            printProgressWide(formatWide(L"crc32 %ls: %.1f/%.1f MB", label.c_str(), mb, mb));
        } else {
            if (!block) block.reset(new uint8_t[kCrcBlockBytes]);
            bool ignored = false;
            for (uint64_t done = 0; done < file.size;) {
                const uint64_t n = std::min<uint64_t>(kCrcBlockBytes, file.size - done);
                const uint64_t got = readBlock(input, block.get(), n, false, ignored, ignored);
                done += got;
                if (got < n) file.size = done; // it ends here: what was read is the file
                file.crc = crc32Update(file.crc, block.get(), int32_t(got));
                printProgressWide(formatWide(L"crc32 %ls: %.1f/%.1f MB", label.c_str(),
                                             double(done) / 1048576.0,
                                             double(file.size) / 1048576.0));
            }
        }
        printProgressEndWide(formatWide(L"crc32 %ls: %X", label.c_str(), file.crc));
        if (failed || longer) {
            // Stored as measured, which is not what the file holds.
            printWide(failed ? L"Warning: Failed to read %ls, the rest is stored as zeros\n"
                             : L"Warning: %ls changed size while packing\n",
                      path.c_str());
            incomplete = true;
        }
    }
    if (!dropped.empty()) removeFiles(dropped);
}

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
        uint64_t latest;       // the latest member that can be pointed at, or kNoParent
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
                classes.push_back({j, kNoParent, 0});
                found = &classes.back();
            } else if (found->latest != kNoParent) {
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

} // namespace qzn
