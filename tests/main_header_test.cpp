// The archive header behind the file table: the bits of each field, round trips over the ranges a
// pack writes, and what unpack and test make of codec parameters outside them.
#include "Files.h"
#include "FilesSupport.h"
#include "IO.h"
#include "Main_Header.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace qzn {
namespace {

using testing::writeThenRead;

// A folder of two files, so that the fields follow a table of some length.
FileList smallTable() {
    FileList list;
    list.dirs.resize(2);
    list.dirs[1].name = L"sub";
    list.dirs[0].subdirs = {1};
    FileEntry a;
    a.name = L"a.txt";
    a.size = 5;
    a.crc = 0x1234;
    FileEntry b;
    b.name = L"b.bin";
    b.size = 70000;
    b.dirIndex = 1;
    list.files = {a, b};
    list.dirs[0].files = {0};
    list.dirs[1].files = {1};
    return list;
}

void expectSameHeader(const ArchiveHeader& read, const ArchiveHeader& written, size_t i) {
    EXPECT_EQ(read.windowBits, written.windowBits) << i;
    EXPECT_EQ(read.tableBits, written.tableBits) << i;
    EXPECT_EQ(read.hashBits, written.hashBits) << i;
    EXPECT_EQ(read.hasCrc, written.hasCrc) << i;
    EXPECT_EQ(read.channels, written.channels) << i;
}

// Every value of each field over the ranges a pack writes (channel counts 1..16 as a reader
// accepts them), in many archives in a row, reads back as written behind its table.
TEST(ArchiveHeaderFormat, EveryFieldReadsBackAsWritten) {
    const FileList table = smallTable();
    std::vector<ArchiveHeader> headers;
    for (int32_t i = 0; i < 27 * 17 * 2; ++i)
        headers.push_back({.windowBits = kStoredWindowBits.low + i % 27,
                           .tableBits = kTableBits.low + i % 6,
                           .hashBits = kHashBits.low + i % 11,
                           .hasCrc = i % 2 == 0,
                           .channels = i % 17});
    // Values no pack writes travel unchanged too; only the decoding modes judge them.
    headers.push_back(
        {.windowBits = -1, .tableBits = 0, .hashBits = 40, .hasCrc = false, .channels = 16});
    writeThenRead(
        [&](BitWriter& writer) {
            for (const ArchiveHeader& header : headers) writeArchiveHeader(writer, table, header);
        },
        [&](BitReader& reader) {
            for (size_t i = 0; i < headers.size(); ++i) {
                FileList readTable;
                readTable.readTable(reader);
                ASSERT_EQ(readTable.files.size(), 2u) << i;
                expectSameHeader(readArchiveHeader(reader), headers[i], i);
                reader.checkpoint();
            }
        });
}

// Window, table and hash in 32 bits each, the CRC flag, the filter flag, and channels - 1 in 4
// bits only with the filter: 98 or 102 bits behind the table.
TEST(ArchiveHeaderFormat, FieldsInTheirOrderAndWidths) {
    const FileList table = smallTable();
    uint32_t tableBits = 0;
    writeThenRead(
        [&](BitWriter& writer) {
            table.writeTable(writer);
            tableBits = writer.bitPosition;
        },
        [](BitReader&) {});
    for (int32_t channels : {0, 4}) {
        uint32_t headerBits = 0;
        const ArchiveHeader header{
            .windowBits = 3, .tableBits = 9, .hashBits = 15, .hasCrc = true, .channels = channels};
        writeThenRead(
            [&](BitWriter& writer) {
                writeArchiveHeader(writer, table, header);
                headerBits = writer.bitPosition - tableBits;
            },
            [&](BitReader& reader) {
                FileList readTable;
                readTable.readTable(reader);
                EXPECT_EQ(reader.get32(), 3u);
                EXPECT_EQ(reader.get32(), 9u);
                EXPECT_EQ(reader.get32(), 15u);
                EXPECT_EQ(reader.get(1), 1u);
                EXPECT_EQ(reader.get(1), channels ? 1u : 0u);
                if (channels) {
                    EXPECT_EQ(reader.get(4), 3u);
                }
            });
        EXPECT_EQ(headerBits, channels ? 102u : 98u);
    }
}

ArchiveHeader admitted(ArchiveHeader header, DecodingMode mode) {
    admitParameters(header, mode);
    return header;
}

// Unpack takes each parameter into the command line's range, from below and from above.
TEST(ArchiveParameters, UnpackClampsToTheCommandLineRanges) {
    const ArchiveHeader low =
        admitted({.windowBits = 1, .tableBits = 6, .hashBits = -3}, DecodingMode::Unpack);
    EXPECT_EQ(low.windowBits, 16);
    EXPECT_EQ(low.tableBits, 7);
    EXPECT_EQ(low.hashBits, 7);
    const ArchiveHeader high =
        admitted({.windowBits = 28, .tableBits = 13, .hashBits = 18}, DecodingMode::Unpack);
    EXPECT_EQ(high.windowBits, 27);
    EXPECT_EQ(high.tableBits, 12);
    EXPECT_EQ(high.hashBits, 17);
    const ArchiveHeader inside =
        admitted({.windowBits = 20, .tableBits = 9, .hashBits = 11}, DecodingMode::Unpack);
    EXPECT_EQ(inside.windowBits, 20);
    EXPECT_EQ(inside.tableBits, 9);
    EXPECT_EQ(inside.hashBits, 11);
}

// Test keeps every value a pack may write, small windows included, and stops on each value just
// outside those ranges.
TEST(ArchiveParameters, TestKeepsWhatPackWritesAndRefusesTheRest) {
    for (const ArchiveHeader& edge :
         {ArchiveHeader{.windowBits = 1, .tableBits = 7, .hashBits = 7},
          ArchiveHeader{.windowBits = 27, .tableBits = 12, .hashBits = 17}}) {
        ArchiveHeader kept = edge;
        testing::StopResult r =
            testing::runCapturingStop([&] { admitParameters(kept, DecodingMode::Test); });
        EXPECT_FALSE(r.stopped) << r.output;
        expectSameHeader(kept, edge, 0);
    }
    const ArchiveHeader valid{.windowBits = 10, .tableBits = 10, .hashBits = 10};
    std::vector<ArchiveHeader> outside(6, valid);
    outside[0].windowBits = 0;
    outside[1].windowBits = 28;
    outside[2].tableBits = 6;
    outside[3].tableBits = 13;
    outside[4].hashBits = 6;
    outside[5].hashBits = 18;
    for (size_t i = 0; i < outside.size(); ++i) {
        ArchiveHeader header = outside[i];
        testing::StopResult r =
            testing::runCapturingStop([&] { admitParameters(header, DecodingMode::Test); });
        EXPECT_TRUE(r.stopped) << i;
        EXPECT_EQ(r.status, 1) << i;
        EXPECT_EQ(r.output, "Error: Corrupt archive: invalid codec parameters\n") << i;
    }
}

} // namespace
} // namespace qzn
