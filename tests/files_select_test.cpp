// Picking entries by name: the wildcards against a literal table, the -exclude patterns, and what
// names select in a list that the end-to-end runs cannot easily show.
#include "Files.h"

#include <gtest/gtest.h>

namespace qzn {
namespace {

struct Case {
    const wchar_t* pattern;
    const wchar_t* name;
    bool matches;
};

TEST(Wildcards, OneNameAgainstTheRule) {
    const Case cases[] = {
        {L"", L"", true},
        {L"", L"a", false},
        {L"abc", L"abc", true},
        {L"abc", L"abd", false},
        {L"abc", L"ABC", false}, // case counts, on every system
        {L"*", L"", true},
        {L"*", L"anything.at.all", true},
        {L"*.c", L"main.c", true},
        {L"*.c", L"main.cc", false},
        {L"*.c", L".c", true},
        {L"a*b*c", L"aXbYbZc", true},
        {L"a*b*c", L"aXbYbZ", false},
        {L"*a*a*a", L"aaaa", true},
        {L"*ab", L"aab", true}, // the star takes one more after a false start
        {L"**x", L"yx", true},
        {L"?", L"a", true},
        {L"?", L"", false},
        {L"?", L"ab", false},
        {L"??.txt", L"ab.txt", true},
        {L"[abc]", L"b", true},
        {L"[abc]", L"d", false},
        {L"[a-c]x", L"cx", true},
        {L"[a-c]x", L"dx", false},
        {L"[a-cx-z]", L"y", true},
        {L"[!a-c]", L"d", true},
        {L"[!a-c]", L"b", false},
        {L"[^a-c]", L"d", true},
        {L"[^a-c]", L"a", false},
        {L"[]]", L"]", true},   // ']' first is one of the set
        {L"[!]]", L"]", false}, // and so after the negation
        {L"[!]]", L"x", true},
        {L"[a-]", L"-", true}, // '-' last is itself
        {L"[-a]", L"-", true},
        {L"[*?]", L"*", true}, // '*' and '?' in a set are themselves
        {L"[*?]", L"x", false},
        {L"a[b", L"a[b", true}, // never closed: a literal '['
        {L"a[b", L"ab", false},
        {L"x[", L"x[", true},
        {L"\u00e9t\u00e9", L"\u00e9t\u00e9", true},
        {L"?t?", L"\u00e9t\u00e9", true},
        {L"[\u00e0-\u00ff]*", L"\u00e9t\u00e9", true},
        {L"[a-z]*", L"\u00e9t\u00e9", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(nameMatches(c.pattern, c.name), c.matches)
            << toUtf8(c.pattern) << " against " << toUtf8(c.name);
}

TEST(Wildcards, ACharacterBeyondTheBasicPlaneIsOne) {
    // U+1F600 as the platform holds it: one unit of UTF-32, a surrogate pair of UTF-16.
    const std::wstring smile = fromUtf8("\xF0\x9F\x98\x80");
    EXPECT_TRUE(nameMatches(L"?", smile));
    EXPECT_TRUE(nameMatches(L"a?b", L"a" + smile + L"b"));
    EXPECT_FALSE(nameMatches(L"??", smile));
    EXPECT_TRUE(nameMatches(L"[" + smile + L"]", smile));
    EXPECT_TRUE(nameMatches(L"[!a]", smile));
    EXPECT_TRUE(nameMatches(smile + L"*", smile + L"x"));
}

TEST(Wildcards, NothingMatchesAcrossASlash) {
    const Case cases[] = {
        {L"src/*.c", L"src/main.c", true},
        {L"src/*.c", L"src/deep/main.c", false},
        {L"*", L"src/main.c", false},
        {L"*.c", L"src/main.c", false},
        {L"*/README", L"docs/README", true},
        {L"*/README", L"a/b/README", false},
        {L"*/*/README", L"a/b/README", true},
        {L"a?b", L"a/b", false},
        {L"a[/]b", L"a/b", false}, // a '/' separates names even inside brackets
        {L"src", L"src/main.c", false},
        {L"src/main.c", L"src", false},
        {L"s*/m*", L"src/main.c", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(pathMatches(c.pattern, c.name), c.matches)
            << toUtf8(c.pattern) << " against " << toUtf8(c.name);
}

TEST(Exclusions, WithoutASlashAnyDepthWithOneFromTheRoot) {
    const Exclusions none;
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(none.excludes(L"a.o", L"a.o"));

    const Exclusions anyDepth({L"*.o", L"node_modules"});
    EXPECT_TRUE(anyDepth.excludes(L"a.o", L"a.o"));
    EXPECT_TRUE(anyDepth.excludes(L"x/y/b.o", L"b.o"));
    EXPECT_TRUE(anyDepth.excludes(L"web/node_modules", L"node_modules"));
    EXPECT_FALSE(anyDepth.excludes(L"b.oo", L"b.oo"));

    const Exclusions fromRoot({L"build/tmp", L"/top", L"gen/"});
    EXPECT_TRUE(fromRoot.excludes(L"build/tmp", L"tmp"));
    EXPECT_FALSE(fromRoot.excludes(L"sub/build/tmp", L"tmp"));
    EXPECT_FALSE(fromRoot.excludes(L"tmp", L"tmp"));
    EXPECT_TRUE(fromRoot.excludes(L"top", L"top"));
    EXPECT_FALSE(fromRoot.excludes(L"sub/top", L"top"));
    EXPECT_TRUE(fromRoot.excludes(L"gen", L"gen"));
    EXPECT_FALSE(fromRoot.excludes(L"x/gen", L"gen"));

    EXPECT_TRUE(Exclusions({L"", L"/"}).empty()); // match no entry
}

// The tree:  a.txt  b.txt | src/ x.c | src/deep/ z.c | docs/ README.
FileList sampleList() {
    FileList list;
    auto dir = [&](const wchar_t* name, uint64_t parent) {
        list.dirs.emplace_back();
        list.dirs.back().name = name;
        if (parent != kNoParent) list.dirs[parent].subdirs.push_back(list.dirs.size() - 1);
        return list.dirs.size() - 1;
    };
    auto file = [&](const wchar_t* name, uint64_t d) {
        FileEntry entry;
        entry.name = name;
        entry.dirIndex = d;
        entry.size = 10;
        list.files.push_back(entry);
        list.dirs[d].files.push_back(list.files.size() - 1);
    };
    const uint64_t root = dir(L"", kNoParent), src = dir(L"src", root), docs = dir(L"docs", root);
    file(L"a.txt", root);
    file(L"b.txt", root);
    file(L"x.c", src);
    file(L"z.c", dir(L"deep", src));
    file(L"README", docs);
    return list;
}

TEST(SelectNames, ANameInsideAPickedFolderStillCountsAsFound) {
    FileList list = sampleList();
    EXPECT_TRUE(list.selectNames({L"src", L"src/deep/z.c", L"src/*"}).empty());
    EXPECT_EQ(list.selectNames({L"src", L"src/nothere"}),
              std::vector<std::wstring>{L"src/nothere"});
}

TEST(SelectNames, NamesAsListShowsThem) {
    FileList list = sampleList();
    list.files[1].name = L"b\x1B.txt";
    // list prints the control character as "\x1B"; either spelling picks the file.
    EXPECT_TRUE(list.selectNames({L"b\\x1B.txt"}).empty());
    EXPECT_TRUE(list.files[1].selected);
    FileList again = sampleList();
    again.files[1].name = L"b\x1B.txt";
    EXPECT_TRUE(again.selectNames({L"b\x1B.txt"}).empty());
    EXPECT_TRUE(again.files[1].selected);
    // A path with wildcard characters in it picks itself as typed.
    FileList literal = sampleList();
    literal.files[1].name = L"b[1].txt";
    EXPECT_TRUE(literal.selectNames({L"b[1].txt"}).empty());
    EXPECT_TRUE(literal.files[1].selected);
}

TEST(SelectNames, ASingleFileIsUnnamed) {
    FileList single;
    single.files.emplace_back();
    single.files[0].size = 10;
    EXPECT_TRUE(single.selectNames({L"(unnamed)"}).empty());
    EXPECT_TRUE(single.files[0].selected);
    EXPECT_TRUE(single.selectNames({L"*"}).empty());
    EXPECT_TRUE(single.files[0].selected);
    EXPECT_EQ(single.selectNames({L"file.txt"}), std::vector<std::wstring>{L"file.txt"});
    EXPECT_FALSE(single.files[0].selected);
}

} // namespace
} // namespace qzn
