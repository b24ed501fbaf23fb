#include "Platform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qzn {
namespace {

TEST(Utf8, ValidTextConvertsToCodePoints) {
    EXPECT_EQ(fromUtf8("abc"), L"abc");
    EXPECT_EQ(fromUtf8("\xC3\xA9t\xC3\xA9"), L"\u00E9t\u00E9");
    EXPECT_EQ(fromUtf8("\xE6\x97\xA5\xE6\x9C\xAC"), L"\u65E5\u672C");
    EXPECT_EQ(toUtf8(L"\u00E9t\u00E9"), "\xC3\xA9t\xC3\xA9");
}

TEST(Utf8, CharactersBeyondTheBasicPlaneAreFourBytesOnEveryPlatform) {
    // One code point in a 32-bit wchar_t, a surrogate pair in a 16-bit one: the same bytes.
    const std::wstring emoji = L"a\U0001F600b\U00010000\U0010FFFF";
    const std::string bytes = "a\xF0\x9F\x98\x80"
                              "b\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
    EXPECT_EQ(toUtf8(emoji), bytes);
    EXPECT_EQ(fromUtf8(bytes), emoji);
    EXPECT_EQ(codePointCount(emoji), 5u);
    EXPECT_EQ(codePointPrefix(emoji, 2), L"a\U0001F600");
    EXPECT_EQ(codePointPrefix(emoji, 1), L"a");
    EXPECT_EQ(codePointPrefix(emoji, 9), emoji);
    // A surrogate pair as UTF-16 text carries it converts as one character on POSIX too.
    EXPECT_EQ(toUtf8(std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}), "\xF0\x9F\x98\x80");
}

TEST(Utf8, EveryByteStringRoundTripsOnPosix) {
    if (testing::kWindows) GTEST_SKIP() << "Windows converts as the system does";
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

    std::wstring w = fromUtf8("a\xFF");
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(uint32_t(w[1]), 0xDCFFu); // an undecodable byte becomes a lone surrogate
}

TEST(Utf8, InvalidTextBecomesReplacementCharactersOnWindows) {
    if (!testing::kWindows) GTEST_SKIP() << "POSIX keeps the bytes";
    EXPECT_EQ(fromUtf8("a\xFF"
                       "b"),
              L"a\uFFFDb");
    EXPECT_EQ(fromUtf8("\xC3("), L"\uFFFD(");
    // A lone surrogate, which a Windows name may hold, has no UTF-8 form.
    EXPECT_EQ(toUtf8(std::wstring{L'x', wchar_t(0xD800), L'y'}), "x\xEF\xBF\xBDy");
}

// Every lone surrogate, high or low, at the start, middle and end, beside a pair and beside
// text that is not ASCII, crosses the C interface's path form and comes back; a pair stays the
// ordinary four-byte UTF-8 of its character.
TEST(Utf8, PathsWithLoneSurrogatesSurviveTheInterfaceForm) {
    for (uint32_t unit = 0xD800; unit <= 0xDFFF; ++unit) {
        const wchar_t lone = wchar_t(unit);
        for (const std::wstring& path : {std::wstring{lone}, std::wstring{L'a', lone, L'/', L'b'},
                                         std::wstring{L'\u00E9', lone, lone}}) {
            const std::string bytes = toGeneralizedUtf8(path);
            ASSERT_EQ(fromGeneralizedUtf8(bytes), path) << std::hex << unit;
            ASSERT_NE(bytes.find(char(0xED)), std::string::npos) << std::hex << unit;
        }
    }
    const std::wstring emoji = fromUtf8("\xF0\x9F\x98\x80");
    EXPECT_EQ(toGeneralizedUtf8(L"x" + emoji + L"\u00E9"), "x\xF0\x9F\x98\x80\xC3\xA9");
    EXPECT_EQ(fromGeneralizedUtf8("x\xF0\x9F\x98\x80\xC3\xA9"), L"x" + emoji + L"\u00E9");
    if (testing::kWindows) {
        const std::wstring name{L'x', wchar_t(0xD800), L'y'};
        EXPECT_EQ(pathFromUtf8(pathToUtf8(name)), name);
    }
}

TEST(StoredNames, WindowsRuleReplacesWhatWindowsCannotHold) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"plain.txt", L"plain.txt"},
        {L"a<b>c:d\"e|f?g*h", L"a_b_c_d_e_f_g_h"},
        {L"..\\x", L".._x"},
        {L"C:\\x", L"C__x"},
        {L"c:notes", L"c_notes"},
        {L"file:stream", L"file_stream"},
        {L"tab\there\x01\x1F", L"tab_here__"},
        {L"\x7F\u00E9\U0001F600", L"\x7F\u00E9\U0001F600"}, // DEL and beyond ASCII are fine
        {L"ends.", L"ends._"},
        {L"ends ", L"ends _"},
        {L"...", L"..._"},
        {L"CON", L"_CON"},
        {L"con.txt", L"_con.txt"},
        {L"Nul.tar.gz", L"_Nul.tar.gz"},
        {L"aux .txt", L"_aux .txt"},
        {L"COM1", L"_COM1"},
        {L"lpt9.log", L"_lpt9.log"},
        {L"COM\u00B9", L"_COM\u00B9"},
        {L"conout$", L"_conout$"},
        {L"PRN.", L"_PRN._"},
        {L"COM0", L"COM0"},
        {L"COM10", L"COM10"},
        {L"CONSOLE", L"CONSOLE"},
        {L"xCON", L"xCON"},
        {L"LPT", L"LPT"},
    };
    for (const auto& [stored, written] : cases) {
        EXPECT_EQ(windowsName(stored), written) << toUtf8(stored);
        // Applying the rule again changes nothing: a written name is one Windows holds.
        EXPECT_EQ(windowsName(written), written) << toUtf8(stored);
    }
}

// Every device name Windows knows, with and without an extension and in any case; the
// superscript digits name COM and LPT ports too.
TEST(StoredNames, WindowsRulePrefixesEveryDeviceName) {
    const wchar_t* const devices[] = {
        L"CON",       L"PRN",       L"AUX",       L"NUL",       L"CONIN$",    L"CONOUT$",
        L"COM1",      L"COM5",      L"COM9",      L"LPT1",      L"LPT5",      L"LPT9",
        L"COM\u00B9", L"COM\u00B2", L"COM\u00B3", L"LPT\u00B9", L"LPT\u00B2", L"LPT\u00B3"};
    for (const wchar_t* device : devices) {
        std::wstring lower = device;
        for (wchar_t& c : lower)
            if (c >= L'A' && c <= L'Z') c = wchar_t(c - L'A' + L'a');
        for (const std::wstring& name :
             {std::wstring(device), lower, lower + L".txt", std::wstring(device) + L" .tar.gz"})
            EXPECT_EQ(windowsName(name), L"_" + name) << toUtf8(name);
    }
    // Other superscripts, and the digits that are not ports, are ordinary names.
    for (const wchar_t* name : {L"COM\u2074", L"LPT\u2070", L"COM0", L"LPT0", L"CONIN", L"CONOUT"})
        EXPECT_EQ(windowsName(name), name) << toUtf8(name);
}

TEST(StoredNames, EachPlatformHoldsWhatItCan) {
    const std::wstring name = L"x:y\\z?*|.";
    EXPECT_EQ(storableName(name), testing::kWindows ? windowsName(name) : name);
    EXPECT_EQ(pathKey(L"Out/ABC") == pathKey(L"out/abc"), testing::kWindows);
}

TEST(Console, WideTextIsWrittenAsUtf8) {
    auto result = testing::runCapturingStop([] {
        printWide(L"%ls|%d|%lc\n", L"\u00E9", 42, wchar_t(L'x'));
        printProgress("12345");
    });
    EXPECT_FALSE(result.stopped);
    EXPECT_EQ(result.output, "\xC3\xA9|42|x\n\r12345" + std::string(74, ' '));
}

TEST(Console, WideProgressCountsCodePoints) {
    // Padded to 79 characters and cut at 159, never inside a surrogate pair.
    const std::string face = "\xF0\x9F\x98\x80";
    auto result = testing::runCapturingStop([] {
        printProgressWide(L"\U0001F600");
        std::wstring many;
        for (int i = 0; i < 200; ++i) many += L"\U0001F600";
        printProgressEndWide(many);
    });
    std::string many;
    for (int i = 0; i < 159; ++i) many += face;
    EXPECT_EQ(result.output, "\r" + face + std::string(78, ' ') + "\r" + many + "\n");
}

// C0 controls, DEL and C1 controls become "\x" and two upper-case hex digits; everything
// else, a backslash and the characters beside those ranges included, stays as it is.
TEST(Console, ControlCharactersBecomeVisibleEscapes) {
    for (uint32_t c = 0; c < 0x200; ++c) {
        const std::wstring text = {L'a', wchar_t(c), L'b'};
        const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02X", unsigned(c));
        EXPECT_EQ(visibleText(text), control ? L"a" + fromUtf8(escape) + L"b" : text) << c;
    }
    const std::wstring named = L"esc\x1B[31mred\\x1B\u00E9\U0001F600\x9B";
    const std::wstring visible = L"esc\\x1B[31mred\\x1B\u00E9\U0001F600\\x9B";
    EXPECT_EQ(visibleText(named), visible);
    EXPECT_EQ(visibleText(visible), visible); // nothing left to escape
    // A raw byte of a name that is not UTF-8 prints as that byte on POSIX: 0x80-0x9F are C1.
    if (!testing::kWindows) {
        EXPECT_EQ(visibleText(fromUtf8("x\x9B\x85y\xA0\xFF")), fromUtf8("x\\x9B\\x85y\xA0\xFF"));
    }
}

// What a failed open of a missing file leaves for systemErrorText, and the text it gives.
void failWithNoSuchFile() {
#ifdef _WIN32
    SetLastError(ERROR_FILE_NOT_FOUND);
#endif
    errno = ENOENT;
}
std::string noSuchFileReason() {
    failWithNoSuchFile();
    return toUtf8(systemErrorText());
}

// The wide prints make each string argument visible, not the format's own tabs and line ends;
// formatWide keeps the text as it is, for a caller that prints it later.
TEST(Console, PrintedNamesCannotDriveTheTerminal) {
    auto result = testing::runCapturingStop([] {
        printWide(L"\t%ls|%6ls|%lc|%s|%d\n", L"a\x1B[2Jb\\", L"\a", wchar_t(0x9B), "\x1B", 7);
        printProgressWide(formatWide(L"crc32 %ls: 1.0/2.0 MB", L"\x1B]0;t\x07"));
        printProgressEndWide(L"\r\x7F");
        failWithNoSuchFile();
        printWithReason(L"Error: Failed to open %ls\n", L"\x1B");
        fatalWide(L"Error: Failed to create directory %ls\n", L"d\n");
    });
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(result.status, 1);
    const std::string progress = "crc32 \\x1B]0;t\\x07: 1.0/2.0 MB";
    EXPECT_EQ(result.output, "\ta\\x1B[2Jb\\|  \\x07|\\x9B|\\x1B|7\n\r" + progress +
                                 std::string(79 - progress.size(), ' ') + "\r\\x0D\\x7F" +
                                 std::string(71, ' ') + "\nError: Failed to open \\x1B\n" +
                                 noSuchFileReason() +
                                 "\nError: Failed to create directory d\\x0A\n");
    EXPECT_EQ(formatWide(L"%ls", L"\x1B"), L"\x1B");
}

TEST(Console, FatalMessagesStopWithStatusOne) {
    auto result = testing::runCapturingStop([] { fatalWide(L"Error: No directory %ls\n", L"x"); });
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "Error: No directory x\n");
}

} // namespace
} // namespace qzn
