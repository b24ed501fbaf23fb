// The measuring pass: the size and CRC-32 of every input file from one open, with small files
// kept in memory for the data pass.
#include "Files.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace qzn {

namespace {

constexpr size_t kCrcBlockBytes = 8388608;

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

} // namespace qzn
