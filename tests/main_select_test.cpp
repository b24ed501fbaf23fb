// Taking part of a tree: -exclude leaves entries out when packing; names after unpack's output
// or test's archive take only the files they pick, decoding only as far as those reach.
#include "Main.h"
#include "main_crafted.h"

using namespace qzn_e2e;

namespace {

using qzn::testing::kWindows;

// ---- Leaving things out when packing ----------------------------------------------------------

// The tree every exclusion case starts from.
const std::vector<std::pair<std::string, std::string>> kPackTree = {
    {"a.c", "int a;"},
    {"a.o", "\x7F"
            "ELF a"},
    {"build/keep", "kept"},
    {"build/tmp/t", "temporary"},
    {"node_modules/x/y.js", "module"},
    {"sub/b.o", "\x7F"
                "ELF b"},
    {"sub/build/tmp/k", "kept below sub"},
    {"sub/node_modules/z.js", "module z"},
    {"\xC3\xA9t\xC3\xA9.txt", "summer"},
    {"ete.txt", "no accents"},
};

// Packs `in` with the flags, and `expected` (the tree without `leftOut`, paths or folder paths)
// without: the two archives must be the same bytes, and the pack's figures count what was stored.
void expectLeftOut(const std::vector<std::string>& flags, const std::set<std::string>& leftOut) {
    Sandbox box;
    uint64_t stored = 0;
    for (const auto& [path, bytes] : kPackTree) {
        box.put("in/" + path, bytes);
        bool out = false;
        for (const std::string& gone : leftOut)
            out = out || path == gone || path.rfind(gone + "/", 0) == 0;
        if (out) continue;
        box.put("expected/" + path, bytes);
        stored += bytes.size();
    }
    std::vector<std::string> args = flags;
    args.insert(args.end(), {"c1", "in.qzn", "in"});
    const RunResult r = box.run(args);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("Warning"), std::string::npos) << r.out;
    const std::string figures = std::to_string(stored) + " -> ";
    EXPECT_NE(r.out.find(std::string("\n") + figures), std::string::npos) << r.out;
    ASSERT_EQ(box.run({"c1", "expected.qzn", "expected"}).status, 0);
    EXPECT_EQ(readFile(box.at("in.qzn")), readFile(box.at("expected.qzn")));
}

TEST(Exclude, AFileByItsPathFromTheRoot) {
    expectLeftOut({"-exclude:sub/b.o"}, {"sub/b.o"});
}

TEST(Exclude, AFolderAtAnyDepthWithAllBelowIt) {
    expectLeftOut({"-exclude:node_modules"}, {"node_modules", "sub/node_modules"});
}

TEST(Exclude, PatternsRepeatedAnchoredAndBeyondAscii) {
    // "build/tmp" holds a '/': from the root only, so sub/build/tmp stays. The pattern keeps its
    // accents: "ete.txt" is not left out.
    expectLeftOut({"-exclude:*.o", "-exclude:build/tmp", "-exclude:\xC3\xA9t*"},
                  {"a.o", "sub/b.o", "build/tmp", "\xC3\xA9t\xC3\xA9.txt"});
}

TEST(Exclude, APatternThatMatchesNothingIsNoError) {
    expectLeftOut({"-exclude:*.nothing", "-exclude:no/such/path"}, {});
}

// ---- Names on unpack and test -----------------------------------------------------------------

// top.txt is stored first; src/copy.txt is a copy of it, so its bytes are top.txt's.
void putNamedTree(const Sandbox& box) {
    box.put("in/top.txt", textBytes(3000, 1));
    box.put("in/docs/README", "docs readme");
    box.put("in/lib/README", "lib readme");
    box.put("in/other/o.txt", "other");
    box.put("in/src/a.c", textBytes(2000, 2));
    box.put("in/src/b.h", "header");
    box.put("in/src/copy.txt", textBytes(3000, 1));
    box.put("in/src/deep/x.c", "deep");
    fs::create_directories(box.at("in/empty"));
    ASSERT_EQ(box.run({"c1", "a.qzn", "in"}).status, 0);
}

std::map<std::string, std::string> expectedTree(const Sandbox& box,
                                                const std::vector<std::string>& paths) {
    std::map<std::string, std::string> tree;
    for (const std::string& path : paths) {
        const bool folder = path.back() == '/';
        const std::string name = folder ? path.substr(0, path.size() - 1) : path;
        tree[name] = folder ? "dir" : "file:" + readFile(box.at("in/" + name));
    }
    return tree;
}

TEST(SelectiveUnpack, PatternsMakeOnlyWhatTheyPickAndTheFoldersOnTheWay) {
    Sandbox box;
    putNamedTree(box);
    const RunResult r = box.run({"d", "a.qzn", "out", "src/*.c", "*/README", "src/copy.txt"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
    // Not src/deep (a.c's pattern does not reach below src), nor empty/ or other/, nor top.txt,
    // whose bytes src/copy.txt carries.
    EXPECT_EQ(snapshot(box.at("out")),
              expectedTree(box, {"docs/", "docs/README", "lib/", "lib/README", "src/", "src/a.c",
                                 "src/copy.txt"}));
}

TEST(SelectiveUnpack, AFolderTakesAllBelowIt) {
    Sandbox box;
    putNamedTree(box);
    const RunResult r = box.run({"d", "a.qzn", "out", "src", "empty/"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(snapshot(box.at("out")),
              expectedTree(box, {"empty/", "src/", "src/a.c", "src/b.h", "src/copy.txt",
                                 "src/deep/", "src/deep/x.c"}));
}

TEST(SelectiveUnpack, ACopyWhoseSourceIsNotSelectedIsWrittenAndChecked) {
    Sandbox box;
    putNamedTree(box);
    const RunResult r = box.run({"d", "a.qzn", "out", "src/copy.txt"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(snapshot(box.at("out")), expectedTree(box, {"src/", "src/copy.txt"}));

    // Its bytes are those stored for top.txt: a mismatch there is reported under the copy's name.
    CraftedArchive crafted;
    const uint64_t top = crafted.file(0, L"top.txt", textBytes(3000, 1));
    crafted.file(crafted.folder(0, L"z"), L"copy.txt", textBytes(3000, 1), uint32_t(top));
    for (qzn::FileEntry& file : crafted.list.files) file.crc ^= 1;
    crafted.write(box.at("bad.qzn"));
    for (const char* mode : {"t", "d"}) {
        SCOPED_TRACE(mode);
        const RunResult bad = mode == std::string("t")
                                  ? box.run({"t", "bad.qzn", "z/copy.txt"})
                                  : box.run({"d", "bad.qzn", "bad", "z/copy.txt"});
        EXPECT_EQ(bad.status, 1) << bad.out;
        const std::string label = mode == std::string("t")
                                      ? "z/copy.txt"
                                      : "bad" + kSeparator + "z" + kSeparator + "copy.txt";
        EXPECT_NE(bad.out.find("Error: Invalid crc32 for " + label + "\n"), std::string::npos)
            << bad.out;
    }
    EXPECT_EQ(snapshot(box.at("bad")).count("top.txt"), 0u);
}

TEST(SelectiveUnpack, ANameThatMatchesNothingIsAnErrorAndTheRestIsUnpacked) {
    Sandbox box;
    putNamedTree(box);
    RunResult r = box.run({"d", "a.qzn", "out", "src/nothere.c", "src/b.h"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Error: src/nothere.c is not in the archive\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(snapshot(box.at("out")), expectedTree(box, {"src/", "src/b.h"}));

    // Nothing at all: nothing is made.
    r = box.run({"d", "a.qzn", "none", "x", "src/*.x"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Error: x is not in the archive\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Error: src/*.x is not in the archive\n"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(box.at("none")));
}

TEST(SelectiveTest, ArgumentsAfterTheArchiveAreNames) {
    Sandbox box;
    putNamedTree(box);
    RunResult r = box.run({"t", "a.qzn", "src/a.c", "*/README"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
    r = box.run({"t", "a.qzn", "src/a.c", "extra"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Error: extra is not in the archive\n"), std::string::npos) << r.out;
    EXPECT_EQ(namesIn(box.work), (std::set<std::string>{"a.qzn", "in"}));
}

TEST(SelectiveUnpack, TheOneFileOfASingleFileArchiveIsUnnamed) {
    Sandbox box;
    box.put("one.txt", textBytes(5000, 3));
    ASSERT_EQ(box.run({"c1", "one.qzn", "one.txt"}).status, 0);
    RunResult r = box.run({"d", "one.qzn", "got.txt", "(unnamed)"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(box.at("got.txt")), readFile(box.at("one.txt")));
    r = box.run({"d", "one.qzn", "other.txt", "one.txt"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Error: one.txt is not in the archive\n"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(box.at("other.txt")));
}

TEST(SelectiveUnpack, SelectedFilesAreAskedAboutOthersAreNotTouched) {
    Sandbox box;
    putNamedTree(box);
    box.put("out/src/a.c", "old a");
    box.put("out/top.txt", "old top");
    RunResult r = box.run({"d", "a.qzn", "out", "src/a.c"}, "n\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(countOf(r.out, "already exists"), 1u) << r.out;
    EXPECT_NE(r.out.find("Output file out" + kSeparator + "src" + kSeparator + "a.c already"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(readFile(box.at("out/src/a.c")), "old a");

    r = box.run({"d", "a.qzn", "out", "src/a.c"}, "y\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(box.at("out/src/a.c")), readFile(box.at("in/src/a.c")));
    EXPECT_EQ(readFile(box.at("out/top.txt")), "old top");
    EXPECT_EQ(namesIn(box.at("out")), (std::set<std::string>{"src", "top.txt"}));
}

// ---- Several chunks --------------------------------------------------------------------------

// Files of 40 to 150 KB in 64 KB chunks: most begin inside a chunk and end in another.
const std::vector<std::pair<std::string, std::string>>& chunkedTree() {
    static const std::vector<std::pair<std::string, std::string>> tree = {
        {"a/first.txt", textBytes(90000, 11)},
        {"a/second.bin", randomBytes(40000, 12)},
        {"b/third.txt", textBytes(150000, 13)},
        {"b/fourth.txt", textBytes(70000, 14)},
        {"c/empty", ""},
        {"c/fifth.bin", randomBytes(60000, 15)},
        {"c/last.txt", textBytes(100000, 16)},
    };
    return tree;
}

void packChunked(const Sandbox& box) {
    for (const auto& [path, bytes] : chunkedTree()) box.put("in/" + path, bytes);
    ASSERT_EQ(box.run({"-window:16", "c2", "a.qzn", "in"}).status, 0);
}

TEST(SelectiveUnpack, EachFileAloneOnOneThreadAndTwo) {
    Sandbox box;
    packChunked(box);
    for (const char* threads : {"-threads:1", "-threads:2"}) {
        for (const auto& [path, bytes] : chunkedTree()) {
            SCOPED_TRACE(std::string(threads) + " " + path);
            fs::remove_all(box.at("out"));
            const RunResult r = box.run({threads, "d", "a.qzn", "out", path});
            ASSERT_EQ(r.status, 0) << r.out;
            EXPECT_EQ(snapshot(box.at("out")).size(), 2u); // the file and its folder
            EXPECT_EQ(readFile(box.at("out/" + path)), bytes);
        }
    }
}

// An empty file has no bytes to wait for: nothing is decoded, nor followed.
TEST(SelectiveUnpack, AnEmptyFileAloneReadsNothing) {
    Sandbox box;
    packChunked(box);
    const RunResult r = box.run({"d", "a.qzn", "out", "c/empty"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(" -> 0 in "), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(box.at("out")),
              (std::map<std::string, std::string>{{"c", "dir"}, {"c/empty", "file:"}}));
}

// Only what the named files need is read: damage after the last chunk they reach goes unseen,
// while a test of the whole archive finds it.
TEST(SelectiveUnpack, NothingAfterTheLastSelectedChunkIsRead) {
    Sandbox box;
    packChunked(box);
    std::string archive = readFile(box.at("a.qzn"));
    for (size_t i = archive.size() - 3000; i < archive.size(); ++i) archive[i] ^= 0x5A;
    writeFile(box.at("bad.qzn"), archive);
    ASSERT_NE(box.run({"t", "bad.qzn"}).status, 0);

    RunResult r = box.run({"t", "bad.qzn", "a/first.txt"});
    EXPECT_EQ(r.status, 0) << r.out;
    r = box.run({"d", "bad.qzn", "out", "a/*"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(box.at("out/a/second.bin")), chunkedTree()[1].second);
}

// Damage in the chunks that are only followed: the named file's CRC-32 or an error reports it,
// or, when it changed nothing the file needs, the file comes out whole. Never a crash, nor wrong
// bytes with success. In this process, so that a sanitizer sees every run.
TEST(SelectiveUnpack, DamageInFollowedChunksIsCaught) {
    Sandbox box;
    packChunked(box);
    const std::string archive = readFile(box.at("a.qzn"));
    const std::string& wanted = chunkedTree().back().second;
    const fs::path previous = fs::current_path();
    fs::current_path(box.work);
    size_t caught = 0, runs = 0;
    // The followed chunks take about the first two thirds of the archive.
    for (size_t at = 200; at < archive.size() * 2 / 3; at += 397) {
        std::string bad = archive;
        bad[at] = char(bad[at] ^ 0x24);
        writeFile(box.at("bad.qzn"), bad);
        for (bool unpacking : {false, true}) {
            fs::remove_all(box.at("out"));
            const qzn::testing::StopResult s = qzn::testing::runCapturingStop([&] {
                qzn::Archiver archiver;
                archiver.forceOverwrite = true;
                if (unpacking) {
                    qzn::unpack(archiver, L"bad.qzn", L"out", {L"c/last.txt"});
                } else {
                    qzn::test(archiver, L"bad.qzn", {L"c/last.txt"});
                }
            });
            ++runs;
            const std::string what = "flip at " + std::to_string(at);
            if (!s.stopped) {
                if (unpacking) {
                    EXPECT_EQ(readFile(box.at("out/c/last.txt")), wanted) << what;
                }
                continue;
            }
            ++caught;
            ASSERT_TRUE(s.status == 1 || s.status == qzn::kAssertStatus) << what << s.output;
            EXPECT_TRUE(s.output.find("Error: ") != std::string::npos ||
                        s.output.find("Assert failed") != std::string::npos)
                << what << s.output;
        }
    }
    fs::current_path(previous);
    EXPECT_GT(caught, runs / 2) << "damage before the named file should mostly show";
}

} // namespace
