// Copies of duplicates and what stands in an output file's place, through the real binary: a copy
// is asked about and replaces like any file; a FIFO, socket or device is replaced after a question
// that names it and is never opened; a copy carries its original's bytes even when another name
// lands on that original's file; and each failure is reported once, as what happened.
#include "main_crafted.h"

#include <algorithm>
#include <cstring>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#endif

using namespace qzn_e2e;

namespace {

using qzn::testing::kWindows;

// in/a, its copy in/b and another file in/c, packed into a.qzn.
void packCopies(const Sandbox& box) {
    box.put("in/a", "same contents");
    box.put("in/b", "same contents");
    box.put("in/c", "other contents");
    RunResult r = box.run({"c1", "a.qzn", "in"});
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_NE(r.out.find("Duplicates: 1/3\n"), std::string::npos) << r.out;
}

// A file where a copy goes is asked about as any file is: end of input and a refusal keep it, yes
// and -force-overwrite replace it with the copy.
TEST(Copies, ExistingFileInACopysPlaceIsAskedAbout) {
    Sandbox box;
    packCopies(box);
    const std::string question = "Error: Output file out" + kSeparator + "b already exists.";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string b;
    };
    const Case cases[] = {{{"d", "a.qzn", "out"}, "", 1, "precious"},
                          {{"d", "a.qzn", "out"}, "n\n", 0, "precious"},
                          {{"d", "a.qzn", "out"}, "y\n", 0, "same contents"},
                          {{"-force-overwrite", "d", "a.qzn", "out"}, "", 0, "same contents"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.input);
        fs::remove_all(box.at("out"));
        box.put("out/b", "precious");
        RunResult r = box.run(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_EQ(countOf(r.out, question), c.args.size() == 3 ? 1u : 0u) << r.out;
        EXPECT_EQ(readFile(box.at("out/b")), c.b);
        EXPECT_EQ(readFile(box.at("out/a")), "same contents");
        EXPECT_EQ(namesIn(box.at("out")), (std::set<std::string>{"a", "b", "c"}));
    }
}

// Two names that Windows writes as one file: the later file replaces the earlier (as forced or
// answered), and the copy of the earlier one still carries the earlier one's bytes, made before
// its source was replaced. Elsewhere the names are apart and nothing is asked.
TEST(Copies, CopyOfAFileThatAnotherNameReplacesKeepsItsBytes) {
    CraftedArchive crafted;
    crafted.file(0, L"README", "upper README");
    crafted.file(0, L"a:b", "with a colon");
    crafted.file(0, L"readme", "lower readme");
    crafted.file(0, L"a_b", "with an underscore");
    crafted.file(0, L"saved-copy", "upper README", 0);
    crafted.file(0, L"z-copy", "with a colon", 1);
    Sandbox box;
    crafted.write(box.at("clash.qzn"));
    for (const bool forced : {true, false}) {
        SCOPED_TRACE(forced);
        fs::remove_all(box.at("out"));
        RunResult r = forced ? box.run({"-force-overwrite", "d", "clash.qzn", "out"})
                             : box.run({"d", "clash.qzn", "out"}, "y\ny\n");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos) << r.out;
        EXPECT_EQ(countOf(r.out, "already exists"), kWindows && !forced ? 2u : 0u) << r.out;
        EXPECT_EQ(readFile(box.at("out/saved-copy")), "upper README");
        EXPECT_EQ(readFile(box.at("out/z-copy")), "with a colon");
        EXPECT_EQ(readFile(box.at("out/readme")), "lower readme");
        EXPECT_EQ(readFile(box.at("out/a_b")), "with an underscore");
        EXPECT_EQ(snapshot(box.at("out")).size(), kWindows ? 4u : 6u);
    }
}

// A replaced file whose unpacked contents fail their CRC-32 is kept, and said so once; its copy,
// left out with it, is named once as that; a copy that fails as it replaces a file is kept the
// same way, and not named again with its original.
TEST(Copies, EachFailureIsReportedOnceAsWhatHappened) {
    CraftedArchive crafted;
    const uint64_t kept = crafted.file(0, L"x", "contents of x");
    crafted.file(0, L"y", "contents of x", uint32_t(kept));
    const uint64_t fresh = crafted.file(0, L"v", "contents of v");
    crafted.file(0, L"w", "contents of v", uint32_t(fresh));
    const uint32_t storedX = crafted.list.files[kept].crc ^= 1;
    const uint32_t storedV = crafted.list.files[fresh].crc ^= 1;
    crafted.list.files[kept + 1].crc = storedX;
    crafted.list.files[fresh + 1].crc = storedV;
    Sandbox box;
    crafted.write(box.at("bad.qzn"));
    box.put("out/x", "old x");
    box.put("out/w", "old w");
    RunResult r = box.run({"-force-overwrite", "d", "bad.qzn", "out"});
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string out = "out" + kSeparator;
    for (const std::string& error :
         {"Error: " + out + "x is kept as it was: the unpacked contents fail their crc32\n",
          "Error: " + out + "y is left out: it is a copy of " + out + "x, which was not unpacked\n",
          "Error: Invalid crc32 for " + out + "v\nFound " + hexUpper(crc32("contents of v")) +
              ", expected " + hexUpper(storedV) + "\n",
          "Error: " + out + "w is kept as it was: the unpacked contents fail their crc32\n"})
        EXPECT_EQ(countOf(r.out, error), 1u) << error << r.out;
    EXPECT_EQ(countOf(r.out, "Error"), 4u) << r.out;
    EXPECT_EQ(r.out.find("All crc32 match"), std::string::npos) << r.out;
    EXPECT_EQ(readFile(box.at("out/x")), "old x");
    EXPECT_EQ(readFile(box.at("out/w")), "old w");
    EXPECT_EQ(readFile(box.at("out/v")), "contents of v");
    EXPECT_FALSE(fs::exists(box.at("out/y")));
}

#ifndef _WIN32
// Whether a started run ends within a minute; one that does not is killed, so that a run that
// waits on a FIFO fails its test instead of hanging it. finish() collects it either way.
bool endsInTime(pid_t pid) {
    for (int i = 0; i < 6000; ++i) {
        siginfo_t info{};
        if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    return false;
}

// What a reader of a FIFO finds there now, without waiting.
std::string drain(int fd) {
    std::string got;
    char buffer[256];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) got.append(buffer, size_t(n));
    return got;
}

// A socket bound at `path`; -1 when none can be.
int bindSocket(const fs::path& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (fd < 0 || text.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// FIFOs where the original and its copy go (one with a reader, one without) and a socket where
// another file goes: none is opened. End of input at the question ends the run at once and leaves
// them; yes to each, or -force-overwrite, replaces them with the files. The reader gets nothing.
TEST(Copies, FifosAndSocketsInTheirPlaceAreReplacedNeverOpened) {
    Sandbox box;
    packCopies(box);
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        size_t questions;
    };
    const Case cases[] = {{{"d", "a.qzn", "out"}, "", 1, 1},
                          {{"d", "a.qzn", "out"}, "y\ny\ny\n", 0, 3},
                          {{"-force-overwrite", "d", "a.qzn", "out"}, "", 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.input);
        fs::remove_all(box.at("out"));
        fs::create_directories(box.at("out"));
        ASSERT_EQ(mkfifo(box.at("out/a").c_str(), 0600), 0);
        ASSERT_EQ(mkfifo(box.at("out/b").c_str(), 0600), 0);
        const int socket = bindSocket(box.at("out/c"));
        ASSERT_GE(socket, 0);
        const int reader = open(box.at("out/a").c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        const pid_t pid = box.start(QZN_BINARY, c.args, c.input);
        ASSERT_TRUE(endsInTime(pid)) << "the run waited on a FIFO";
        RunResult r = box.finish(pid);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_EQ(countOf(r.out, "already exists as a FIFO. Press Y to replace the FIFO with the "
                                 "file, A to overwrite all, or any other key to exit: "),
                  std::min<size_t>(c.questions, 2))
            << r.out;
        EXPECT_EQ(countOf(r.out, "already exists as a socket. Press Y to replace the socket with "
                                 "the file"),
                  c.questions > 2 ? 1u : 0u)
            << r.out;
        EXPECT_EQ(drain(reader), "");
        close(reader);
        close(socket);
        if (c.status != 0) {
            EXPECT_TRUE(fs::is_fifo(box.at("out/a")));
            EXPECT_TRUE(fs::is_fifo(box.at("out/b")));
            EXPECT_TRUE(fs::is_socket(box.at("out/c")));
            continue;
        }
        EXPECT_EQ(snapshot(box.at("out")),
                  (std::map<std::string, std::string>{{"a", "file:same contents"},
                                                      {"b", "file:same contents"},
                                                      {"c", "file:other contents"}}));
    }
}

// A device node where a copy goes (one that swallows everything, one that reads as endless
// zeros) is replaced after a question that names it, never written into or read.
TEST(Copies, DeviceNodesInTheirPlaceAreReplaced) {
    Sandbox box;
    packCopies(box);
    for (const unsigned minor : {3u, 5u}) { // the system's null and zero devices
        SCOPED_TRACE(minor);
        fs::remove_all(box.at("out"));
        fs::create_directories(box.at("out"));
        if (mknod(box.at("out/b").c_str(), S_IFCHR | 0666, makedev(1, minor)) != 0)
            GTEST_SKIP() << "no device node can be made here: " << std::strerror(errno);
        const pid_t pid = box.start(QZN_BINARY, {"d", "a.qzn", "out"}, "y\n");
        ASSERT_TRUE(endsInTime(pid)) << "the run read the device";
        RunResult r = box.finish(pid);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(countOf(r.out, "Error: Output file out/b already exists as a device. Press Y to "
                                 "replace the device with the file, A to overwrite all, or any "
                                 "other key to exit: "),
                  1u)
            << r.out;
        EXPECT_TRUE(fs::is_regular_file(box.at("out/b")));
        EXPECT_EQ(readFile(box.at("out/b")), "same contents");
    }
}
#endif // _WIN32

} // namespace
