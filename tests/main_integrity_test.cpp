// Nothing silently wrong, end to end through the real binary: test and unpack name every file
// whose CRC-32 fails and every file recreated as a copy of one; a pack names the copies of a file
// that changed under it, finishes its archive when a file goes between its two passes, and
// stores a file that holds less than it reports as the bytes it holds.
#include "main_crafted.h"

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

    for (const std::string& root : {std::string(), std::string("out/")}) {
        SCOPED_TRACE(root);
        RunResult r = root.empty() ? box.run({"t", "a.qzn"}) : box.run({"d", "a.qzn", "out"});
        EXPECT_EQ(r.status, 1) << r.out;
        const std::string expected = mismatchLines(root + "a.txt", first, stored1) +
                                     copyLine(root + "sub/copy.txt", root + "a.txt") +
                                     copyLine(root + "sub/copy2.txt", root + "a.txt") +
                                     mismatchLines(root + "sub/b.txt", second, stored2);
        // The report ends the run: nothing follows it, "All crc32 match" least of all.
        EXPECT_TRUE(endsWith(r.out, expected)) << r.out;
    }
}

} // namespace
