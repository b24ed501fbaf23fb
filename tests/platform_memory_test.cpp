// Large working buffers: zero-filled, owned by one holder at a time, and mapped in ahead by
// another thread without losing a byte that the filling thread has already stored.
#include "Platform.h"

#include <gtest/gtest.h>

#include <thread>

namespace qzn {
namespace {

constexpr size_t kBytes = (size_t(5) << 20) + 12345; // not a whole number of any page size

TEST(LargeBuffer, ZeroFilledWritableAndMovable) {
    LargeBuffer buffer(kBytes);
    ASSERT_TRUE(buffer);
    uint8_t* data = buffer.get();
    for (size_t i = 0; i < kBytes; ++i) ASSERT_EQ(data[i], 0) << i;
    data[0] = 1;
    data[kBytes - 1] = 2;

    LargeBuffer moved(std::move(buffer));
    EXPECT_FALSE(buffer);
    EXPECT_EQ(moved.get(), data);
    LargeBuffer other(4096);
    other = std::move(moved);
    EXPECT_EQ(other.get(), data);
    EXPECT_EQ(data[kBytes - 1], 2);
    other.reset();
    EXPECT_FALSE(other);
    EXPECT_FALSE(LargeBuffer(0));
}

// The filling thread writes front to back while another maps the same pages in, as the
// pipelines do with the first chunk buffer; every stored byte must survive.
TEST(LargeBuffer, MappingAheadKeepsWhatIsWritten) {
    for (int round = 0; round < 4; ++round) {
        LargeBuffer buffer(kBytes);
        ASSERT_TRUE(buffer);
        uint8_t* data = buffer.get();
        std::thread mapper([&] { prefaultMemory(data, kBytes); });
        for (size_t i = 0; i < kBytes; ++i) data[i] = uint8_t(i * 7 + round);
        mapper.join();
        prefaultMemory(data, kBytes); // again, over pages already mapped and written
        for (size_t i = 0; i < kBytes; ++i) ASSERT_EQ(data[i], uint8_t(i * 7 + round)) << i;
    }
}

} // namespace
} // namespace qzn
