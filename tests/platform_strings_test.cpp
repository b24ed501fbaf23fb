#include "Platform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace qzn {
namespace {

TEST(Utf8, ValidTextConvertsToCodePoints) {
    EXPECT_EQ(fromUtf8("abc"), L"abc");
    EXPECT_EQ(fromUtf8("\xC3\xA9t\xC3\xA9"), L"\u00E9t\u00E9");
    EXPECT_EQ(fromUtf8("\xE6\x97\xA5\xE6\x9C\xAC"), L"\u65E5\u672C");
    EXPECT_EQ(fromUtf8("\xF0\x9F\x98\x80"), std::wstring(1, wchar_t(0x1F600)));
    EXPECT_EQ(toUtf8(L"\u00E9t\u00E9"), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(toUtf8(std::wstring(1, wchar_t(0x1F600))), "\xF0\x9F\x98\x80");
}

TEST(Utf8, EveryByteStringRoundTrips) {
    // Invalid, overlong, surrogate and truncated sequences map to escapes and come back.
    const std::string samples[] = {"\xFF",         "a\x80z",          "\xC0\xAF",
                                   "\xED\xA0\x80", "\xED\xB2\x80",    "\xF4\x90\x80\x80",
                                   "\xE6\x97",     "caf\xE9 latin-1", std::string("nul\0x", 5),
                                   "\xC3\xA9\xC3"};
    for (const std::string& s : samples) EXPECT_EQ(toUtf8(fromUtf8(s)), s);
    std::string all;
    for (int b = 0; b < 256; ++b) all += char(b);
    EXPECT_EQ(toUtf8(fromUtf8(all)), all);
    // Random byte strings, which are mostly invalid UTF-8.
    auto bytes = testing::randomBytes(20000, 7);
    std::string random(bytes.begin(), bytes.end());
    EXPECT_EQ(toUtf8(fromUtf8(random)), random);
}

TEST(Utf8, UndecodableBytesBecomeLoneSurrogates) {
    std::wstring w = fromUtf8("a\xFF");
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(uint32_t(w[1]), 0xDCFFu);
}

TEST(Console, WideTextIsWrittenAsUtf8) {
    auto result = testing::runCapturingStop([] {
        printWide(L"%ls|%d|%lc\n", L"\u00E9", 42, wchar_t(L'x'));
        printProgress("12345");
    });
    EXPECT_FALSE(result.stopped);
    EXPECT_EQ(result.output, "\xC3\xA9|42|x\n\r12345" + std::string(74, ' '));
}

TEST(Console, FatalMessagesStopWithStatusOne) {
    auto result = testing::runCapturingStop([] { fatalWide(L"Error: No directory %ls\n", L"x"); });
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "Error: No directory x\n");
}

} // namespace
} // namespace qzn
