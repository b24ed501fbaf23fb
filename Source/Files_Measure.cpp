// The measuring pass: the size and CRC-32 of every input file from one open, with small files
// kept in memory for the data pass.
#include "Files.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace qzn {

namespace {

constexpr size_t kCrcBlockBytes = 8388608;
// The most that files reporting no size may hold in memory together, kept for the data pass.
constexpr uint64_t kUnsizedBudget = uint64_t(64) << 20;

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

// Reads a file of known size into the probe, as the pass reads a kept file: with room for one
// byte more, to see whether there is. A file that holds less than its reported size (as some
// system files do) is what it holds.
void readContents(InputFile& input, FileProbe& probe, std::vector<uint8_t>& scratch) {
    probe.read = true;
    const bool keepable = probe.size <= SmallFileCache::kLargestFile;
    std::vector<uint8_t>& bytes = keepable ? probe.bytes : scratch;
    if (bytes.size() < probe.size + 1) bytes.resize(size_t(probe.size) + 1);
    probe.size = readBlock(input, bytes.data(), probe.size, true, probe.failed, probe.longer);
    if (probe.failed) probe.reason = systemErrorText();
    if (keepable) bytes.resize(size_t(probe.size));
    probe.crc = crc32Update(0, bytes.data(), int32_t(probe.size));
}

// A file that reports no size may hold text all the same (/proc/cpuinfo): what it holds must be
// known before the file table is written, so it is read to its end here and kept for the data
// pass, which could read other bytes from it. `longer` marks one that holds more than
// kLargestRead; one that fails to read is stored as far as it was read.
void readUnsized(InputFile& input, FileProbe& probe) {
    probe.read = probe.unsized = true;
    // The first read asks for a page at once: a /proc/sys file gives its value only to a read at
    // its start, and nothing to the next.
    uint8_t first[4096];
    const int64_t began = input.read(first, sizeof first);
    if (began <= 0) return; // empty, as nearly every such file is
    std::vector<uint8_t>& bytes = probe.bytes;
    bytes.assign(first, first + began);
    // Whole pages, doubled each time (/proc/self/pagemap takes no other reads), until the file
    // ends or is known to hold more than kLargestRead.
    for (size_t room = sizeof first; bytes.size() == room && room <= FileProbe::kLargestRead;) {
        room *= 2;
        const size_t held = bytes.size();
        bytes.resize(room);
        const int64_t got = input.read(bytes.data() + held, room - held);
        if (got < 0) {
            probe.failed = true;
            probe.reason = systemErrorText();
        }
        bytes.resize(held + size_t(std::max<int64_t>(got, 0)));
    }
    if (bytes.size() > FileProbe::kLargestRead) {
        probe.longer = true;
        bytes = {};
    }
    probe.size = bytes.size();
    probe.crc = crc32Update(0, bytes.data(), int32_t(probe.size));
}

// probeFile through the caller's open, which stays usable for a file too large to be read here.
FileProbe probeWith(InputFile& input, const std::wstring& path, bool withCrc,
                    std::vector<uint8_t>& scratch) {
    FileProbe probe;
    probe.opened = input.open(path, &probe.size);
    if (!probe.opened) {
        probe.reason = systemErrorText();
        probe.wrongKind = input.wrongKind();
        return probe;
    }
    probe.id = input.identity();
    if (probe.size == 0)
        readUnsized(input, probe);
    else if (withCrc && probe.size <= FileProbe::kLargestRead)
        readContents(input, probe, scratch);
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
    uint64_t unsizedKept = 0;
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
            if (dirs.empty()) {
                if (probe.wrongKind)
                    fatalWide(L"Error: %ls is not a file or folder\n", file.name.c_str());
                fatalWide(L"Error: Unable to access %ls\n%ls\n", file.name.c_str(),
                          probe.reason.c_str());
            }
            // Left out rather than stopping the pack: the rest is still stored.
            if (probe.wrongKind)
                printWide(L"Warning: Skipping %ls (no longer a regular file)\n", path.c_str());
            else
                printWide(L"Warning: Skipping %ls (file cannot be read)\n%ls\n", path.c_str(),
                          probe.reason.c_str());
            drop(i);
            incomplete = true;
            continue;
        }
        if (std::find(excluded.begin(), excluded.end(), probe.id) != excluded.end() ||
            (!replacedPath.empty() && probe.id == replacedId && sameEntry(path, replacedPath))) {
            noteErrorPath(path);
            printWide(L"Warning: Skipping %ls (the archive being written)\n", path.c_str());
            drop(i);
            continue;
        }
        if (probe.unsized && (probe.longer || unsizedKept + probe.size > kUnsizedBudget)) {
            noteErrorPath(path);
            printWide(L"Warning: Skipping %ls (it reports no size and holds more than can be "
                      L"kept)\n",
                      path.c_str());
            drop(i);
            incomplete = true;
            continue;
        }
        // Without CRC-32 values too, a file small enough to be kept is read here: the data pass
        // takes it from memory, and one that holds less than it reports (as some system files do)
        // is stored as the bytes it holds, as it is with them.
        if (!taken && !withCrc && !probe.read && cache.fits(probe.size))
            readContents(input, probe, scratch);
        file.size = probe.size;
        file.crc = 0;
        // Kept files are checked for more bytes here, and their failures reported: the data pass
        // reads the others again and checks them itself.
        bool failed = false, longer = false;
        if (probe.read && file.size > 0 && (probe.unsized || cache.fits(file.size))) {
            if (probe.unsized) unsizedKept += file.size;
            cache.items.push_back({i, cache.bytes.size()});
            cache.bytes.insert(cache.bytes.end(), probe.bytes.begin(), probe.bytes.end());
            failed = probe.failed;
            longer = probe.longer;
        }
        if (withCrc) {
            const std::wstring label =
                formatWide(L"[%u/%u] %ls", unsigned(i + 1), count, file.name.c_str());
            if (probe.read) {
                file.crc = probe.crc;
                // Read in one block, as below.
                const double mb = double(file.size) / 1048576.0;
                if (file.size > 0)
                    printProgressWide(
                        formatWide(L"crc32 %ls: %.1f/%.1f MB", label.c_str(), mb, mb));
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
        }
        if (failed || longer) {
            noteErrorPath(path);
            // Stored as measured, which is not what the file holds.
            if (failed)
                printWide(
                    probe.unsized
                        ? L"Warning: Failed to read %ls, it is stored as far as it was read\n%ls\n"
                        : L"Warning: Failed to read %ls, the rest is stored as zeros\n%ls\n",
                    path.c_str(), probe.reason.c_str());
            else
                printWide(L"Warning: %ls changed size while packing\n", path.c_str());
            incomplete = true;
        }
    }
    if (!dropped.empty()) removeFiles(dropped);
}

} // namespace qzn
