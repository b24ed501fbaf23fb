// The command line through the real binary: banner, usage, flags, levels and dispatch.
#include "Main.h"
#include "main_e2e.h"

#include <climits>

using namespace qzn_e2e;

namespace {

const char kBanner[] = "QZN\n64-bit version, supports archives >4 GB\nNov 20, 2014\n\n";

std::string usageFor(const std::string& program) {
    return "Usage:\n"
           "Pack: " +
           program +
           " [flags] c archive [input file/folder]\n"
           "List contents: " +
           program +
           " l archive\n"
           "Test contents: " +
           program +
           " t archive\n"
           "Unpack: " +
           program +
           " [flags] d archive [output file/folder]\n"
           "\n"
           "Options:\n"
           "c[1-6] = compress [optional level, default: 2]\n"
           "d = decompress\n"
           "Flags:\n"
           "-window:bits = Window size in bits, default 23 (8 MB)\n"
           "-hash:bits = Hash size in bits, default 13\n"
           "-table:bits = Context table size in bits, default 12\n"
           "-force-overwrite = Overwrite files without asking or warning\n"
           "-skip-crc = Skip calculating crc32 for input files\n"
           "-filter:channels:N = Filter with N channels\n"
           "-threads:N = Number of threads, default: all cores\n"
           "-exclude:pattern = Leave out matching files and folders when packing\n"
           "Pack to standard output: " +
           program +
           " [flags] c - [input file/folder]\n"
           "List from standard input: " +
           program +
           " l -\n"
           "Test from standard input: " +
           program +
           " t -\n"
           "Unpack from standard input: " +
           program +
           " [flags] d - [output file/folder]\n"
           "Unpack the files to standard output: " +
           program +
           " [flags] d archive -\n"
           "Test some files: " +
           program +
           " t archive name...\n"
           "Unpack some files: " +
           program + " [flags] d archive output name...\n";
}

TEST(FlagValue, ParsesLikeAtoiAndSaturates) {
    EXPECT_EQ(qzn::parseFlagValue("5"), 5);
    EXPECT_EQ(qzn::parseFlagValue("+7"), 7);
    EXPECT_EQ(qzn::parseFlagValue("-3"), -3);
    EXPECT_EQ(qzn::parseFlagValue("  12ab"), 12);
    EXPECT_EQ(qzn::parseFlagValue("ab"), 0);
    EXPECT_EQ(qzn::parseFlagValue(""), 0);
    EXPECT_EQ(qzn::parseFlagValue("-"), 0);
    EXPECT_EQ(qzn::parseFlagValue("2147483647"), INT_MAX);
    EXPECT_EQ(qzn::parseFlagValue("99999999999"), INT_MAX);
    EXPECT_EQ(qzn::parseFlagValue("-2147483648"), INT_MIN);
    EXPECT_EQ(qzn::parseFlagValue("-999999999999999999999999"), INT_MIN);
}

TEST(CommandLine, NoArgumentsPrintsBannerAndUsage) {
    Sandbox box;
    RunResult r = box.run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kBanner + usageFor(binaryPath()));

    // Any name, also one beyond ASCII or not UTF-8 at all, prints as it was passed.
    for (std::string name : {"my-archiver", "arch\xc3\xafver", "bad\xff"}) {
        if (qzn::testing::kWindows && name == "bad\xff") continue; // UTF-16 arguments there
        r = box.runAs(name, {});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kBanner + usageFor(name));
    }
}

TEST(CommandLine, WrongArgumentCountsPrintUsage) {
    Sandbox box;
    box.put("in.txt", "hello");
    const std::vector<std::vector<std::string>> cases = {
        {"-window:16"},                         // only flags
        {"c", "a.qzn"},                         // input missing
        {"c", "a.qzn", "in.txt", "extra"},      // one too many
        {"c", "-window:16", "a.qzn", "in.txt"}, // flag after the mode is positional
        {"d", "a.qzn"},                         // output missing
        {"t"},                                  // no archive
        {"l"},                                  // no archive
        {"x", "a.qzn"},                         // unknown mode
        {"", "a.qzn"},                          // empty mode argument
    };
    for (const auto& args : cases) {
        RunResult r = box.run(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.out.find("Usage:\n"), std::string::npos) << args[0];
    }
    EXPECT_FALSE(fs::exists(box.at("a.qzn")));
}

TEST(CommandLine, SettingsLinesShowClampedValues) {
    Sandbox box;
    // The missing input stops the pack after the settings lines.
    struct Case {
        std::vector<std::string> flags;
        std::string expected;
    } cases[] = {
        {{}, "Window size: 8192 KB\nContext table size: 12 bits\nHash size: 13 bits\n"},
        {{"-window:5"}, "Window size: 64 KB\n"},
        {{"-window:40"}, "Window size: 131072 KB\n"},
        {{"-window:99999999999"}, "Window size: 131072 KB\n"},
        {{"-window:-99999999999"}, "Window size: 64 KB\n"},
        {{"-window:abc"}, "Window size: 64 KB\n"},
        {{"-hash:0"}, "Hash size: 7 bits\n"},
        {{"-hash:99"}, "Hash size: 17 bits\n"},
        {{"-table:99"}, "Context table size: 12 bits\n"},
        {{"-table:3"}, "Context table size: 7 bits\n"},
        {{"-bogus", "-window:18", "-window:20"}, "Window size: 1024 KB\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.flags;
        args.insert(args.end(), {"-force-overwrite", "c", "a.qzn", "missing"});
        RunResult r = box.run(args);
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Error: missing does not exist\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.status, 1);
    }
}

TEST(CommandLine, UnrecognizedLevelTouchesNothing) {
    Sandbox box;
    box.put("in.txt", "hello");
    for (std::string mode : {"c9", "cx", "C0", "c-"}) {
        RunResult r = box.run({mode, "a.qzn", "in.txt"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kBanner + std::string("Unrecognized compression mode: ") + mode[1] + "\n");
        EXPECT_FALSE(fs::exists(box.at("a.qzn")));
    }
    RunResult r = box.run({"c\xc3\xa9", "a.qzn", "in.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Unrecognized compression mode: \xc3\xa9\n"), std::string::npos);
}

TEST(CommandLine, LevelDigitSelectsTheEffortRow) {
    Sandbox box;
    box.put("in.txt", textBytes(300000, 1));
    auto packed = [&](const std::string& mode) {
        RunResult r = box.run({"-force-overwrite", mode, mode + ".qzn", "in.txt"});
        EXPECT_EQ(r.status, 0) << r.out;
        return readFile(box.at(mode + ".qzn"));
    };
    const std::string c1 = packed("c1"), c3 = packed("c3"), c6 = packed("c6");
    EXPECT_NE(c1, c3);
    EXPECT_NE(c3, c6);
    EXPECT_EQ(packed("C3"), c3);  // upper case accepted
    EXPECT_EQ(packed("c12"), c1); // characters after the digit ignored
    EXPECT_EQ(packed("c"), packed("c2"));
}

TEST(CommandLine, ModesLookOnlyAtTheFirstCharacter) {
    Sandbox box;
    box.put("in.txt", "hello world");
    ASSERT_EQ(box.run({"c", "a.qzn", "in.txt"}).status, 0);

    // Arguments after the archive are names of files to test.
    RunResult r = box.run({"Test", "a.qzn"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;

    r = box.run({"list", "a.qzn", "ignored"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Files: 1\n"), std::string::npos) << r.out;

    r = box.run({"-skip-crc", "Decompress", "a.qzn", "out.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(box.at("out.txt")), "hello world");
    // The archive's CRC flag wins over -skip-crc on the command line.
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
}

TEST(CommandLine, DriverFailuresEndWithStatusOne) {
    Sandbox box;
    box.put("in.txt", "hello");

    RunResult r = box.run({"-filter:channels:3", "c", "a.qzn", "in.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Hash size: 13 bits\nInvalid number of channels: 3\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(box.at("a.qzn")));

    for (const char* mode : {"t", "l"}) {
        r = box.run({mode, "missing.qzn"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("Failed to open input missing.qzn\n"), std::string::npos);
    }
    r = box.run({"d", "missing.qzn", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Failed to open input missing.qzn\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(box.at("out")));

    r = box.run({"c", "no-such-folder/a.qzn", "in.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Failed to open output no-such-folder/a.qzn\n"), std::string::npos);
}

} // namespace
