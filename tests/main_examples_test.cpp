// The examples, built against this build's shared library as a user's program is built against
// the installed one (on Windows qzn.dll, linked through its import library): on an archive that
// qzn packed, list shows what `qzn l` shows, extract gives back each file's bytes, list.py says
// what list says, and an archive that is not one is refused with a message and status 1.
#include "main_e2e.h"

#include <cstdlib>
#include <sstream>

using namespace qzn_e2e;

namespace {

// Runs an example program in the sandbox's work folder.
RunResult runExample(const Sandbox& box, const std::string& program,
                     const std::vector<std::string>& args) {
    const fs::path in = box.root / "stdin", out = box.root / "stdout", err = box.root / "stderr";
    writeFile(in, "");
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult result;
    result.status = qzn::testing::runProgram(program, argv, box.work, in, out, err);
    result.out = readFile(out);
    result.err = readFile(err);
    return result;
}

std::string withoutCarriageReturns(std::string text) {
    std::erase(text, '\r');
    return text;
}

struct Listed {
    std::string path;
    bool folder = false;
    uint64_t size = 0;
    std::string crc; // eight hexadecimal digits
};

// list's lines: "path\tsize\tcrc", a folder's as "path/\t-\t-".
std::vector<Listed> parseList(const std::string& text) {
    std::vector<Listed> entries;
    std::istringstream in(withoutCarriageReturns(text));
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t'), tab2 = line.find('\t', tab + 1);
        if (tab == std::string::npos || tab2 == std::string::npos) {
            ADD_FAILURE() << "not a list line: " << line;
            continue;
        }
        Listed entry;
        entry.path = line.substr(0, tab);
        const std::string size = line.substr(tab + 1, tab2 - tab - 1);
        entry.crc = line.substr(tab2 + 1);
        if (size == "-") {
            entry.folder = true;
            EXPECT_EQ(entry.path.back(), '/') << line;
            entry.path.pop_back();
        } else {
            entry.size = std::stoull(size);
            EXPECT_EQ(entry.crc.size(), 8u) << line;
        }
        entries.push_back(entry);
    }
    return entries;
}

// The list in the words of `qzn l`: the counts, then each file's name, size in KB and CRC-32.
std::string asQznList(const std::vector<Listed>& entries) {
    size_t files = 0, folders = 0;
    std::ostringstream lines;
    for (const Listed& entry : entries) {
        if (entry.folder) {
            ++folders;
            continue;
        }
        ++files;
        std::string crc = entry.crc;
        crc.erase(0, std::min(crc.find_first_not_of('0'), crc.size() - 1));
        lines << '\t' << entry.path.substr(entry.path.rfind('/') + 1) << " ("
              << (entry.size + 1023) / 1024 << " KB, crc32: " << crc << ")\n";
    }
    std::ostringstream all;
    all << "Files: " << files << "\nDirectories: " << folders << "\n" << lines.str();
    return all.str();
}

// `qzn l`'s counts and file lines.
std::string qznListLines(const std::string& out) {
    std::string kept;
    std::istringstream in(withoutCarriageReturns(out));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Files: ", 0) == 0 || line.rfind("Directories: ", 0) == 0 ||
            line.rfind("\t", 0) == 0)
            kept += line + "\n";
    return kept;
}

void packSampleTree(const Sandbox& box) {
    box.put("in/a.txt", textBytes(50000, 1));
    box.put("in/copy of a.txt", textBytes(50000, 1));
    box.put("in/sub/b.bin", randomBytes(3000, 2));
    box.put("in/sub/empty", "");
    box.put("in/sub/deeper/c.txt", sampleBytes(200000, 3));
    box.put("in/z.txt", textBytes(1500, 4));
    const RunResult pack = box.run({"c", "in.qzn", "in"});
    ASSERT_EQ(pack.status, 0) << pack.out << pack.err;
}

TEST(Examples, ListShowsWhatTheProgramLists) {
    Sandbox box;
    packSampleTree(box);
    const RunResult list = runExample(box, QZN_EXAMPLE_LIST, {"in.qzn"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.err, "");
    const std::vector<Listed> entries = parseList(list.out);
    ASSERT_EQ(entries.size(), 9u) << list.out; // 3 folders, 6 files
    const RunResult qznList = box.run({"l", "in.qzn"});
    ASSERT_EQ(qznList.status, 0);
    EXPECT_EQ(asQznList(entries), qznListLines(qznList.out)) << list.out;
}

TEST(Examples, ExtractGivesBackEveryFile) {
    Sandbox box;
    packSampleTree(box);
    const RunResult list = runExample(box, QZN_EXAMPLE_LIST, {"in.qzn"});
    ASSERT_EQ(list.status, 0) << list.err;
    const std::vector<Listed> entries = parseList(list.out);
    ASSERT_FALSE(entries.empty());
    ASSERT_TRUE(entries[0].folder) << "the root folder comes first";
    // Stored paths below the root folder's are the paths below the packed folder (the root's own
    // path is empty, or its name).
    const std::string root = entries[0].path.empty() ? "" : entries[0].path + "/";
    size_t files = 0;
    for (const Listed& entry : entries) {
        if (entry.folder) continue;
        ++files;
        ASSERT_EQ(entry.path.rfind(root, 0), 0u) << entry.path;
        const std::string original = readFile(box.at("in/" + entry.path.substr(root.size())));
        EXPECT_EQ(entry.size, original.size()) << entry.path;
        std::string crc = hexUpper(crc32(original));
        EXPECT_EQ(entry.crc, std::string(8 - crc.size(), '0') + crc) << entry.path;
        const RunResult extract = runExample(box, QZN_EXAMPLE_EXTRACT, {"in.qzn", entry.path});
        EXPECT_EQ(extract.status, 0) << entry.path << ": " << extract.err;
        EXPECT_EQ(extract.err, "") << entry.path;
        EXPECT_TRUE(extract.out == original)
            << entry.path << ": " << extract.out.size() << " bytes";
    }
    EXPECT_EQ(files, 6u);
    const RunResult missing = runExample(box, QZN_EXAMPLE_EXTRACT, {"in.qzn", root + "nothing"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err, "");
}

TEST(Examples, AFileThatIsNoArchiveIsRefused) {
    Sandbox box;
    box.put("not.qzn", "this is not an archive of any kind\n");
    const RunResult list = runExample(box, QZN_EXAMPLE_LIST, {"not.qzn"});
    EXPECT_EQ(list.status, 1);
    EXPECT_EQ(list.out, "");
    EXPECT_EQ(list.err.rfind("not.qzn: ", 0), 0u) << list.err;
    const RunResult extract = runExample(box, QZN_EXAMPLE_EXTRACT, {"not.qzn", "a"});
    EXPECT_EQ(extract.status, 1);
    EXPECT_EQ(extract.out, "");
    EXPECT_EQ(extract.err.rfind("not.qzn: ", 0), 0u) << extract.err;
}

#ifndef _WIN32
// list.py through ctypes on this build's libqzn.so.1, with the system's python3.
TEST(Examples, ListPyListsWhatListLists) {
#ifdef QZN_SANITIZED_LIBRARY
    GTEST_SKIP() << "python3 cannot load a library built with the sanitizers";
#endif
    if (!fs::exists("/usr/bin/python3")) GTEST_SKIP() << "no /usr/bin/python3";
    Sandbox box;
    packSampleTree(box);
    const RunResult list = runExample(box, QZN_EXAMPLE_LIST, {"in.qzn"});
    ASSERT_EQ(list.status, 0) << list.err;
    setenv("QZN_LIBRARY", QZN_SHARED_LIBRARY, 1);
    const RunResult py = runExample(box, "/usr/bin/python3", {QZN_EXAMPLE_LIST_PY, "in.qzn"});
    unsetenv("QZN_LIBRARY");
    EXPECT_EQ(py.status, 0) << py.err;
    EXPECT_EQ(py.err, "");
    EXPECT_EQ(py.out, list.out);
}
#endif

} // namespace
