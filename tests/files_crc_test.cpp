// CRC-32, file measurement and duplicate detection.
#include "Files.h"
#include "FilesSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>

namespace qzn {
namespace {

using testing::folderListOf;
using testing::runCapturingStop;
using testing::TempDir;
using testing::writeFile;

uint32_t referenceCrc(const uint8_t* data, size_t n) {
    uint32_t c = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i) {
        c ^= data[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? 0xEDB88320 : 0);
    }
    return c ^ 0xFFFFFFFF;
}

std::string progressLine(const std::string& text) {
    return "\r" + text + std::string(text.size() < 79 ? 79 - text.size() : 0, ' ');
}

TEST(Crc32, CheckValue) {
    const char* text = "123456789";
    EXPECT_EQ(crc32Update(0, reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
    EXPECT_EQ(crc32Update(0, nullptr, 0), 0u);
}

// Both ways of computing, each against the bit-by-bit reference. Where the processor has a fold
// kernel, crc32Update takes it for long buffers; x86-64 always has one here.
TEST(Crc32, FoldAndTablesMatchBitwiseAtEveryLengthAndAlignment) {
#if defined(__x86_64__) || defined(_M_X64)
    ASSERT_NE(crc32FoldKernel(), nullptr);
#endif
    constexpr size_t kLongest = 600;
    const std::vector<uint8_t> data = testing::randomBytes(kLongest, 11);
    alignas(64) uint8_t buffer[kLongest + 16];
    for (size_t shift = 0; shift < 16; ++shift) {
        std::memcpy(buffer + shift, data.data(), data.size());
        const uint8_t* p = buffer + shift;
        for (size_t length = 0; length <= kLongest; ++length) {
            const uint32_t expected = referenceCrc(p, length);
            ASSERT_EQ(crc32Update(0, p, int32_t(length)), expected) << shift << " " << length;
            ASSERT_EQ(crc32UpdateByTables(0, p, int32_t(length)), expected)
                << shift << " " << length;
        }
    }
    const std::vector<uint8_t> large = testing::randomBytes((1 << 20) + 14, 12);
    for (size_t length : {size_t(1) << 20, (size_t(1) << 20) + 13}) {
        const uint8_t* p = large.data() + 1;
        const uint32_t expected = referenceCrc(p, length);
        EXPECT_EQ(crc32Update(0, p, int32_t(length)), expected) << length;
        EXPECT_EQ(crc32UpdateByTables(0, p, int32_t(length)), expected) << length;
    }
}

// Every split, with pieces on both sides long enough to be folded, at every alignment: the value
// handed from one update to the next carries on exactly.
TEST(Crc32, SlicedUpdateMatchesBytewiseAtEverySplitAndAlignment) {
    const std::vector<uint8_t> data = testing::randomBytes(700, 7);
    std::vector<uint32_t> prefixCrc(data.size() + 1);
    for (size_t n = 0; n <= data.size(); ++n) prefixCrc[n] = referenceCrc(data.data(), n);
    alignas(16) uint8_t buffer[716];
    for (size_t shift = 0; shift < 16; ++shift) {
        std::memcpy(buffer + shift, data.data(), data.size());
        const uint8_t* p = buffer + shift;
        for (size_t split = 0; split <= data.size(); ++split) {
            uint32_t c = crc32Update(0, p, int32_t(split));
            ASSERT_EQ(c, prefixCrc[split]) << shift << " " << split;
            c = crc32Update(c, p + split, int32_t(data.size() - split));
            ASSERT_EQ(c, prefixCrc.back()) << shift << " " << split;
        }
    }
}

TEST(Measure, CrcOfLargeFileReportsProgressPerBlock) {
    TempDir tmp;
    const std::vector<uint8_t> data = testing::randomBytes(20 << 20, 3);
    FileList list =
        folderListOf(tmp.path(), {{"empty", ""}, {"big", std::string(data.begin(), data.end())}});
    auto run = runCapturingStop([&] { list.measure(true); });
    EXPECT_FALSE(run.stopped);
    EXPECT_EQ(list.files[0].crc, 0u);
    EXPECT_EQ(list.files[1].size, data.size());
    EXPECT_EQ(list.files[1].crc, referenceCrc(data.data(), data.size()));
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", list.files[1].crc);
    EXPECT_EQ(run.output, progressLine("crc32 [1/2] empty: 0") + "\n" +
                              progressLine("crc32 [2/2] big: 8.0/20.0 MB") +
                              progressLine("crc32 [2/2] big: 16.0/20.0 MB") +
                              progressLine("crc32 [2/2] big: 20.0/20.0 MB") +
                              progressLine(std::string("crc32 [2/2] big: ") + hex) + "\n");
}

TEST(Measure, SizesAndCrcsWithLabels) {
    TempDir tmp;
    writeFile(tmp / "a", "123456789");
    writeFile(tmp / "b", "");
    FileList list;
    list.scan(fromUtf8(tmp.path()));
    ASSERT_EQ(list.files.size(), 2u);
    auto run = runCapturingStop([&] { list.measure(true); });
    EXPECT_FALSE(run.stopped);
    for (uint32_t k = 0; k < 2; ++k) {
        const FileEntry& f = list.files[k];
        EXPECT_EQ(f.size, f.name == L"a" ? 9u : 0u);
        EXPECT_EQ(f.crc, f.name == L"a" ? 0xCBF43926u : 0u);
        std::string label = "crc32 [" + std::to_string(k + 1) + "/2] " + toUtf8(f.name) + ": ";
        EXPECT_NE(run.output.find(label), std::string::npos) << run.output;
    }

    run = runCapturingStop([&] { list.measure(false); });
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(list.files[0].crc, 0u);
    EXPECT_EQ(list.files[1].crc, 0u);
}

TEST(Measure, VanishedFileIsLeftOutNamingIt) {
    TempDir tmp;
    writeFile(tmp / "gone", "x");
    writeFile(tmp / "kept", "y");
    FileList list;
    list.scan(fromUtf8(tmp.path()));
    std::remove((tmp / "gone").c_str());
    auto run = runCapturingStop([&] { list.measure(true); });
    EXPECT_FALSE(run.stopped);
    const std::string gone = toUtf8(joinPath(fromUtf8(tmp.path()), L"gone"));
    // The system's reason follows on a line of its own.
    const std::string skipped = "Warning: Skipping " + gone + " (file cannot be read)\n";
    const size_t at = run.output.find(skipped);
    ASSERT_NE(at, std::string::npos) << run.output;
    const size_t reason = at + skipped.size();
    EXPECT_GT(run.output.find('\n', reason), reason + 1) << run.output;
    EXPECT_TRUE(list.incomplete);
    ASSERT_EQ(list.files.size(), 1u);
    EXPECT_EQ(list.files[0].name, L"kept");
    EXPECT_EQ(list.dirs[0].files, (std::vector<uint64_t>{0}));
    list.checkConsistency();

    // A single input file that cannot be read leaves nothing to pack.
    FileList single;
    single.scan(fromUtf8(tmp / "kept"));
    std::remove((tmp / "kept").c_str());
    run = runCapturingStop([&] { single.measure(true); });
    EXPECT_EQ(run.status, 1);
    const std::string message = "Error: Unable to access " + (tmp / "kept") + "\n";
    EXPECT_EQ(run.output.substr(0, message.size()), message);
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 2) << run.output;
    EXPECT_GT(run.output.size(), message.size() + 1);
}

TEST(Duplicates, EveryIdenticalPairIsCounted) {
    TempDir tmp;
    FileList three =
        folderListOf(tmp.path(), {{"x", "same"}, {"other", "diff"}, {"y", "same"}, {"z", "same"}});
    auto run = runCapturingStop([&] {
        three.measure(true);
        three.findDuplicates();
    });
    EXPECT_NE(run.output.find("Duplicates: 3/4\n"), std::string::npos) << run.output;
    EXPECT_EQ(three.files[0].duplicateOf, kNoDuplicate);
    EXPECT_EQ(three.files[1].duplicateOf, kNoDuplicate);
    EXPECT_EQ(three.files[2].duplicateOf, 0u); // Y -> X
    EXPECT_EQ(three.files[3].duplicateOf, 2u); // Z -> Y
    EXPECT_EQ(three.totalSize(), 8u);

    FileList two = folderListOf(tmp.path(), {{"p", "12345"}, {"q", "12345"}});
    run = runCapturingStop([&] {
        two.measure(true);
        two.findDuplicates();
    });
    EXPECT_NE(run.output.find("Duplicates: 1/2\n"), std::string::npos);
    EXPECT_EQ(two.files[1].duplicateOf, 0u);
}

TEST(Duplicates, EqualSizeAndCrcAloneDoNotMatch) {
    TempDir tmp;
    FileList list = folderListOf(tmp.path(), {{"a", "abcd"}, {"b", "abce"}});
    list.files[0].size = list.files[1].size = 4;
    list.files[0].crc = list.files[1].crc = 0x12345678; // as if the CRCs collided
    auto run = runCapturingStop([&] { list.findDuplicates(); });
    EXPECT_EQ(run.output, "Duplicates: 0/2\n");
    EXPECT_EQ(list.files[1].duplicateOf, kNoDuplicate);
}

TEST(Duplicates, LargeFilesAreComparedWholeBeyondTheCache) {
    // Larger than any kept file and than one comparison block, with every CRC set equal as if
    // they collided: only the comparison of contents tells the files apart, and the one that
    // differs does so in its last byte.
    TempDir tmp;
    const std::vector<uint8_t> bytes = testing::randomBytes(600000, 9);
    const std::string big(bytes.begin(), bytes.end());
    std::string changed = big;
    changed.back() ^= 1;
    FileList list = folderListOf(
        tmp.path(),
        {{"a", big}, {"c", changed}, {"short", big.substr(0, big.size() - 1)}, {"b", big}});
    auto run = runCapturingStop([&] { list.measure(true); });
    ASSERT_FALSE(run.stopped) << run.output;
    EXPECT_EQ(list.files[0].size, 600000u);
    EXPECT_EQ(list.files[2].size, 599999u);
    for (FileEntry& file : list.files) file.crc = 0x12345678;
    run = runCapturingStop([&] { list.findDuplicates(); });
    EXPECT_EQ(run.output, "Duplicates: 1/4\n");
    EXPECT_EQ(list.files[1].duplicateOf, kNoDuplicate);
    EXPECT_EQ(list.files[2].duplicateOf, kNoDuplicate);
    EXPECT_EQ(list.files[3].duplicateOf, 0u);

    // A file that goes before it is compared is no copy: the data pass stores or reports it on
    // its own.
    std::remove((tmp / "b").c_str());
    list.files[3].duplicateOf = kNoDuplicate;
    run = runCapturingStop([&] { list.findDuplicates(); });
    EXPECT_FALSE(run.stopped);
    EXPECT_EQ(run.output, "Duplicates: 0/4\n");
    EXPECT_EQ(list.files[3].duplicateOf, kNoDuplicate);
}

} // namespace
} // namespace qzn
