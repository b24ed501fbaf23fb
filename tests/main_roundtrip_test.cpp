// Pack, list, test and unpack through the real binary: folder trees at every level and channel
// count, single files, empty inputs, chunk boundaries, overwrite answers and damaged archives.
#include "ContextLz.h"
#include "main_e2e.h"

#include <algorithm>
#include <random>
#include <regex>

using namespace qzn_e2e;

namespace {

// A tree with nested folders, empty files in the middle and at the end of the list, empty
// folders, three identical files, non-ASCII names and a name that is not UTF-8 (an emoji on
// Windows).
// The scan is breadth-first, so the files of d1 (only an empty one) come before those of d1/d2,
// and the empty file of d1/d2/d3, the only folder at its depth, comes last.
void makeTree(const Sandbox& box, const std::string& root) {
    const std::string same = randomBytes(30000, 7);
    box.put(root + "/text.txt", textBytes(120000, 1));
    box.put(root + "/samples.raw", sampleBytes(70001, 2));
    box.put(root + "/dup1.bin", same);
    box.put(root + "/gr\xc3\xb6\xc3\x9f"
                   "e \xc3\xbc.txt",
            textBytes(5000, 3));
    box.put(root + "/d1/empty-middle", "");
    box.put(root + "/d1/d2/dup2.bin", same);
    box.put(root + "/d1/d2/random.bin", randomBytes(20000, 4));
    box.put(root + "/d1/d2/d3/empty-last", "");
    fs::create_directories(box.at(root + "/d1/d2/d3/deeper-empty"));
    fs::create_directories(box.at(root + "/empty-folder"));
    box.put(root + "/\xe6\x97\xa5\xe6\x9c\xac/\xe3\x83\x95\xe3\x82\xa1\xe3\x82\xa4\xe3\x83\xab.txt",
            textBytes(3000, 5));
    box.put(root + "/\xe6\x97\xa5\xe6\x9c\xac/dup3.bin", same);
    // Windows names are UTF-16: a name of bytes exists on POSIX only; there a name beyond the
    // Basic Multilingual Plane (a surrogate pair) takes its place.
    box.put(root + "/\xe6\x97\xa5\xe6\x9c\xac/" +
                (qzn::testing::kWindows ? "\xF0\x9F\x98\x80.bin" : "bad\xff\xfe.bin"),
            randomBytes(100, 6));
}

std::vector<std::string> packArgs(std::vector<std::string> flags, const std::string& mode,
                                  const std::string& archive, const std::string& input) {
    flags.insert(flags.end(), {mode, archive, input});
    return flags;
}

TEST(RoundTrip, TreeAtEveryLevel) {
    Sandbox box;
    makeTree(box, "tree");
    for (const char* mode : {"c1", "c2", "c3", "c4", "c5", "c6"}) {
        SCOPED_TRACE(mode);
        RunResult r = box.run(packArgs({"-force-overwrite", "-window:17"}, mode, "a.qzn", "tree"));
        ASSERT_EQ(r.status, 0) << r.out;
        // 11 files; 3 identical pairs among dup1..3 and 1 among the two empty files.
        EXPECT_NE(r.out.find("Duplicates: 4/11\n"), std::string::npos) << r.out;

        r = box.run({"t", "a.qzn"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("Decoder 17:12:13 memory: "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;

        fs::remove_all(box.at("out"));
        r = box.run({"d", "a.qzn", "out"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos);
        EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at("tree")));
    }
}

// On Linux these are ordinary characters: such names pack, test and unpack as they are. On
// Windows they are written under safe names instead, which other tests cover.
// The same tree, its entries created in another order (reversed, shuffled), packs to the same
// bytes: names are taken in byte order, not in the file system's listing order.
TEST(RoundTrip, CreationOrderDoesNotChangeTheArchive) {
#ifndef _WIN32
    // On tmpfs a listing follows the creation order (ext4 lists by hash whatever the order).
    const char* previous = std::getenv("TMPDIR");
    const std::string saved = previous ? previous : "";
    if (fs::is_directory("/dev/shm")) setenv("TMPDIR", "/dev/shm", 1);
#endif
    Sandbox box;
#ifndef _WIN32
    if (previous)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
#endif
    const auto entries = mixedTree(!qzn::testing::kWindows);
    std::vector<size_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    createTree(box, "forward", entries, order);
    std::vector<size_t> reversed(order.rbegin(), order.rend());
    createTree(box, "reversed", entries, reversed);
    std::vector<size_t> shuffled = order;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
    createTree(box, "shuffled", entries, shuffled);

    std::string first;
    for (const char* tree : {"forward", "reversed", "shuffled"}) {
        SCOPED_TRACE(tree);
        const std::string archive = std::string(tree) + ".qzn";
        RunResult r = box.run({"-window:16", "c1", archive, tree});
        ASSERT_EQ(r.status, 0) << r.out;
        const std::string bytes = readFile(box.at(archive));
        if (first.empty()) first = bytes;
        EXPECT_TRUE(bytes == first);
    }
    RunResult r = box.run({"d", "shuffled.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at("forward")));
}

TEST(RoundTrip, NamesThatWindowsCannotHold) {
    if (qzn::testing::kWindows) GTEST_SKIP() << "names Windows cannot hold";
    Sandbox box;
    const char* names[] = {"x:y",   "c:notes",   "back\\slash", "what?", "star*",
                           "pipe|", "trailing.", "..\\x",       "C:\\x"};
    int k = 0;
    for (const char* name : names) box.put(std::string("tree/") + name, textBytes(400, ++k));
    box.put("tree/dir:with\\odd?/inner*.txt", textBytes(500, 99));
    ASSERT_EQ(box.run({"c2", "a.qzn", "tree"}).status, 0);
    RunResult r = box.run({"t", "a.qzn"});
    EXPECT_EQ(r.status, 0) << r.out;
    r = box.run({"d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at("tree")));
}

TEST(RoundTrip, TreeWithEveryChannelCount) {
    Sandbox box;
    makeTree(box, "tree");
    for (const char* channels : {"2", "4", "8", "16"}) {
        SCOPED_TRACE(channels);
        // 64 KB chunks: the filter restarts in every chunk and the last one has a tail.
        RunResult r = box.run(packArgs(
            {"-force-overwrite", "-window:16", std::string("-filter:channels:") + channels}, "c",
            "a.qzn", "tree"));
        ASSERT_EQ(r.status, 0) << r.out;
        r = box.run({"t", "a.qzn"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
        fs::remove_all(box.at("out"));
        r = box.run({"d", "a.qzn", "out"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at("tree")));
    }
    // The filter changes what is encoded: the archives differ from an unfiltered one.
    const std::string filtered = readFile(box.at("a.qzn"));
    ASSERT_EQ(box.run(packArgs({"-force-overwrite", "-window:16"}, "c", "a.qzn", "tree")).status,
              0);
    EXPECT_NE(readFile(box.at("a.qzn")), filtered);
}

TEST(RoundTrip, SkipCrcArchive) {
    Sandbox box;
    makeTree(box, "tree");
    RunResult r = box.run({"-skip-crc", "c", "a.qzn", "tree"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("Duplicates:"), std::string::npos);
    EXPECT_EQ(r.out.find("crc32"), std::string::npos);

    r = box.run({"l", "a.qzn"});
    EXPECT_EQ(countOf(r.out, "crc32: 0)\n"), 11u) << r.out;

    r = box.run({"t", "a.qzn"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Archive does not include crc32 information, skipping verification\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("All crc32 match"), std::string::npos);

    r = box.run({"d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("crc32"), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at("tree")));
}

TEST(RoundTrip, SingleFileUnderANewName) {
    Sandbox box;
    const std::string data = textBytes(1000, 9);
    box.put("one.txt", data);
    RunResult r = box.run({"c", "a.qzn", "one.txt"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Reduced window size to 1 KB\n"), std::string::npos) << r.out;
    const int encoderKb = int((1024 + 524288 + 10485760 + sizeof(qzn::ContextLz)) >> 10);
    EXPECT_NE(r.out.find("Encoder memory: " + std::to_string(encoderKb) + " KB\n"),
              std::string::npos)
        << r.out;
    const std::string archiveSize = std::to_string(fs::file_size(box.at("a.qzn")));
    EXPECT_NE(r.out.find("1000 -> " + archiveSize + " ("), std::string::npos) << r.out;

    r = box.run({"l", "a.qzn"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Files: 1\nDirectories: 0\nNo directory\n\t(unnamed) (1 KB, crc32: " +
                         hexUpper(crc32(data)) + ")\n"),
              std::string::npos)
        << r.out;

    // Test uses the stored window; unpack raises it to the smallest allowed.
    r = box.run({"t", "a.qzn"});
    EXPECT_NE(r.out.find("Decoder 10:12:13 memory: "), std::string::npos) << r.out;
    const int decoderKb = int((65536 + 524288 + 4194304 + sizeof(qzn::ContextLz)) >> 10);
    r = box.run({"d", "a.qzn", "renamed.bin"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Decoder 16:12:13 memory: " + std::to_string(decoderKb) + " KB\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(archiveSize + " -> 1000 in "), std::string::npos) << r.out;
    EXPECT_EQ(readFile(box.at("renamed.bin")), data);
}

TEST(RoundTrip, WindowReductionFigures) {
    Sandbox box;
    box.put("small", std::string(100, 'x'));
    RunResult r = box.run({"c", "a.qzn", "small"});
    EXPECT_NE(r.out.find("Reduced window size to 1 KB\n"), std::string::npos) << r.out;
    r = box.run({"t", "a.qzn"});
    EXPECT_NE(r.out.find("Decoder 7:12:13 memory: "), std::string::npos) << r.out;

    box.put("medium", textBytes(3000000, 2));
    r = box.run({"-force-overwrite", "c", "a.qzn", "medium"});
    EXPECT_NE(r.out.find("Reduced window size to 4096 KB\n"), std::string::npos) << r.out;
    r = box.run({"d", "a.qzn", "medium.out"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(box.at("medium.out")), readFile(box.at("medium")));
}

TEST(RoundTrip, ChunkBoundaries) {
    Sandbox box;
    // One chunk exactly, one plus a byte, and three chunks (the middle one shows the speed).
    for (size_t size : {size_t(65536), size_t(65537), size_t(3 * 65536 - 5)}) {
        SCOPED_TRACE(size);
        box.put("in.bin", textBytes(size, uint32_t(size)));
        RunResult r = box.run({"-force-overwrite", "-window:16", "c", "a.qzn", "in.bin"});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find("Reduced"), std::string::npos);
        // Only a chunk that is neither the first nor the last shows speed and expectation.
        EXPECT_EQ(r.out.find(", expect ") != std::string::npos, size > 2 * 65536) << r.out;

        fs::remove(box.at("out.bin"));
        r = box.run({"d", "a.qzn", "out.bin"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(readFile(box.at("out.bin")), readFile(box.at("in.bin")));
        const bool speedShown =
            std::regex_search(r.out, std::regex("\r[0-9.]+/[0-9.]+ MB, [0-9.]+ MB/s +\r"));
        EXPECT_EQ(speedShown, size > 2 * 65536) << r.out;
    }
}

TEST(RoundTrip, EmptyInputs) {
    Sandbox box;
    // Only empty files: no blocks, figures stay finite.
    box.put("empties/a", "");
    box.put("empties/sub/b", "");
    box.put("empties/sub/c", "");
    RunResult r = box.run({"c", "a.qzn", "empties"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("Reduced"), std::string::npos);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n0 -> [0-9]+ \\([0-9.]+ MB, 0\\.000\\) in "
                                                    "[0-9.]+ sec \\(0\\.00 MB/s\\)\n")))
        << r.out;
    r = box.run({"t", "a.qzn"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos);
    r = box.run({"d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Done decompressing"), std::string::npos);
    EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at("empties")));

    // A single empty file.
    box.put("nothing", "");
    r = box.run({"-force-overwrite", "c", "a.qzn", "nothing"});
    ASSERT_EQ(r.status, 0) << r.out;
    r = box.run({"d", "a.qzn", "nothing.out"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(fs::exists(box.at("nothing.out")));
    EXPECT_EQ(fs::file_size(box.at("nothing.out")), 0u);
}

TEST(RoundTrip, FolderOfOnlyEmptyFolders) {
    Sandbox box;
    fs::create_directories(box.at("hollow/x/y"));
    fs::create_directories(box.at("hollow/z"));
    RunResult r = box.run({"c", "a.qzn", "hollow"});
    if (r.status != 0) {
        // Refusing such input is acceptable, but only with a message and no usable archive.
        EXPECT_NE(r.out.find("Error: "), std::string::npos) << r.out;
        return;
    }
    r = box.run({"t", "a.qzn"});
    EXPECT_EQ(r.status, 0) << r.out;
    r = box.run({"d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at("hollow")));
}

TEST(List, TreeHeadingsSizesAndCrcs) {
    Sandbox box;
    box.put("in/one", "x");
    box.put("in/k1", std::string(1024, 'a'));
    box.put("in/k2", std::string(1025, 'b'));
    box.put("in/zero", "");
    box.put("in/s/x/deep", "deep");
    fs::create_directories(box.at("in/e"));
    ASSERT_EQ(box.run({"c", "a.qzn", "in"}).status, 0);
    RunResult r = box.run({"l", "a.qzn"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Files: 5\nDirectories: 4\nDir: /\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tone (1 KB, crc32: " + hexUpper(crc32("x")) + ")\n"), std::string::npos);
    EXPECT_NE(r.out.find("\tk1 (1 KB, crc32: " + hexUpper(crc32(std::string(1024, 'a'))) + ")\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("\tk2 (2 KB, crc32: " + hexUpper(crc32(std::string(1025, 'b'))) + ")\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("\tzero (0 KB, crc32: 0)\n"), std::string::npos);
    // Subfolders come before the folder's own files; the empty folder has a heading only.
    EXPECT_NE(r.out.find("Dir: /s/x/\n\tdeep (1 KB, crc32: " + hexUpper(crc32("deep")) + ")\n"),
              std::string::npos)
        << r.out;
    EXPECT_LT(r.out.find("Dir: /s/x/"), r.out.find("\tone ("));
    const size_t e = r.out.find("Dir: /e/\n");
    ASSERT_NE(e, std::string::npos);
    EXPECT_NE(r.out.substr(e + 9, 4), "\tone");
}

TEST(Overwrite, ArchiveQuestion) {
    Sandbox box;
    box.put("in.txt", textBytes(5000, 1));
    box.put("a.qzn", "old");
    RunResult r = box.run({"c", "a.qzn", "in.txt"}, "n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Error: Output file a.qzn already exists."), std::string::npos);
    EXPECT_EQ(readFile(box.at("a.qzn")), "old");

    // End of input at the question (a script without input) is no success.
    r = box.run({"c", "a.qzn", "in.txt"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(box.at("a.qzn")), "old");

    r = box.run({"c", "a.qzn", "in.txt"}, "Y\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Done compressing"), std::string::npos);
    const std::string packed = readFile(box.at("a.qzn"));
    EXPECT_NE(packed, "old");

    box.put("a.qzn", "old");
    r = box.run({"-force-overwrite", "c", "a.qzn", "in.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("already exists"), std::string::npos);
    EXPECT_EQ(readFile(box.at("a.qzn")), packed);
}

TEST(Overwrite, OutputFilesQuestion) {
    Sandbox box;
    makeTree(box, "tree");
    ASSERT_EQ(box.run({"c", "a.qzn", "tree"}).status, 0);
    ASSERT_EQ(box.run({"d", "a.qzn", "out"}).status, 0);
    const auto expected = snapshot(box.at("tree"));

    // Spoil every file, then decline: nothing is replaced.
    for (const auto& entry : fs::recursive_directory_iterator(box.at("out")))
        if (entry.is_regular_file()) writeFile(entry.path(), "spoilt");
    const auto spoilt = snapshot(box.at("out"));
    RunResult r = box.run({"d", "a.qzn", "out"}, "n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(countOf(r.out, "already exists"), 1u);
    EXPECT_EQ(snapshot(box.at("out")), spoilt);

    // "a" answers once for all files.
    r = box.run({"d", "a.qzn", "out"}, "a\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(countOf(r.out, "already exists"), 1u);
    EXPECT_EQ(snapshot(box.at("out")), expected);

    // "y" answers one file at a time; duplicates, made as copies, are asked about like any file.
    std::string answers;
    for (int i = 0; i < 40; ++i) answers += "y\n";
    r = box.run({"d", "a.qzn", "out"}, answers);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(countOf(r.out, "already exists"), 11u);
    EXPECT_EQ(snapshot(box.at("out")), expected);

    r = box.run({"-force-overwrite", "d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(countOf(r.out, "already exists"), 0u);
    EXPECT_EQ(snapshot(box.at("out")), expected);
}

TEST(Overwrite, TestOpensNoOutput) {
    Sandbox box;
    box.put("tree/a.txt", textBytes(5000, 1));
    ASSERT_EQ(box.run({"c", "a.qzn", "tree"}).status, 0);
    RunResult r = box.run({"t", "a.qzn"}, "n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("already exists"), std::string::npos);
    EXPECT_FALSE(fs::exists(box.at("a.txt")));
}

TEST(Damage, CorruptedArchiveIsReported) {
    Sandbox box;
    box.put("in.txt", textBytes(200000, 3));
    ASSERT_EQ(box.run({"c", "a.qzn", "in.txt"}).status, 0);
    std::string archive = readFile(box.at("a.qzn"));
    archive[archive.size() * 2 / 3] ^= 0x5A;
    writeFile(box.at("a.qzn"), archive);

    RunResult r = box.run({"t", "a.qzn"});
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("All crc32 match"), std::string::npos);
    if (r.status == 1) {
        EXPECT_NE(r.out.find("Error: Invalid crc32 for (unnamed)\n"), std::string::npos);
    }

    r = box.run({"d", "a.qzn", "out.txt"});
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("All crc32 match"), std::string::npos);
}

TEST(Damage, TestRefusesOutOfRangeParameters) {
    Sandbox box;
    box.put("five", "hello");
    ASSERT_EQ(box.run({"-skip-crc", "c", "a.qzn", "five"}).status, 0);
    std::string archive = readFile(box.at("a.qzn"));
    // The single-file table of a 5-byte file is 140 bits; windowBits follows in 32 bits.
    auto setBits = [&](size_t bit, uint32_t value, int count) {
        for (int i = 0; i < count; ++i, ++bit) {
            char& byte = archive[4 + bit / 8];
            byte = char((byte & ~(1 << (bit % 8))) | (((value >> i) & 1) << (bit % 8)));
        }
    };
    uint32_t stored = 0;
    for (int i = 0; i < 32; ++i)
        stored |= uint32_t((archive[4 + (140 + i) / 8] >> ((140 + i) % 8)) & 1) << i;
    ASSERT_EQ(stored, 3u); // the window was reduced to 8 bytes
    RunResult r;
    for (uint32_t window : {0u, 40u}) {
        setBits(140, window, 32);
        writeFile(box.at("a.qzn"), archive);
        r = box.run({"t", "a.qzn"});
        EXPECT_EQ(r.status, 1) << window;
        EXPECT_NE(r.out.find("Error: Corrupt archive: invalid codec parameters\n"),
                  std::string::npos)
            << r.out;
    }
    // Unpack clamps instead; the one chunk decodes the same.
    r = box.run({"d", "a.qzn", "five.out"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Decoder 27:12:13 memory: "), std::string::npos) << r.out;
    EXPECT_EQ(readFile(box.at("five.out")), "hello");

    // A 128 MiB chunk buffer that cannot be had is an error, not a crash. (The sanitizers
    // reserve terabytes of address space, so the limit cannot apply to their builds.)
    // Wine does not enforce a job's memory limit, so the Windows build skips the case as well.
#ifndef __SANITIZE_ADDRESS__
    if (qzn::testing::kWindows) return;
    box.addressSpaceLimit = 96u << 20;
    r = box.run({"-force-overwrite", "d", "a.qzn", "five.out"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Error: Not enough memory for a chunk buffer of 131072 KB\n"),
              std::string::npos)
        << r.out;
#endif
}

TEST(Damage, InputThatReportsNoSizeIsStoredAsRead) {
    // A /proc file measures as empty but reads as text, and other text at each read: it is
    // stored as read once, and the archive agrees with itself.
    if (qzn::testing::kWindows || !fs::exists("/proc/uptime")) GTEST_SKIP() << "no /proc/uptime";
    Sandbox box;
    box.put("in/a", "hello");
    fs::create_symlink("/proc/uptime", box.at("in/b"));
    box.put("in/c", "world");
    RunResult r = box.run({"c", "a.qzn", "in"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("Warning"), std::string::npos) << r.out;
    r = box.run({"t", "a.qzn"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("All crc32 match"), std::string::npos) << r.out;
    r = box.run({"d", "a.qzn", "out"});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string uptime = readFile(box.at("out/b"));
    EXPECT_TRUE(!uptime.empty() && uptime.back() == '\n') << uptime;
}

TEST(Damage, ArchiveWriteFailureFailsThePack) {
    if (qzn::testing::kWindows || !fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    Sandbox box;
    box.put("small", "hello");               // fails at the final flush
    box.put("large", textBytes(3000000, 5)); // fails at a segment flush inside the chunk loop
    for (const char* input : {"small", "large"}) {
        RunResult r = box.run({"-force-overwrite", "-window:16", "c", "/dev/full", input});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("Error: Failed to write /dev/full\n"), std::string::npos) << r.out;
    }
}

} // namespace
