#include "ContextLz.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace qzn {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(ChannelFilter, AllowedCounts) {
    for (int n = -1; n <= 40; ++n)
        EXPECT_EQ(ChannelFilter::isAllowed(n), n == 2 || n == 4 || n == 8 || n == 16) << n;
}

TEST(ChannelFilter, FourChannelsWithTail) {
    Bytes buffer(10);
    std::iota(buffer.begin(), buffer.end(), 0);
    ChannelFilter::forward(buffer.data(), 10, 4);
    EXPECT_EQ(buffer, (Bytes{0, 4, 1, 5, 2, 6, 3, 7, 8, 9}));
    ChannelFilter::inverse(buffer.data(), 10, 4);
    EXPECT_EQ(buffer, (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(ChannelFilter, TwoChannelsWithTail) {
    const uint8_t a0 = 0xA0, b0 = 0xB0, a1 = 0xA1, b1 = 0xB1, a2 = 0xA2, b2 = 0xB2, t = 0x77;
    Bytes buffer{a0, b0, a1, b1, a2, b2, t};
    ChannelFilter::forward(buffer.data(), 7, 2);
    EXPECT_EQ(buffer, (Bytes{a0, a1, a2, b0, b1, b2, t}));
}

TEST(ChannelFilter, PlanesAndRoundTripForEveryCountAndTail) {
    for (int n : {2, 4, 8, 16}) {
        for (int groups : {0, 1, 2, 3, 17, 1000}) {
            for (int tail = 0; tail < n; ++tail) {
                SCOPED_TRACE(::testing::Message()
                             << n << " channels, " << groups << " groups, " << tail << " tail");
                const int len = groups * n + tail;
                const Bytes original = testing::randomBytes(size_t(len), uint32_t(len * 31 + n));
                Bytes buffer = original;
                ChannelFilter::forward(buffer.data(), len, n);
                for (int g = 0; g < groups; ++g)
                    for (int j = 0; j < n; ++j)
                        ASSERT_EQ(buffer[size_t(j * groups + g)], original[size_t(g * n + j)]);
                for (int i = groups * n; i < len; ++i)
                    ASSERT_EQ(buffer[size_t(i)], original[size_t(i)]);
                ChannelFilter::inverse(buffer.data(), len, n);
                ASSERT_EQ(buffer, original);
            }
        }
    }
}

TEST(ChannelFilter, OtherCountsAndShortChunksDoNothing) {
    const Bytes original = testing::randomBytes(100, 5);
    for (int n : {0, 1, 3, 5, 6, 32, -4}) {
        Bytes buffer = original;
        ChannelFilter::forward(buffer.data(), 100, n);
        EXPECT_EQ(buffer, original) << n;
        ChannelFilter::inverse(buffer.data(), 100, n);
        EXPECT_EQ(buffer, original) << n;
    }
    Bytes shortChunk(original.begin(), original.begin() + 15);
    ChannelFilter::forward(shortChunk.data(), 15, 16);
    EXPECT_EQ(shortChunk, Bytes(original.begin(), original.begin() + 15));
    ChannelFilter::forward(nullptr, 0, 4);
}

} // namespace
} // namespace qzn
