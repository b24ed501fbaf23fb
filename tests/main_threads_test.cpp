// Threads: archives byte for byte the same with any -threads value (every level; one, two and many
// chunks; the channel filter; a tree with duplicates and empty files), unpack and test agreeing
// with any thread count, the memory lines, and failures ending as they do with one thread.
// Also built with ThreadSanitizer (-DQZN_TSAN=ON); every run here then requires silence on stderr.
#include "ContextLz.h"
#include "Files.h"
#include "IO.h"
#include "Main.h"
#include "Main_Header.h"
#include "TestSupport.h"
#include "main_e2e.h"

#include <regex>
#include <thread>

using namespace qzn_e2e;

namespace {

const std::vector<std::string> kThreadFlags = {"-threads:1", "-threads:2", "-threads:3",
                                               "-threads:4", "-threads:8", ""};

std::vector<std::string> withFlags(std::vector<std::string> flags,
                                   const std::vector<std::string>& rest) {
    flags.erase(std::remove(flags.begin(), flags.end(), std::string()), flags.end());
    flags.insert(flags.end(), rest.begin(), rest.end());
    return flags;
}

// Text, samples and random bytes with three identical files and two empty ones, about 300 KB.
void makeTree(const Sandbox& box) {
    const std::string same = randomBytes(25000, 7);
    box.put("tree/text.txt", textBytes(150000, 1));
    box.put("tree/samples.raw", sampleBytes(60001, 2));
    box.put("tree/dup1.bin", same);
    box.put("tree/a/empty", "");
    box.put("tree/a/dup2.bin", same);
    box.put("tree/a/b/random.bin", randomBytes(20000, 4));
    box.put("tree/a/b/dup3.bin", same);
    box.put("tree/a/b/empty-last", "");
}

std::string memoryLine(const std::string& out, const std::string& prefix) {
    std::smatch m;
    if (std::regex_search(out, m, std::regex(prefix + "[^\n]*\n"))) return m.str();
    return "(no line)";
}

// Everything but the progress lines, which carry timings.
std::string withoutProgress(const std::string& out) {
    std::string result;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        std::string line = out.substr(at, end == std::string::npos ? end : end - at + 1);
        at = end == std::string::npos ? out.size() : end + 1;
        const size_t cr = line.rfind('\r');
        if (cr != std::string::npos) line = line.substr(cr + 1);
        if (line.find(" MB") != std::string::npos || line.find(" sec ") != std::string::npos)
            continue;
        result += line;
    }
    return result;
}

// Standard error holds nothing but the questions asked, which go there as well when standard
// output is not a terminal.
void expectQuiet(const RunResult& r) {
    std::string questions;
    const std::string start = "\nError: Output file ", end = "or any other key to exit: ";
    for (size_t at = r.out.find(start); at != std::string::npos; at = r.out.find(start, at + 1)) {
        const size_t stop = r.out.find(end, at);
        if (stop != std::string::npos) questions += r.out.substr(at, stop + end.size() - at);
    }
    EXPECT_EQ(r.err, questions) << "stderr of a run (a ThreadSanitizer report?)";
}

TEST(Threads, ArchivesAreTheSameForEveryThreadCount) {
    Sandbox box;
    makeTree(box);
    struct Case {
        std::string window; // one chunk (reduced window), two chunks, many chunks
        std::vector<std::string> levels;
    };
    const std::vector<Case> cases = {
        {"-window:23", {"c1", "c2", "c6"}},
        {"-window:18", {"c1", "c2", "c6"}},
        {"-window:16", {"c1", "c2", "c3", "c4", "c5", "c6"}},
    };
    for (const Case& c : cases) {
        for (const std::string& level : c.levels) {
            std::string reference;
            for (const std::string& threads : kThreadFlags) {
                SCOPED_TRACE(c.window + " " + level + " " + threads);
                RunResult r = box.run(
                    withFlags({"-force-overwrite", c.window, threads}, {level, "a.qzn", "tree"}));
                ASSERT_EQ(r.status, 0) << r.out;
                expectQuiet(r);
                const std::string archive = readFile(box.at("a.qzn"));
                if (reference.empty()) reference = archive;
                EXPECT_TRUE(archive == reference) << "archive differs";
            }
        }
    }
}

// The pass that measures the input (read ahead by the other threads) prints the same lines,
// progress included, and finds the same sizes, CRC-32 values and duplicates with any thread
// count: more files than are read ahead at once, sizes on each side of the largest kept file and
// of the largest file read ahead, more small files than the budget keeps, empty files and
// duplicates.
TEST(Threads, MeasuringPrintsTheSameForEveryThreadCount) {
    Sandbox box;
    const std::string kept = textBytes(16384, 11);
    for (int i = 0; i < 600; ++i) {
        const std::string name = "many/" + std::to_string(i % 7) + "/f" + std::to_string(i);
        switch (i % 6) {
        case 0:
            box.put(name, "");
            break;
        case 1:
            box.put(name, kept);
            break;
        case 2:
            box.put(name, textBytes(16384, 100 + i));
            break;
        case 3:
            box.put(name, textBytes(16385, 100 + i));
            break;
        case 4:
            box.put(name, textBytes(size_t(1000 + i), 100 + i));
            break;
        default:
            box.put(name, textBytes(size_t(12000 + 7 * i), 100 + i)); // the budget runs out
        }
    }
    box.put("many/large-1", textBytes(1 << 20, 12));
    box.put("many/large-2", textBytes((1 << 20) + 1, 13));
    std::string reference, referenceArchive;
    for (const std::string& threads : kThreadFlags) {
        SCOPED_TRACE(threads);
        RunResult r = box.run(withFlags({"-force-overwrite", threads}, {"c1", "a.qzn", "many"}));
        ASSERT_EQ(r.status, 0) << r.out;
        expectQuiet(r);
        const std::string measured = r.out.substr(0, r.out.find("Encoder memory"));
        ASSERT_NE(measured.find("crc32 [602/602]"), std::string::npos) << measured;
        if (reference.empty()) {
            reference = measured;
            referenceArchive = readFile(box.at("a.qzn"));
        }
        EXPECT_EQ(measured, reference);
        EXPECT_TRUE(readFile(box.at("a.qzn")) == referenceArchive) << "archive differs";
    }
}

TEST(Threads, ChannelFilterArchivesAreTheSame) {
    Sandbox box;
    box.put("samples.raw", sampleBytes(400003, 9));
    for (const char* channels : {"-filter:channels:4", "-filter:channels:16"}) {
        std::string reference;
        for (const std::string& threads : kThreadFlags) {
            SCOPED_TRACE(std::string(channels) + " " + threads);
            RunResult r = box.run(withFlags({"-force-overwrite", "-window:16", channels, threads},
                                            {"c3", "a.qzn", "samples.raw"}));
            ASSERT_EQ(r.status, 0) << r.out;
            expectQuiet(r);
            const std::string archive = readFile(box.at("a.qzn"));
            if (reference.empty()) reference = archive;
            EXPECT_TRUE(archive == reference) << "archive differs";
            for (const std::string& unpackThreads : kThreadFlags) {
                r = box.run(withFlags({"-force-overwrite", unpackThreads}, {"d", "a.qzn", "out"}));
                EXPECT_EQ(r.status, 0) << r.out;
                EXPECT_TRUE(readFile(box.at("out")) == readFile(box.at("samples.raw")));
            }
        }
    }
}

TEST(Threads, UnpackAndTestAgreeWithAnyThreadCount) {
    Sandbox box;
    makeTree(box);
    for (const char* window : {"-window:23", "-window:16"}) {
        RunResult r = box.run({"-force-overwrite", window, "-threads:1", "c2", "a.qzn", "tree"});
        ASSERT_EQ(r.status, 0) << r.out;
        std::string expected;
        for (const std::string& threads : kThreadFlags) {
            SCOPED_TRACE(std::string(window) + " " + threads);
            r = box.run(withFlags({threads}, {"t", "a.qzn"}));
            EXPECT_EQ(r.status, 0) << r.out;
            expectQuiet(r);
            EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
            if (expected.empty()) expected = withoutProgress(r.out);
            // Only the memory line may differ: the pipeline holds more chunks.
            EXPECT_EQ(std::regex_replace(withoutProgress(r.out), std::regex("memory: \\d+"), ""),
                      std::regex_replace(expected, std::regex("memory: \\d+"), ""));

            fs::remove_all(box.at("out"));
            r = box.run(withFlags({threads}, {"d", "a.qzn", "out"}));
            EXPECT_EQ(r.status, 0) << r.out;
            expectQuiet(r);
            EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at("tree")));
        }
    }
}

// The last chunk shorter than the rest, down to one byte and to chunks without a token section
// (12 bytes and less): unpack and test agree with one thread.
TEST(Threads, LastChunkShorterThanTheRest) {
    Sandbox box;
    for (size_t last : {1, 12, 13, 5000}) {
        SCOPED_TRACE(last);
        box.put("in.txt", textBytes(3 * 65536 + last, uint32_t(last)));
        RunResult r = box.run({"-force-overwrite", "-window:16", "c2", "a.qzn", "in.txt"});
        ASSERT_EQ(r.status, 0) << r.out;
        for (const char* threads : {"-threads:1", "-threads:2", "-threads:4"}) {
            SCOPED_TRACE(threads);
            r = box.run({threads, "t", "a.qzn"});
            EXPECT_EQ(r.status, 0) << r.out;
            expectQuiet(r);
            r = box.run({"-force-overwrite", threads, "d", "a.qzn", "out.txt"});
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(readFile(box.at("out.txt")) == readFile(box.at("in.txt")));
        }
    }
}

// The memory lines count what is allocated: per worker its tables, a chunk buffer and a token
// list; never more threads than chunks; -threads clamped to 1..64.
TEST(Threads, MemoryLinesCountEveryWorker) {
    Sandbox box;
    // 70 chunks of 64 KB with tiny tables, so that 64 threads stay cheap.
    box.put("in.txt", textBytes(70 * 65536 - 5, 3));
    const uint64_t chunk = 65536;
    const uint64_t tables = 1536 * 128 + 512 * 128 + sizeof(qzn::ContextLz);
    const uint64_t tokens = qzn::TokenList::capacityFor(int32_t(chunk));
    // Every thread parses with tables of its own, and one chunk more than threads is in flight.
    auto packMemory = [&](uint64_t threads) {
        const uint64_t bytes = threads == 1 ? chunk + tables + qzn::kBitBufferBytes
                                            : threads * tables + (threads + 1) * (chunk + tokens) +
                                                  qzn::kBitBufferBytes;
        return "Encoder memory: " + std::to_string(bytes >> 10) + " KB\n";
    };
    const struct {
        std::string flag;
        uint64_t threads;
    } cases[] = {{"-threads:1", 1}, {"-threads:0", 1},    {"-threads:-4", 1},
                 {"-threads:3", 3}, {"-threads:999", 64}, {"-threads: 2x", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flag);
        RunResult r = box.run({"-force-overwrite", "-window:16", "-table:7", "-hash:7", c.flag,
                               "c1", "a.qzn", "in.txt"});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(memoryLine(r.out, "Encoder memory"), packMemory(c.threads));
    }
    // Two chunks: -threads:8 runs two threads.
    box.put("two.txt", textBytes(100000, 4));
    RunResult r = box.run({"-force-overwrite", "-window:16", "-table:7", "-hash:7", "-threads:8",
                           "c1", "two.qzn", "two.txt"});
    EXPECT_EQ(memoryLine(r.out, "Encoder memory"), packMemory(2));

    // Unpack and test: one chunk buffer with one thread; with more, rings for every thread and
    // two chunks (with room for their tokens) per thread, but never more than there are chunks.
    const uint64_t rings = 1024 * 128 + sizeof(qzn::ContextLz);
    const uint64_t slot = qzn::ChunkTokens::capacityFor(int32_t(chunk));
    auto decodeMemory = [&](uint64_t threads, uint64_t chunks) {
        const uint64_t bytes =
            threads == 1
                ? chunk + rings + qzn::kBitBufferBytes
                : threads * rings + std::min(2 * threads, chunks) * slot + qzn::kBitBufferBytes;
        return "Decoder 16:7:7 memory: " + std::to_string(bytes >> 10) + " KB\n";
    };
    for (const char* mode : {"t", "d"}) {
        // Names after the archive of t pick files: t takes no output.
        auto args = [&](const std::string& flag, const std::string& archive) {
            return mode == std::string("t") ? std::vector<std::string>{flag, mode, archive}
                                            : std::vector<std::string>{"-force-overwrite", flag,
                                                                       mode, archive, "out.txt"};
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(mode) + " " + c.flag);
            r = box.run(args(c.flag, "a.qzn"));
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_EQ(memoryLine(r.out, "Decoder"), decodeMemory(c.threads, 70));
        }
        r = box.run(args("-threads:8", "two.qzn"));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(memoryLine(r.out, "Decoder"), decodeMemory(2, 2));
    }
}

// Failures on either thread print what one thread prints and end with the same status, and
// nothing hangs.
TEST(Threads, FailuresEndAsWithOneThread) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    Sandbox box;
    makeTree(box);
    box.put("one.txt", textBytes(300000, 5));
    ASSERT_EQ(box.run({"-window:16", "c1", "a.qzn", "tree"}).status, 0);
    ASSERT_EQ(box.run({"-window:16", "c1", "one.qzn", "one.txt"}).status, 0);
    const std::string archive = readFile(box.at("a.qzn"));
    box.put("cut.qzn", archive.substr(0, archive.size() * 2 / 3));
    std::string damaged = archive;
    for (size_t i = damaged.size() / 2; i < damaged.size() / 2 + 8; ++i) damaged[i] ^= 0x5A;
    box.put("bad.qzn", damaged);
    fs::create_directories(box.at("blocked/text.txt/x")); // a file that cannot be created
    ASSERT_EQ(box.run({"d", "a.qzn", "existing"}).status, 0);

    struct Case {
        std::vector<std::string> args;
        std::string input = "";
        std::string freshOutput = ""; // removed before each run
    };
    const std::vector<Case> cases = {
        {{"-force-overwrite", "-window:16", "c6", "/dev/full", "tree"}},
        {{"-force-overwrite", "d", "one.qzn", "/dev/full"}},
        {{"t", "cut.qzn"}},
        {{"d", "cut.qzn", "out-cut"}, "", "out-cut"},
        {{"t", "bad.qzn"}},
        {{"d", "bad.qzn", "out-bad"}, "", "out-bad"},
        {{"-force-overwrite", "d", "a.qzn", "blocked"}},
        // Declining to overwrite: the question comes from the writing thread.
        {{"d", "a.qzn", "existing"}, "n\n"},
    };
    for (const Case& c : cases) {
        std::string expected;
        int expectedStatus = -1;
        for (const std::string& threads : kThreadFlags) {
            std::string trace = threads;
            for (const std::string& a : c.args) trace += " " + a;
            SCOPED_TRACE(trace);
            if (!c.freshOutput.empty()) fs::remove_all(box.at(c.freshOutput));
            RunResult r = box.run(withFlags({threads}, c.args), c.input);
            expectQuiet(r);
            const std::string out =
                std::regex_replace(withoutProgress(r.out), std::regex("memory: \\d+"), "");
            if (expectedStatus < 0) {
                expected = out;
                expectedStatus = r.status;
            }
            EXPECT_EQ(r.status, expectedStatus) << r.out;
            EXPECT_EQ(out, expected);
        }
        if (c.input.empty()) {
            EXPECT_NE(expectedStatus, 0) << expected;
        }
    }
}

} // namespace

// ---- In this process, with stops turned into exceptions -------------------------------------

namespace qzn {
namespace {

namespace fs = std::filesystem;

#ifndef _WIN32
// While it lives, the files this process writes stop growing at `bytes`, as on a full disk: a
// write past the limit fails (SIGXFSZ ignored) instead of ending the process.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) : handler_(signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        signal(SIGXFSZ, handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit previous_{};
    void (*handler_)(int);
};
#endif

// A stop on the calling thread while workers parse, and a stop on the writing thread, both reach
// the caller as the same ProcessStop; every thread has ended by then (a thread still running at
// its object's end would abort this program). None of it needs a device, so that the run under
// ThreadSanitizer always checks it: the first write of the archive meets a file size limit.
TEST(ThreadsInProcess, StopsReachTheCallerAndEndEveryThread) {
    testing::TempDir dir;
    const std::string input = dir / "in.txt";
    // Incompressible, so that the archive spans several segments and a cut leaves whole chunks.
    testing::writeFile(input, testing::randomBytes(1500000, 8));

    for (int32_t threads : {1, 2, 4}) {
        SCOPED_TRACE(threads);
        Archiver archiver;
        archiver.windowBits = 16;
        archiver.forceOverwrite = true;
        archiver.threads = threads;
#ifndef _WIN32
        // The first segment (512 KB) waits for eight of the 23 chunks, while workers parse on.
        const std::string limited = dir / "limited.qzn";
        auto tooLarge = testing::runCapturingStop([&] {
            FileSizeLimit limit(64 << 10);
            pack(archiver, fromUtf8(input), fromUtf8(limited));
        });
        EXPECT_TRUE(tooLarge.stopped);
        EXPECT_EQ(tooLarge.status, 1);
        EXPECT_NE(tooLarge.output.find("Error: Failed to write " + limited + "\n"),
                  std::string::npos)
            << tooLarge.output;
        EXPECT_FALSE(fs::exists(limited));
        EXPECT_TRUE(temporaryBeside(dir.path(), "limited.qzn").empty());
#endif
        if (fs::exists("/dev/full")) {
            auto full =
                testing::runCapturingStop([&] { pack(archiver, fromUtf8(input), L"/dev/full"); });
            EXPECT_TRUE(full.stopped);
            EXPECT_EQ(full.status, 1);
            EXPECT_NE(full.output.find("Error: Failed to write /dev/full\n"), std::string::npos)
                << full.output;
        }

        const std::string archivePath = dir / "a.qzn";
        archiver = Archiver();
        archiver.windowBits = 16;
        archiver.forceOverwrite = true;
        archiver.threads = threads;
        auto packed = testing::runCapturingStop(
            [&] { pack(archiver, fromUtf8(input), fromUtf8(archivePath)); });
        ASSERT_FALSE(packed.stopped) << packed.output;

        // The writing thread fails to create the output: a folder stands in its way.
        const std::string blocked = dir / "blocked";
        fs::create_directories(blocked + "/x");
        auto unpacked = testing::runCapturingStop(
            [&] { unpack(archiver, fromUtf8(archivePath), fromUtf8(blocked)); });
        EXPECT_TRUE(unpacked.stopped);
        EXPECT_EQ(unpacked.status, 1);
        EXPECT_NE(unpacked.output.find("Error: Failed to open " + blocked + "\n"),
                  std::string::npos)
            << unpacked.output;

        // The decoder stops at a cut while the writing thread has chunks queued.
        std::vector<uint8_t> bytes = testing::readFile(archivePath);
        bytes.resize(bytes.size() * 3 / 4);
        testing::writeFile(dir / "cut.qzn", bytes);
        auto cut = testing::runCapturingStop(
            [&] { unpack(archiver, fromUtf8(dir / "cut.qzn"), fromUtf8(dir / "out.txt")); });
        EXPECT_TRUE(cut.stopped);
        EXPECT_EQ(cut.status, 1);
        EXPECT_NE(cut.output.find("ends before its data"), std::string::npos) << cut.output;
        // The file being written when the stop came is taken away, as with one thread.
        EXPECT_FALSE(fs::exists(dir / "out.txt"));
    }
}

// A chunk range: the chunks before it only followed (the models must still reach the first
// chunk as decoding would leave them), those in it delivered, nothing after it decoded; the same
// with any thread count.
TEST(ThreadsInProcess, ChunkRangesDeliverOnlyTheirChunks) {
    testing::TempDir dir;
    const std::vector<uint8_t> input = testing::randomBytes(2 * 65536, 3);
    std::string text(input.begin(), input.end());
    for (int i = 0; text.size() < 5 * 65536 - 100; ++i) text += "line " + std::to_string(i) + "\n";
    testing::writeFile(dir / "in.txt", text);
    Archiver archiver;
    archiver.windowBits = 16;
    archiver.forceOverwrite = true;
    ASSERT_FALSE(testing::runCapturingStop([&] {
                     pack(archiver, fromUtf8(dir / "in.txt"), fromUtf8(dir / "a.qzn"));
                 }).stopped);
    for (const ChunkRange range : {ChunkRange{1, 3}, ChunkRange{3, 5}, ChunkRange{0, 1}}) {
        const uint32_t expected = crc32Update(
            0, reinterpret_cast<const uint8_t*>(text.data()) + range.first * 65536,
            int32_t(std::min<uint64_t>(text.size(), range.end * 65536) - range.first * 65536));
        for (int32_t threads : {1, 2, 4}) {
            SCOPED_TRACE(std::to_string(range.first) + "-" + std::to_string(range.end) + ", " +
                         std::to_string(threads) + " threads");
            Archiver a;
            a.threads = threads;
            BitReader reader;
            FileStream stream;
            const auto r = testing::runCapturingStop([&] {
                ArchiveInput archive;
                openArchiveForReading(archive, fromUtf8(dir / "a.qzn"), reader, stream);
                loadArchiveHeader(reader, DecodingMode::Test, a);
                decodeContents(a, stream, reader, archive.name, false, range);
            });
            ASSERT_FALSE(r.stopped) << r.output;
            EXPECT_EQ(stream.files[0].actualCrc, expected);
        }
    }
}

// Damage that only rebuilding a chunk's bytes can see (a match from a ring slot that this chunk
// never filled), in a chunk in the middle: while other threads follow, rebuild and deliver the
// chunks around it, the run ends as with one thread, with the same lines, status and files (the
// files before the damage complete, the one it falls in taken away), and every thread has ended.
TEST(ThreadsInProcess, DamageFoundByARebuildEndsAsWithOneThread) {
    testing::TempDir dir;
    fs::create_directory(dir / "in");
    for (int f = 0; f < 40; ++f) {
        std::string text;
        for (int i = 0; text.size() < 26000; ++i)
            text += "line " + std::to_string((f * 1000 + i) * 7919 % 100003) + " of file " +
                    std::to_string(f) + "\n";
        testing::writeFile(dir / ("in/f" + std::to_string(100 + f)), text);
    }
    const std::string archivePath = dir / "a.qzn";
    Archiver archiver;
    archiver.windowBits = 16;
    archiver.forceOverwrite = true;
    ASSERT_FALSE(testing::runCapturingStop([&] {
                     pack(archiver, fromUtf8(dir / "in"), fromUtf8(archivePath));
                 }).stopped);
    const std::vector<uint8_t> archive = testing::readFile(archivePath);

    struct Ending {
        testing::StopResult test, unpack;
        std::map<std::string, std::string> files;
    };
    auto endingWith = [&](int32_t threads) {
        Ending e;
        Archiver a;
        a.threads = threads;
        e.test = testing::runCapturingStop([&] { test(a, fromUtf8(dir / "bad.qzn")); });
        fs::remove_all(dir / "out");
        a.forceOverwrite = true;
        e.unpack = testing::runCapturingStop(
            [&] { unpack(a, fromUtf8(dir / "bad.qzn"), fromUtf8(dir / "out")); });
        for (const auto& entry : fs::directory_iterator(dir / "out")) {
            const std::vector<uint8_t> bytes = testing::readFile(entry.path().string());
            e.files[entry.path().filename().string()] = std::string(bytes.begin(), bytes.end());
        }
        return e;
    };
    // A byte flipped in the middle of the contents that one thread reports there.
    const std::string mark = "Assert failed\nSource/ContextLz.cpp:544\n";
    bool found = false;
    for (size_t at = archive.size() / 2; at < archive.size() && !found; ++at) {
        std::vector<uint8_t> bad = archive;
        bad[at] ^= 0x10;
        testing::writeFile(dir / "bad.qzn", bad);
        const Ending one = endingWith(1);
        if (one.test.output.find(mark) == std::string::npos) continue;
        found = true;
        SCOPED_TRACE("flip at " + std::to_string(at));
        EXPECT_NE(one.unpack.output.find(mark), std::string::npos) << one.unpack.output;
        EXPECT_GT(one.files.size(), 5u); // files before the damage were written
        // Only the memory line may differ.
        auto lines = [](const std::string& out) {
            return std::regex_replace(withoutProgress(out), std::regex("memory: \\d+"), "");
        };
        for (int32_t threads : {2, 4, 8}) {
            SCOPED_TRACE(threads);
            const Ending many = endingWith(threads);
            EXPECT_EQ(lines(many.test.output), lines(one.test.output));
            EXPECT_EQ(many.test.status, one.test.status);
            EXPECT_EQ(lines(many.unpack.output), lines(one.unpack.output));
            EXPECT_EQ(many.unpack.status, one.unpack.status);
            EXPECT_TRUE(many.files == one.files) << "the files left differ";
        }
    }
    EXPECT_TRUE(found) << "no flip made a rebuild stop";
}

} // namespace
} // namespace qzn
