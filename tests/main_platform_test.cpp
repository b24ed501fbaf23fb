// What differs between the platforms, through the real binary: stored names that Windows cannot
// hold, paths past the old 260-character limit, the answer character and the bytes of
// redirected output. Each case runs on every platform, with what that platform must do.
#include "main_crafted.h"

using namespace qzn_e2e;

namespace {

using qzn::testing::kWindows;

// Every replacement of the Windows rule, for files and for a folder: the file lands under the
// replacement with a warning naming both, and the run succeeds. Elsewhere the names are kept.
TEST(StoredNames, EachReplacementIsWrittenUnderASafeNameWithAWarning) {
    const std::pair<std::string, std::string> names[] = {
        {"lt<", "lt_"},
        {"gt>", "gt_"},
        {"colon:x", "colon_x"},
        {"quote\"", "quote_"},
        {"pipe|", "pipe_"},
        {"what?", "what_"},
        {"star*", "star_"},
        {"back\\slash", "back_slash"},
        {"..\\up", ".._up"},
        {"C:\\x", "C__x"},
        {"c1\x01", "c1_"},
        {"tab\tx", "tab_x"},
        {"c31\x1f", "c31_"},
        {"dot.", "dot._"},
        {"space ", "space _"},
        {"CON", "_CON"},
        {"prn.txt", "_prn.txt"},
        {"Aux", "_Aux"},
        {"nul.tar.gz", "_nul.tar.gz"},
        {"COM1", "_COM1"},
        {"com9.log", "_com9.log"},
        {"LPT1", "_LPT1"},
        {"lpt9.x", "_lpt9.x"},
    };
    CraftedArchive crafted;
    std::map<std::string, std::string> expected;
    std::vector<std::string> warnings;
    int seed = 0;
    for (const auto& [stored, written] : names) {
        const std::string bytes = textBytes(100 + seed, uint32_t(seed));
        ++seed;
        crafted.file(0, qzn::fromUtf8(stored), bytes);
        expected[kWindows ? written : stored] = "file:" + bytes;
        // Control characters in the stored name print as visible escapes.
        warnings.push_back("Warning: " + qzn::toUtf8(qzn::visibleText(qzn::fromUtf8(stored))) +
                           " is written as out" + kSeparator + written + "\n");
    }
    const uint64_t odd = crafted.folder(0, L"dir:x.");
    crafted.file(odd, L"inner", "inside");
    crafted.file(0, L"plain.txt", "plain");
    const std::string oddWritten = kWindows ? "dir_x._" : "dir:x.";
    expected[oddWritten] = "dir";
    expected[oddWritten + "/inner"] = "file:inside";
    expected["plain.txt"] = "file:plain";

    Sandbox box;
    crafted.write(box.at("names.qzn"));
    RunResult r = box.run({"t", "names.qzn"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;

    r = box.run({"d", "names.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(box.at("out")), expected);
    for (const std::string& warning : warnings)
        EXPECT_EQ(r.out.find(warning) != std::string::npos, kWindows) << warning << r.out;
    EXPECT_EQ(r.out.find("Warning: dir:x. is written as out\\dir_x._\n") != std::string::npos,
              kWindows)
        << r.out;
    EXPECT_EQ(countOf(r.out, "is written as"), kWindows ? std::size(names) + 1 : 0u) << r.out;
}

// Names that could reach outside the output folder are refused on every platform, before any
// folder or file is made. (A NUL cannot arrive: the table ends a name at the first zero byte.)
TEST(StoredNames, EscapingNamesAreRefusedBeforeAnythingIsCreated) {
    const std::wstring refused[] = {L"", L".", L"..", L"a/../../x", L"/abs"};
    for (const std::wstring& name : refused) {
        for (bool asFolder : {false, true}) {
            SCOPED_TRACE(qzn::toUtf8(name) + (asFolder ? " as a folder" : " as a file"));
            CraftedArchive crafted;
            const uint64_t sub = crafted.folder(0, L"sub");
            crafted.file(0, L"first", "written first if anything were");
            if (asFolder) {
                crafted.file(crafted.folder(sub, name), L"f", "x");
            } else {
                crafted.file(sub, name, "x");
            }
            Sandbox box;
            crafted.write(box.at("bad.qzn"));
            RunResult r = box.run({"d", "bad.qzn", "out"});
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_NE(r.out.find("Error: Unsafe name in archive: sub/" + qzn::toUtf8(name)),
                      std::string::npos)
                << r.out;
            EXPECT_FALSE(fs::exists(box.at("out")));
            EXPECT_EQ(std::distance(fs::directory_iterator(box.work), fs::directory_iterator()), 1);
        }
    }
}

// Two stored names that Windows writes under one name (after replacement, or differing only in
// case) never silently replace each other: the second asks like any existing file. That holds
// for a duplicate restored by copying as well.
TEST(StoredNames, NamesThatLandOnOneFileAsk) {
    CraftedArchive crafted;
    crafted.file(0, L"k", "kept contents");
    crafted.file(0, L"a:b", "first a:b");
    crafted.file(0, L"a|b", "second a|b");
    crafted.file(0, L"Readme.txt", "first readme");
    crafted.file(0, L"README.TXT", "second readme");
    crafted.file(0, L"q?x", "first q?x");
    crafted.file(0, L"q*x", "kept contents", 0); // a duplicate of k
    Sandbox box;
    crafted.write(box.at("clash.qzn"));

    if (!kWindows) {
        RunResult r = box.run({"d", "clash.qzn", "out"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find("already exists"), std::string::npos) << r.out;
        EXPECT_EQ(snapshot(box.at("out")).size(), 7u);
        return;
    }
    // Declined at the first clash: the first file stays as written.
    RunResult r = box.run({"d", "clash.qzn", "out"}, "n\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(countOf(r.out, "already exists"), 1u) << r.out;
    EXPECT_NE(r.out.find("Error: Output file out\\a_b already exists."), std::string::npos)
        << r.out;
    EXPECT_EQ(readFile(box.at("out/a_b")), "first a:b");

    // Each clash answered yes: the later file wins, three questions in all.
    fs::remove_all(box.at("out"));
    r = box.run({"d", "clash.qzn", "out"}, "y\ny\ny\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(countOf(r.out, "already exists"), 3u) << r.out;
    EXPECT_NE(r.out.find("Output file out\\README.TXT already exists."), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Output file out\\q_x already exists."), std::string::npos) << r.out;
    EXPECT_EQ(readFile(box.at("out/a_b")), "second a|b");
    EXPECT_EQ(readFile(box.at("out/readme.txt")), "second readme");
    EXPECT_EQ(readFile(box.at("out/q_x")), "kept contents");
    EXPECT_EQ(snapshot(box.at("out")).size(), 4u);

    // The copy declined: the file that was there first stays.
    fs::remove_all(box.at("out"));
    r = box.run({"d", "clash.qzn", "out"}, "y\ny\nn\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(box.at("out/q_x")), "first q?x");
}

// A file that Windows writes under the name of a folder made from another stored name (after
// replacement, or differing only in case) is left out with an error naming both; the folder, what
// lies below it and the files after it are unpacked, and the run fails. A copy whose source or
// target is such a file is left out too.
TEST(StoredNames, FileLandingOnAFolderIsLeftOut) {
    CraftedArchive crafted;
    crafted.file(crafted.folder(0, L"x:"), L"inner", "inside");
    crafted.file(crafted.folder(0, L"Sub"), L"deep", "deeper");
    crafted.file(0, L"x?", "a file");
    crafted.file(0, L"sub", "another file");
    crafted.file(0, L"later", "after them");
    crafted.file(0, L"copy", "a file", 2);    // its source is left out
    crafted.file(0, L"SUB", "after them", 4); // lands on the folder itself
    Sandbox box;
    crafted.write(box.at("clash.qzn"));
    RunResult r = box.run({"-force-overwrite", "d", "clash.qzn", "out"});
    if (!kWindows) {
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(readFile(box.at("out/x?")), "a file");
        EXPECT_EQ(readFile(box.at("out/SUB")), "after them");
        return;
    }
    EXPECT_EQ(r.status, 1) << r.out;
    for (const char* error :
         {"\nError: x? is left out: the folder x: is written under the same name\n",
          "\nError: sub is left out: the folder Sub is written under the same name\n",
          "\nError: out\\copy is left out: it is a copy of out\\x_, which was not unpacked\n",
          "\nError: SUB is left out: the folder Sub is written under the same name\n"})
        EXPECT_EQ(countOf(r.out, error), 1u) << error << r.out;
    EXPECT_EQ(countOf(r.out, "Error"), 4u) << r.out;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(box.at("out")), (std::map<std::string, std::string>{
                                           {"x_", "dir"},
                                           {"x_/inner", "file:inside"},
                                           {"Sub", "dir"},
                                           {"Sub/deep", "file:deeper"},
                                           {"later", "file:after them"},
                                       }));
}

// Two folders that Windows holds under one name are one folder: the contents of both go into it,
// and two files that meet there ask as usual.
TEST(StoredNames, FoldersOnOneNameMerge) {
    CraftedArchive crafted;
    const uint64_t upper = crafted.folder(0, L"A"), lower = crafted.folder(0, L"a");
    crafted.file(upper, L"one", "first");
    crafted.file(upper, L"same", "upper same");
    crafted.file(lower, L"two", "second");
    crafted.file(lower, L"SAME", "lower same");
    Sandbox box;
    crafted.write(box.at("merge.qzn"));
    RunResult r = box.run({"d", "merge.qzn", "out"}, "y\n");
    EXPECT_EQ(r.status, 0) << r.out;
    if (!kWindows) {
        EXPECT_EQ(snapshot(box.at("out")).size(), 6u);
        return;
    }
    EXPECT_EQ(countOf(r.out, "already exists"), 1u) << r.out;
    EXPECT_NE(r.out.find("Error: Output file out\\a\\SAME already exists."), std::string::npos)
        << r.out;
    // One folder of four entries; which spelling the replaced file keeps is the file system's.
    EXPECT_EQ(snapshot(box.at("out")).size(), 4u);
    EXPECT_EQ(readFile(box.at("out/a/one")), "first");
    EXPECT_EQ(readFile(box.at("out/A/two")), "second");
    EXPECT_EQ(readFile(box.at("out/a/same")), "lower same");
}

// Long paths in the test itself: the library's single-entry calls take the extended form
// "\\?\C:\..." on Windows, but its directory iterator cannot go that deep there, so folders are
// walked with the program's own listing, which reaches paths of any length.
fs::path longForm(const fs::path& path) {
    if (!kWindows) return path;
    return fs::path(L"\\\\?\\" + fs::absolute(path).make_preferred().wstring());
}

std::wstring wideOf(const fs::path& path) {
    return qzn::fromUtf8(utf8Text(path));
}

void walk(const fs::path& folder, const std::string& relative,
          std::map<std::string, std::string>& result) {
    std::vector<qzn::FolderItem> items;
    qzn::listFolder(wideOf(folder), items);
    for (const qzn::FolderItem& item : items) {
        const std::string name = qzn::toUtf8(item.name);
        const std::string key = relative.empty() ? name : relative + "/" + name;
        const fs::path path = folder / utf8Path(name);
        if (item.kind == qzn::EntryKind::Directory) {
            result[key] = "dir";
            walk(path, key, result);
            continue;
        }
        std::string bytes;
        if (FILE* file = qzn::openFile(wideOf(path), "rb")) {
            char buffer[4096];
            for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
                bytes.append(buffer, n);
            std::fclose(file);
        }
        result[key] = "file:" + bytes;
    }
}

std::map<std::string, std::string> deepSnapshot(const fs::path& folder) {
    std::map<std::string, std::string> result;
    walk(folder, "", result);
    return result;
}

void removeDeep(const fs::path& folder) {
    std::vector<qzn::FolderItem> items;
    qzn::listFolder(wideOf(folder), items);
    for (const qzn::FolderItem& item : items) {
        const fs::path path = folder / item.name;
        if (item.kind == qzn::EntryKind::Directory) removeDeep(path);
        std::error_code ignored;
        fs::remove(longForm(path), ignored);
    }
    std::error_code ignored;
    fs::remove(longForm(folder), ignored);
}

// Folders and files whose paths pass 300 characters pack, test and unpack, given as relative
// paths and as absolute ones.
TEST(LongPaths, TreeBeyondThreeHundredCharacters) {
    Sandbox box;
    struct Cleanup { // before the sandbox goes, which could not reach that deep
        const Sandbox& box;
        ~Cleanup() {
            removeDeep(box.at("tree"));
            removeDeep(box.at("out"));
        }
    } cleanup{box};
    const std::string level(60, 'l');
    std::string deep;
    std::map<std::string, std::string> tree;
    for (int i = 0; i < 5; ++i) {
        deep += (i ? "/" : "") + level + std::to_string(i);
        tree[deep] = "dir";
    }
    const std::string file = std::string(70, 'f') + ".txt";
    ASSERT_GT(utf8Text(box.work).size() + deep.size() + file.size(), 300u + 20u);
    tree[deep + "/" + file] = "file:" + textBytes(5000, 1);
    tree[deep + "/same.bin"] = "file:" + textBytes(5000, 1); // restored by copying
    tree[level + "0/short.txt"] = "file:" + textBytes(300, 2);
    tree[deep + "/" + level + "-empty"] = "dir";
    for (const auto& [relative, what] : tree) {
        const fs::path path = longForm(box.at("tree/" + relative));
        if (what == "dir")
            fs::create_directories(path);
        else
            writeFile(path, what.substr(5));
    }
    ASSERT_EQ(deepSnapshot(box.at("tree")), tree);

    for (bool absolute : {false, true}) {
        SCOPED_TRACE(absolute ? "absolute" : "relative");
        const std::string base = absolute ? utf8Text(box.work) + "/" : "";
        RunResult r = box.run({"-force-overwrite", "c2", base + "long.qzn", base + "tree"});
        ASSERT_EQ(r.status, 0) << r.out;
        r = box.run({"t", base + "long.qzn"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
        removeDeep(box.at("out"));
        r = box.run({"d", base + "long.qzn", base + "out"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
        EXPECT_EQ(deepSnapshot(box.at("out")), tree);
    }
}

// On Windows '\' separates as '/' does on the command line, also at the end of the input folder
// and in absolute paths.
TEST(CommandLinePaths, BackslashesSeparateOnWindows) {
    if (!kWindows) GTEST_SKIP() << "'\\' is an ordinary character in names elsewhere";
    Sandbox box;
    box.put("in/sub/a.txt", textBytes(3000, 1));
    box.put("in/b.txt", textBytes(2000, 2));
    fs::create_directories(box.at("archives"));
    const auto tree = snapshot(box.at("in"));
    std::string absolute = utf8Text(box.work);
    for (char& c : absolute)
        if (c == '/') c = '\\';
    const std::pair<std::string, std::string> runs[] = {
        {"in", "archives\\one.qzn"},
        {"in\\", "archives\\two.qzn"},
        {absolute + "\\in", absolute + "\\archives\\three.qzn"},
    };
    int k = 0;
    for (const auto& [input, archive] : runs) {
        SCOPED_TRACE(input);
        RunResult r = box.run({"c", archive, input});
        ASSERT_EQ(r.status, 0) << r.out;
        const std::string out = "out" + std::to_string(++k);
        r = box.run({"d", archive, (k == 3 ? absolute + "\\" : std::string()) + out});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
        EXPECT_EQ(snapshot(box.at(out)), tree);
    }
    // Paths the program joins take '\' too: the archive being written inside the input folder,
    // typed with a final '\', is named without a '/'.
    RunResult r = box.run({"c", "in\\inside.qzn", "in\\"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Warning: Skipping in\\inside.qzn."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("in/"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\\/"), std::string::npos) << r.out;
}

// The answer is the first character of a line; the rest of the line, a Windows line end
// included, is discarded, so each line answers one question.
TEST(Answer, FirstCharacterOfEachLine) {
    Sandbox box;
    box.put("in/a.txt", textBytes(2000, 1));
    box.put("in/b.txt", textBytes(2000, 2));
    box.put("in/c.txt", textBytes(2000, 3));
    ASSERT_EQ(box.run({"c", "a.qzn", "in"}).status, 0);
    auto spoil = [&] {
        for (const char* name : {"a.txt", "b.txt", "c.txt"})
            box.put(std::string("out/") + name, "");
    };
    auto restored = [&] {
        int n = 0;
        for (const char* name : {"a.txt", "b.txt", "c.txt"})
            n += readFile(box.at(std::string("out/") + name)).size() == 2000;
        return n;
    };
    struct Case {
        const char* input;
        size_t questions;
        int restored, status;
    } cases[] = {
        {"yes\nnever\n", 2, 1, 0},         {"Yes please\r\nno thanks\r\n", 2, 1, 0},
        {"y\nyes\ny\n", 3, 3, 0},          {"all of them\nn\n", 1, 3, 0},
        {"n...\ny\ny\n", 1, 0, 0},         {"\ny\ny\ny\n", 1, 0, 0},
        {"yes, and no line end", 2, 1, 1}, // input ends at the second question: no answer
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        spoil();
        RunResult r = box.run({"d", "a.qzn", "out"}, c.input);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_EQ(countOf(r.out, "already exists"), c.questions) << r.out;
        EXPECT_EQ(restored(), c.restored);
    }
}

// Redirected output is UTF-8 on every platform, byte for byte, with "\n" line ends: names beyond
// ASCII and beyond the Basic Multilingual Plane in the list, in warnings and in errors.
TEST(ConsoleOutput, RedirectedOutputIsUtf8Bytes) {
    Sandbox box;
    const std::string accented = "\xC3\xA9t\xC3\xA9", japanese = "\xE6\x97\xA5\xE6\x9C\xAC",
                      face = "\xF0\x9F\x98\x80";
    box.put("in/" + accented + ".txt", "abc");
    box.put("in/" + japanese + "/" + face + ".bin", "defg");
    ASSERT_EQ(box.run({"c", "a.qzn", "in"}).status, 0);
    RunResult r = box.run({"l", "a.qzn"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(
        r.out.find("\n\t" + accented + ".txt (1 KB, crc32: " + hexUpper(crc32("abc")) + ")\n"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Dir: /" + japanese + "/\n\t" + face +
                         ".bin (1 KB, crc32: " + hexUpper(crc32("defg")) + ")\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find('\r'), std::string::npos) << r.out;

    r = box.run({"c", "b.qzn", "in/" + face + "-" + japanese});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Error: in/" + face + "-" + japanese + " does not exist\n"),
              std::string::npos)
        << r.out;

    CraftedArchive crafted;
    crafted.file(0, qzn::fromUtf8(face + "?"), "x");
    crafted.write(box.at("c.qzn"));
    r = box.run({"d", "c.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(fs::exists(box.at("out/" + face + (kWindows ? "_" : "?"))));
    if (kWindows) {
        EXPECT_NE(r.out.find("Warning: " + face + "? is written as out\\" + face + "_\n"),
                  std::string::npos)
            << r.out;
    }
}

// A stored name can hold escape sequences: the list shows them as visible escapes on every
// platform and sends no control byte to the terminal, while unpack still writes the file under
// its own name wherever the file system holds it.
TEST(ConsoleOutput, ControlCharactersInNamesNeverReachTheTerminal) {
    Sandbox box;
    const std::wstring folder = L"title\x1B]0;owned\x07", file = L"esc\x1B[31mred\u009B2J";
    CraftedArchive crafted;
    crafted.file(crafted.folder(0, folder), file, "painted");
    crafted.write(box.at("c.qzn"));

    RunResult r = box.run({"l", "c.qzn"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Dir: /title\\x1B]0;owned\\x07/\n\tesc\\x1B[31mred\\x9B2J (1 KB"),
              std::string::npos)
        << r.out;
    for (const char* control : {"\x1B", "\x07", "\xC2\x9B"})
        EXPECT_EQ(r.out.find(control), std::string::npos) << r.out;

    r = box.run({"d", "c.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find('\x1B'), std::string::npos) << r.out;
    const std::string written = "out/" + qzn::toUtf8(qzn::storableName(folder)) + "/" +
                                qzn::toUtf8(qzn::storableName(file));
    EXPECT_EQ(readFile(box.at(written)), "painted") << written;
}

} // namespace
