// Nothing silently wrong, end to end through the real binary: test and unpack name every file
// whose CRC-32 fails and every file recreated as a copy of one; a pack names the copies of a file
// that changed under it, finishes its archive when a file goes between its two passes, and
// stores a file that holds less than it reports as the bytes it holds.
#include "main_crafted.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#endif

using namespace qzn_e2e;

namespace {

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string mismatchLines(const std::string& label, const std::string& bytes, uint32_t stored) {
    return "Error: Invalid crc32 for " + label + "\nFound " + hexUpper(crc32(bytes)) +
           ", expected " + hexUpper(stored) + "\n";
}

std::string copyLine(const std::string& copy, const std::string& source) {
    return "Error: " + copy + " is a copy of " + source + ", which failed its CRC-32 check\n";
}

// Two files whose stored CRC-32 does not match, a copy of one and a copy of that copy, and a good
// file with a copy of its own: both modes name the two, then the copies right after the file they
// carry the bytes of, and end with status 1. Test names files as stored, unpack by output path.
TEST(CrcCheck, EveryFailedFileAndEveryCopyOfOneIsNamed) {
    Sandbox box;
    CraftedArchive crafted;
    const std::string first = textBytes(3000, 1), second = textBytes(1000, 2),
                      good = textBytes(2000, 3);
    const uint64_t sub = crafted.folder(0, L"sub");
    const uint64_t bad1 = crafted.file(0, L"a.txt", first);
    const uint64_t fine = crafted.file(0, L"good.txt", good);
    const uint64_t bad2 = crafted.file(sub, L"b.txt", second);
    const uint64_t copy = crafted.file(sub, L"copy.txt", first, uint32_t(bad1));
    crafted.file(sub, L"copy2.txt", first, uint32_t(copy));
    crafted.file(sub, L"fine.txt", good, uint32_t(fine));
    const uint32_t stored1 = crafted.list.files[bad1].crc ^= 0x10;
    const uint32_t stored2 = crafted.list.files[bad2].crc ^= 0x8000;
    crafted.write(box.at("a.qzn"));

    // Testing names files by their stored paths, unpacking by the paths it wrote.
    for (const std::string& root : {std::string(), "out" + kSeparator}) {
        SCOPED_TRACE(root);
        RunResult r = root.empty() ? box.run({"t", "a.qzn"}) : box.run({"d", "a.qzn", "out"});
        EXPECT_EQ(r.status, 1) << r.out;
        const std::string sub = root + "sub" + (root.empty() ? "/" : kSeparator);
        const std::string expected = mismatchLines(root + "a.txt", first, stored1) +
                                     copyLine(sub + "copy.txt", root + "a.txt") +
                                     copyLine(sub + "copy2.txt", root + "a.txt") +
                                     mismatchLines(sub + "b.txt", second, stored2);
        // The report ends the run: nothing follows it, "All crc32 match" least of all.
        EXPECT_TRUE(endsWith(r.out, expected)) << r.out;
    }
}

#ifndef _WIN32

// Packs `input` (with one thread and 64 KB chunks) into a.qzn by way of a FIFO that the test holds
// the reading end of. The pack writes nothing to its archive before its duplicate search is over,
// and its first write is a whole segment of about 512 KB; once the FIFO is full the pack waits in
// that write, with no more than that and one chunk of the stream read. `meanwhile` runs then,
// before the pack can read any later file.
RunResult packThroughFifo(const Sandbox& box, const std::string& input,
                          const std::function<void()>& meanwhile) {
    const fs::path fifo = box.at("a.fifo");
    if (mkfifo(fifo.c_str(), 0600) != 0) return {};
    // Open before the pack, so that its open for writing does not wait for a reader.
    const int end = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    if (end < 0) return {};
    // As small as the system allows: the first segment is then always many times larger.
    fcntl(end, F_SETPIPE_SZ, 4096);
    const int capacity = fcntl(end, F_GETPIPE_SZ);
    const pid_t pid = box.start(
        QZN_BINARY, {"-force-overwrite", "-threads:1", "-window:16", "c1", "a.fifo", input});
    int queued = 0;
    for (int waited = 0; waited < 60000 && queued < capacity; waited += 10) {
        usleep(10000);
        ioctl(end, FIONREAD, &queued);
    }
    EXPECT_GE(queued, capacity) << "the pack never filled its archive FIFO";
    meanwhile();
    fcntl(end, F_SETFL, fcntl(end, F_GETFL) & ~O_NONBLOCK);
    std::string archive;
    char buffer[65536];
    for (ssize_t n; (n = read(end, buffer, sizeof buffer)) > 0;) archive.append(buffer, size_t(n));
    close(end);
    writeFile(box.at("a.qzn"), archive);
    return box.finish(pid);
}

// Three identical files, each in a folder below the last, so that x1 is listed first and is the
// one whose bytes are stored: x2 is stored as a copy of x1, x3 as a copy of x2. A 2 MiB file that
// does not compress is listed before them all and fills the first segment.
void putCopiesAfterALargeFile(const Sandbox& box, const std::string& bytes) {
    box.put("in/big.bin", randomBytes(2 << 20, 11));
    box.put("in/p/x1", bytes);
    box.put("in/p/q/x2", bytes);
    box.put("in/p/q/r/x3", bytes);
}

const char* const kCopyWarnings = "Warning: in/p/q/x2 is stored as a copy of in/p/x1\n"
                                  "Warning: in/p/q/r/x3 is stored as a copy of in/p/x1\n";

// x1 is rewritten after the duplicate search found x2 and x3 to be copies of it: all three unpack
// with its new bytes, so the warning about it names them too.
TEST(ChangedInput, CopiesOfAFileThatChangedWhilePackingAreNamed) {
    Sandbox box;
    const std::string before = randomBytes(50000, 12); // too large to be kept in memory
    putCopiesAfterALargeFile(box, before);
    RunResult r = packThroughFifo(box, "in", [&] {
        std::string after = before;
        for (size_t i = 0; i < after.size(); i += 997) after[i] = char(~after[i]);
        std::fstream rewrite(box.at("in/p/x1"), std::ios::in | std::ios::out | std::ios::binary);
        rewrite.write(after.data(), std::streamsize(after.size()));
    });
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Duplicates: 3/4\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(std::string("\nWarning: in/p/x1 changed while packing\n") + kCopyWarnings),
              std::string::npos)
        << r.out;
}

// x1 is removed between the two passes: its measured size is stored as zeros with a warning that
// gives the system's reason, its copies are named, and the archive is finished and holds the rest.
TEST(ChangedInput, FileRemovedBetweenThePassesIsStoredAsZeros) {
    Sandbox box;
    putCopiesAfterALargeFile(box, randomBytes(50000, 13));
    RunResult r = packThroughFifo(box, "in", [&] { fs::remove(box.at("in/p/x1")); });
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(std::string("\nWarning: Failed to open in/p/x1, it is stored as zeros\n") +
                         std::strerror(ENOENT) + "\n" + kCopyWarnings),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Done compressing"), std::string::npos) << r.out;

    r = box.run({"d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(readFile(box.at("out/p/x1")) == std::string(50000, '\0'));
    EXPECT_TRUE(readFile(box.at("out/big.bin")) == readFile(box.at("in/big.bin")));
}

// A /sys file reports 4096 bytes and holds a few: the bytes read are the file, whether it is the
// input itself or a link inside a folder, read by the measuring pass or by a thread ahead of it.
TEST(ShortInput, FileHoldingLessThanItsSizeIsStoredAsItIs) {
    const std::string system = "/sys/class/net/lo/address";
    std::error_code error;
    const uintmax_t reported = fs::file_size(system, error);
    if (error) GTEST_SKIP() << "no " << system;
    const std::string bytes = readFile(system);
    ASSERT_LT(bytes.size(), reported) << system << " holds what it reports";
    Sandbox box;
    box.put("in/a.txt", textBytes(700, 14));
    fs::create_symlink(system, box.at("in/address"));
    const std::vector<std::vector<std::string>> packs = {{"c1", "a.qzn", system},
                                                         {"-threads:1", "c1", "b.qzn", "in"},
                                                         {"-threads:2", "c1", "c.qzn", "in"}};
    for (const std::vector<std::string>& pack : packs) {
        const std::string archive = pack[pack.size() - 2];
        SCOPED_TRACE(archive);
        RunResult r = box.run(pack);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find("Warning"), std::string::npos) << r.out;
        r = box.run({"d", archive, archive + ".out"});
        EXPECT_EQ(r.status, 0) << r.out;
        const fs::path unpacked = box.at(archive + ".out");
        EXPECT_EQ(readFile(pack.back() == "in" ? unpacked / "address" : unpacked), bytes);
    }
}

#endif

} // namespace
