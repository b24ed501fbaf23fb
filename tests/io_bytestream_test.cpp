// The bit reader and writer over byte sources and sinks other than a file: pieces of any size,
// a source that fails, a sink whose reader went away.
#include "IO.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qzn {
namespace {

// Keeps what is written; fails every write once `failAfter` bytes have gone in.
class MemorySink final : public ByteSink {
  public:
    std::vector<uint8_t> bytes;
    size_t failAfter = SIZE_MAX;
    bool write(const uint8_t* data, size_t size) override {
        if (bytes.size() + size > failAfter) {
            failure = L"Broken pipe";
            readerGone = true;
            return false;
        }
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }
};

// Hands out at most `piece` bytes a call, as a pipe may; fails at `failAt` instead of ending.
class PieceSource final : public ByteSource {
  public:
    PieceSource(std::vector<uint8_t> data, size_t piece) : data_(std::move(data)), piece_(piece) {}
    size_t failAt = SIZE_MAX;
    int64_t readSome(uint8_t* out, size_t size) override {
        if (at_ >= failAt) {
            failure = L"Input/output error";
            return -1;
        }
        size_t n = std::min({size, piece_, data_.size() - at_});
        std::copy_n(data_.begin() + ptrdiff_t(at_), n, out);
        at_ += n;
        return int64_t(n);
    }

  private:
    std::vector<uint8_t> data_;
    size_t piece_, at_ = 0;
};

// Three segments: two closed by checkpoints, the last by the final flush.
std::vector<uint8_t> threeSegments() {
    MemorySink sink;
    BitWriter writer(sink);
    writer.openBuffer();
    for (int segment = 0; segment < 3; ++segment) {
        for (uint32_t i = 0; i < (segment < 2 ? 270000u : 1000u); ++i) {
            writer.put(i & 0xFFFF, 16);
            writer.checkpoint();
        }
    }
    writer.flush();
    EXPECT_FALSE(writer.writeFailed);
    EXPECT_EQ(writer.written, sink.bytes.size());
    return sink.bytes;
}

TEST(ByteStream, SegmentsArriveWhateverSizeThePiecesAre) {
    const std::vector<uint8_t> archive = threeSegments();
    for (size_t piece : {size_t(1), size_t(3), size_t(4096), archive.size()}) {
        SCOPED_TRACE(piece);
        PieceSource source(archive, piece);
        BitReader reader(source);
        reader.openBuffer();
        reader.loadSegment();
        for (int segment = 0; segment < 3; ++segment)
            for (uint32_t i = 0; i < (segment < 2 ? 270000u : 1000u); ++i) {
                ASSERT_EQ(reader.get(16), i & 0xFFFF) << segment;
                reader.checkpoint();
            }
        EXPECT_FALSE(reader.truncated);
        EXPECT_EQ(reader.consumed, archive.size());
    }
}

TEST(ByteStream, AFailingSourceEndsTheDataAndSaysWhy) {
    PieceSource source(threeSegments(), 1000);
    source.failAt = 100004; // inside the first segment, after its count and 100 pieces
    BitReader reader(source);
    reader.openBuffer();
    reader.loadSegment();
    EXPECT_TRUE(reader.truncated);
    EXPECT_EQ(reader.readFailure, L"Input/output error");
    EXPECT_EQ(reader.consumed, 100004u);
}

TEST(ByteStream, ASinkWhoseReaderWentAwayIsNoted) {
    MemorySink sink;
    sink.failAfter = 10;
    BitWriter writer(sink);
    writer.openBuffer();
    writer.put(5, 3);
    writer.flush(); // 5 bytes
    EXPECT_FALSE(writer.writeFailed);
    writer.put32(0x12345678);
    writer.put32(0x9ABCDEF0);
    writer.flush();
    EXPECT_TRUE(writer.writeFailed);
    EXPECT_TRUE(writer.readerGone);
    EXPECT_EQ(writer.writeFailure, L"Broken pipe");
    EXPECT_EQ(writer.written, 5u);
}

} // namespace
} // namespace qzn
