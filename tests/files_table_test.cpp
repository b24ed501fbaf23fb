// File table: exact bits of the worked tables, round trips of every list shape, and refusal of
// damaged or hostile tables.
#include "Entropy_Huffman.h"
#include "Files.h"
#include "FilesSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace qzn {
namespace {

using testing::runCapturingStop;

// The payload of the single segment that writing the table (or anything else) produces.
std::vector<uint8_t> segmentOf(const std::function<void(BitWriter&)>& body) {
    FILE* file = std::tmpfile();
    BitWriter writer(file);
    writer.openBuffer();
    body(writer);
    writer.flush();
    std::fflush(file);
    std::rewind(file);
    std::vector<uint8_t> bytes;
    for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(uint8_t(c));
    std::fclose(file);
    EXPECT_GE(bytes.size(), 4u);
    uint32_t count = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t(bytes[3]) << 24;
    EXPECT_EQ(count, bytes.size() - 4);
    return std::vector<uint8_t>(bytes.begin() + 4, bytes.end());
}

// Writes the body as an archive of one segment and reads a table back from it.
void readBack(const std::function<void(BitWriter&)>& body, FileList& list) {
    testing::writeThenRead(body, [&](BitReader& reader) { list.readTable(reader); });
}

FileList roundTrip(const FileList& source) {
    FileList result;
    result.files.resize(3); // readTable must empty the list first
    readBack([&](BitWriter& w) { source.writeTable(w); }, result);
    return result;
}

FileEntry file(const std::wstring& name, uint64_t size, uint64_t dirIndex, uint32_t crc = 0,
               uint32_t duplicateOf = kNoDuplicate) {
    FileEntry entry;
    entry.name = name;
    entry.size = size;
    entry.dirIndex = dirIndex;
    entry.crc = crc;
    entry.duplicateOf = duplicateOf;
    return entry;
}

DirEntry dir(const std::wstring& name, std::vector<uint64_t> files,
             std::vector<uint64_t> subdirs = {}) {
    DirEntry entry;
    entry.name = name;
    entry.files = std::move(files);
    entry.subdirs = std::move(subdirs);
    return entry;
}

void expectSameLists(const FileList& a, const FileList& b) {
    ASSERT_EQ(a.dirs.size(), b.dirs.size());
    ASSERT_EQ(a.files.size(), b.files.size());
    for (size_t d = 0; d < a.dirs.size(); ++d) {
        EXPECT_EQ(a.dirs[d].name, b.dirs[d].name) << d;
        EXPECT_EQ(a.dirs[d].files, b.dirs[d].files) << d;
        EXPECT_EQ(a.dirs[d].subdirs, b.dirs[d].subdirs) << d;
    }
    for (size_t f = 0; f < a.files.size(); ++f) {
        EXPECT_EQ(a.files[f].name, b.files[f].name) << f;
        EXPECT_EQ(a.files[f].size, b.files[f].size) << f;
        EXPECT_EQ(a.files[f].dirIndex, b.files[f].dirIndex) << f;
        EXPECT_EQ(a.files[f].crc, b.files[f].crc) << f;
        EXPECT_EQ(a.files[f].duplicateOf, b.files[f].duplicateOf) << f;
    }
}

// ---- Exact bits --------------------------------------------------------------------------

TEST(FileTable, SingleFiveByteFileIs140Bits) {
    FileList list;
    list.files.push_back(file(L"input.bin", 5, 0));
    uint32_t bits = 0;
    auto bytes = segmentOf([&](BitWriter& w) {
        list.writeTable(w);
        bits = w.bitPosition;
    });
    EXPECT_EQ(bits, 140u);
    std::vector<uint8_t> expected = {0x02, 0x0A, 0x00, 0x00, 0x00, 0xF0, 0xFF, 0xFF, 0xFF,
                                     0x0F, 0,    0,    0,    0,    0,    0,    0,    0};
    EXPECT_EQ(bytes, expected);

    FileList back = roundTrip(list);
    ASSERT_EQ(back.files.size(), 1u);
    EXPECT_TRUE(back.dirs.empty());
    EXPECT_EQ(back.files[0].name, L""); // a single file's name is never stored
    EXPECT_EQ(back.files[0].size, 5u);
    EXPECT_EQ(back.files[0].duplicateOf, kNoDuplicate);
}

TEST(FileTable, FolderWithOneThreeByteFileIs180Bits) {
    FileList list;
    list.dirs.push_back(dir(L"", {0}));
    list.files.push_back(file(L"a", 3, 0));
    uint32_t bits = 0;
    auto bytes = segmentOf([&](BitWriter& w) {
        list.writeTable(w);
        bits = w.bitPosition;
    });
    EXPECT_EQ(bits, 180u);
    std::vector<uint8_t> expected = {0x22, 0xFF, 0x79, 0xFF, 0x02, 0x60, 0x00, 0x00,
                                     0x00, 0x00, 0xF0, 0xFF, 0xFF, 0xFF, 0x0F, 0,
                                     0,    0,    0,    0,    0,    0,    0};
    EXPECT_EQ(bytes, expected);
    expectSameLists(roundTrip(list), list);
}

TEST(FileTable, RootWithTwoFilesAndEmptySubfolder) {
    FileList list;
    list.dirs.push_back(dir(L"", {0, 1}, {1}));
    list.dirs.push_back(dir(L"s", {}));
    list.files.push_back(file(L"a", 10, 0, 0x1234));
    list.files.push_back(file(L"b", 20, 0, 0x5678));

    auto expected = segmentOf([](BitWriter& w) {
        w.putVarint(2);
        w.putVarint(2);
        auto model = std::make_unique<HuffmanCoder<256>>();
        model->reset();
        for (uint32_t s : {0u, uint32_t('s'), 0u, uint32_t('a'), 0u, uint32_t('b'), 0u}) {
            model->tick();
            model->encode(s, w);
            model->update(s);
        }
        for (uint64_t v : {2, 1, 0, 1, 1, 0, 0}) w.putVarint(v);
        for (uint32_t crc : {0x1234u, 0x5678u}) {
            w.putVarint(crc == 0x1234u ? 10 : 20);
            w.putVarint(0);
            w.put32(crc);
            w.put32(kNoDuplicate);
            w.put32(0);
            w.put32(0);
        }
    });
    EXPECT_EQ(segmentOf([&](BitWriter& w) { list.writeTable(w); }), expected);
    expectSameLists(roundTrip(list), list);
}

// ---- Round trips ---------------------------------------------------------------------------

TEST(FileTable, TreeRoundTripKeepsEveryStoredField) {
    FileList list;
    list.dirs.push_back(dir(L"", {0, 1, 2}, {1, 2}));
    list.dirs.push_back(dir(L"Ünïcödé 日本", {3, 4}, {3}));
    list.dirs.push_back(dir(L"empty", {}));
    list.dirs.push_back(dir(fromUtf8("bad\xff\xfe"), {}));
    list.files.push_back(file(L"big.bin", (uint64_t(1) << 32) + 17, 0, 0xCBF43926));
    list.files.push_back(file(L"same.bin", (uint64_t(1) << 32) + 17, 0, 0xCBF43926, 0));
    list.files.push_back(file(L"😀 emoji", 0, 0));
    list.files.push_back(file(fromUtf8("raw\x80\xc3("), (uint64_t(1) << 40) + 3, 1, 7, 1));
    list.files.push_back(file(L"x", 1, 1, 0xFFFFFFFF));
    for (FileEntry& f : list.files) {
        f.path = L"/somewhere/" + f.name; // neither is stored
        f.actualCrc = 99;
    }

    FileList back = roundTrip(list);
    expectSameLists(back, list);
    for (const FileEntry& f : back.files) {
        EXPECT_TRUE(f.path.empty());
        EXPECT_EQ(f.actualCrc, 0u);
    }
    // Bytes that are not UTF-8 survive on POSIX; Windows reads them as U+FFFD, as its own
    // conversion does.
    EXPECT_EQ(toUtf8(back.files[3].name),
              testing::kWindows ? "raw\xEF\xBF\xBD\xEF\xBF\xBD(" : "raw\x80\xc3(");
}

TEST(FileTable, TreeOfEmptyFoldersRoundTrips) {
    FileList list;
    list.dirs.push_back(dir(L"", {}, {1, 2}));
    list.dirs.push_back(dir(L"a", {}, {3}));
    list.dirs.push_back(dir(L"d", {}));
    list.dirs.push_back(dir(L"b", {}));
    expectSameLists(roundTrip(list), list);

    FileList root;
    root.dirs.push_back(dir(L"", {}));
    expectSameLists(roundTrip(root), root);
}

TEST(FileTable, EmptyListRoundTrips) {
    FileList back = roundTrip(FileList());
    EXPECT_TRUE(back.dirs.empty());
    EXPECT_TRUE(back.files.empty());
}

TEST(FileTable, ManyNamesCrossRebuildsAndSegments) {
    // Enough name symbols for many model rebuilds and enough records for several segments.
    FileList list;
    list.dirs.push_back(dir(L"", {}));
    for (uint64_t i = 0; i < 40000; ++i) {
        list.dirs[0].files.push_back(i);
        list.files.push_back(file(L"file-" + std::to_wstring(i * 7919) + L".dat", i * 3, 0,
                                  uint32_t(i * 2654435761u)));
    }
    expectSameLists(roundTrip(list), list);
}

// ---- Refusals ------------------------------------------------------------------------------

void expectCorrupt(const FileList& list, const std::string& what) {
    FileList back;
    auto stop = runCapturingStop([&] { back = roundTrip(list); });
    EXPECT_TRUE(stop.stopped);
    EXPECT_EQ(stop.status, 1);
    EXPECT_EQ(stop.output, "Error: Corrupt archive: " + what + "\n");
}

TEST(FileTableRefusal, IndicesPastTheirLists) {
    FileList list;
    list.dirs.push_back(dir(L"", {0, 7}));
    list.files = {file(L"a", 1, 0), file(L"b", 1, 0)};
    expectCorrupt(list, "file index out of range");

    list.dirs[0] = dir(L"", {0, 1}, {9});
    list.dirs.push_back(dir(L"s", {}));
    expectCorrupt(list, "directory index out of range");
}

TEST(FileTableRefusal, BrokenTrees) {
    FileList list;
    list.files = {file(L"a", 1, 0)};
    list.dirs = {dir(L"", {0}, {1, 1}), dir(L"s", {}), dir(L"t", {})};
    expectCorrupt(list, "directory listed more than once");

    list.dirs = {dir(L"", {0}, {2}), dir(L"s", {}), dir(L"t", {}, {1})};
    expectCorrupt(list, "directory listed under a later directory");

    list.dirs = {dir(L"", {0}, {0}), dir(L"s", {})};
    expectCorrupt(list, "root directory listed as a subdirectory");

    list.dirs = {dir(L"", {0}, {1}), dir(L"s", {}), dir(L"t", {})};
    expectCorrupt(list, "directory outside the tree");
}

TEST(FileTableRefusal, FilesOutsideTheirDirectory) {
    FileList list;
    list.dirs = {dir(L"", {0, 0})};
    list.files = {file(L"a", 1, 0), file(L"b", 1, 0)};
    expectCorrupt(list, "file listed more than once");

    list.dirs = {dir(L"", {0, 1, 1})};
    expectCorrupt(list, "more file entries than files");

    list.dirs = {dir(L"", {0}, {1}), dir(L"s", {})};
    expectCorrupt(list, "file outside the tree");

    list.dirs = {dir(L"", {0}, {1}), dir(L"s", {1})};
    list.files[1].dirIndex = 0;
    expectCorrupt(list, "file listed under a directory other than its own");
}

TEST(FileTableRefusal, DuplicatesMustPointBack) {
    FileList list;
    list.dirs = {dir(L"", {0, 1})};
    list.files = {file(L"a", 1, 0, 0, 1), file(L"b", 1, 0)};
    expectCorrupt(list, "duplicate refers forward");

    list.files = {file(L"a", 1, 0), file(L"b", 1, 0, 0, 1)};
    expectCorrupt(list, "duplicate refers forward");

    FileList single;
    single.files = {file(L"", 1, 0, 0, 0)};
    expectCorrupt(single, "duplicate refers forward");
}

TEST(FileTableRefusal, TotalSizeBeyond64Bits) {
    FileList list;
    list.dirs = {dir(L"", {0, 1})};
    list.files = {file(L"a", uint64_t(1) << 63, 0), file(L"b", uint64_t(1) << 63, 0)};
    expectCorrupt(list, "total size too large");
}

TEST(FileTableRefusal, CountsBeyondTheArchiveStopBeforeAllocating) {
    FileList back;
    for (auto [files, dirs] : {std::pair<uint64_t, uint64_t>{uint64_t(1) << 60, 1},
                               {1, uint64_t(1) << 60},
                               {uint64_t(1) << 60, uint64_t(1) << 60},
                               {3, 1}}) {
        auto stop = runCapturingStop([&] {
            readBack(
                [&](BitWriter& w) {
                    w.putVarint(files);
                    w.putVarint(dirs);
                },
                back);
        });
        EXPECT_EQ(stop.status, 1) << files << " " << dirs;
        EXPECT_EQ(stop.output,
                  "Error: Corrupt archive: file table counts exceed the archive size\n");
    }
}

TEST(FileTableRefusal, NamesRunningPastTheEndStopEarly) {
    // Zero bits decode to a non-zero symbol with a fresh model, so the name never ends; the
    // archive's size ends it long before the name length limit would.
    FileList back;
    auto stop = runCapturingStop([&] {
        readBack(
            [](BitWriter& w) {
                w.putVarint(1);
                w.putVarint(1);
                for (int i = 0; i < 20; ++i) w.put(0, 16);
            },
            back);
    });
    EXPECT_EQ(stop.status, 1);
    EXPECT_EQ(stop.output, "Error: Corrupt archive: names exceed the archive size\n");
}

TEST(FileTableRefusal, ShapesAndOverlongNamesAreAssertions) {
    FileList back;
    EXPECT_ASSERT_STOP(readBack(
                           [](BitWriter& w) {
                               w.putVarint(2);
                               w.putVarint(0);
                           },
                           back),
                       kFilesSource, 606);
    EXPECT_ASSERT_STOP(readBack(
                           [](BitWriter& w) {
                               w.putVarint(uint64_t(1) << 60);
                               w.putVarint(0);
                           },
                           back),
                       kFilesSource, 606);

    FileList list;
    list.dirs = {dir(std::wstring(65535, L'd'), {0})};
    list.files = {file(L"a", 1, 0)};
    EXPECT_ASSERT_STOP(back = roundTrip(list), kFilesSource, 547);
    list.dirs[0].name = std::wstring(65534, L'd'); // the longest name that fits
    list.files[0].name = std::wstring(65535, L'f');
    EXPECT_ASSERT_STOP(back = roundTrip(list), kFilesSource, 567);
    list.files[0].name = std::wstring(65534, L'f');
    expectSameLists(roundTrip(list), list);
}

// ---- Names -----------------------------------------------------------------------------------

TEST(FileNames, UnsafeStoredNamesAreFound) {
    for (const std::wstring& name :
         {std::wstring(L".."), std::wstring(L"."), std::wstring(L""), std::wstring(L"a/../../x"),
          std::wstring(L"/etc/x"), std::wstring(L"a\0b", 3)}) {
        FileList list;
        list.dirs = {dir(L"", {}, {1}), dir(L"sub", {0})};
        list.files = {file(name, 1, 1)};
        std::wstring bad;
        EXPECT_FALSE(list.namesAreSafe(bad)) << toUtf8(name);
        EXPECT_EQ(bad, L"sub/" + name);

        list.files[0].name = L"ok";
        list.dirs[1].name = name;
        EXPECT_FALSE(list.namesAreSafe(bad)) << toUtf8(name);
        EXPECT_EQ(bad, name);
    }
    // Stored through the table, a name holding separators stays one name and is still refused.
    FileList list;
    list.dirs = {dir(L"", {0})};
    list.files = {file(L"a/../../x", 1, 0)};
    std::wstring bad;
    EXPECT_FALSE(roundTrip(list).namesAreSafe(bad));
    EXPECT_EQ(bad, L"a/../../x");
}

TEST(FileNames, OrdinaryNamesAreSafe) {
    FileList list;
    list.dirs = {dir(L"/output/folder", {0, 1, 2}, {1}), dir(L"...", {3})};
    list.files = {file(L".gitignore", 1, 0), file(L"ab:c", 1, 0), file(L"Ü ü", 1, 0),
                  file(L"1:x", 1, 1)};
    std::wstring bad;
    EXPECT_TRUE(list.namesAreSafe(bad));
    // '\\' and ':' are ordinary on POSIX; Windows writes such names under a replacement instead.
    for (const wchar_t* name : {L"x\\y", L"C:x", L"c:", L"..\\x", L"C:\\x", L"CON", L"a."}) {
        list.files[3].name = name;
        EXPECT_TRUE(list.namesAreSafe(bad)) << toUtf8(name);
    }

    // A single-file list stores no name; the unpack driver puts the output path there.
    FileList single;
    single.files = {file(L"/tmp/out.bin", 1, 0)};
    EXPECT_TRUE(single.namesAreSafe(bad));
    single.files[0].name.clear();
    EXPECT_TRUE(single.namesAreSafe(bad));
    EXPECT_EQ(single.storedPath(0), L"(unnamed)");
}

} // namespace
} // namespace qzn
