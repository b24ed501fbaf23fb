// End-to-end helpers: a throw-away folder per test, runs of the real qzn binary inside it, and
// snapshots of folder trees for comparison.
#pragma once

#include "TestSupport.h"

#include <gtest/gtest.h>

// Started runs that a test interrupts or watches, and file-size limits, are POSIX cases.
#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace qzn_e2e {

namespace fs = std::filesystem;

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out; // standard output
    std::string err; // standard error
};

using qzn::testing::utf8Path;
using qzn::testing::utf8Text;

// How the program joins a folder and a name in the paths it prints.
inline const std::string kSeparator = qzn::testing::kWindows ? "\\" : "/";

// The binary under test as an absolute path, fixed while the working folder is still the one the
// test program started in.
inline const std::string& binaryPath() {
    static const std::string path = utf8Text(fs::absolute(utf8Path(QZN_BINARY)));
    return path;
}

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

// A fresh folder below the system's temporary folder, removed with its contents afterwards.
// Runs happen in `work`; the captured streams live beside it.
class Sandbox {
  public:
    Sandbox() {
        root = utf8Path(qzn::testing::makeTempFolder("qzn-e2e-"));
        work = root / "work";
        fs::create_directory(work);
    }
    ~Sandbox() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    fs::path root, work;
    uint64_t addressSpaceLimit = 0; // bytes of memory for the child; 0 = unlimited

    uint64_t fileSizeLimit = 0; // largest file the child may write; 0 = unlimited

#ifndef _WIN32
    uid_t user = 0; // the child runs as this user (with the group of the same number); 0 = as is
    // Signals the child starts with ignored, as nohup or a shell's background job leaves them.
    // Every other signal that QZN handles starts with its default action, as from a shell in the
    // foreground, whatever the test program was started with.
    std::vector<int> ignoredSignals;

    // Starts the binary with argv[0] = program and the given arguments, with `input` on standard
    // input, in the work folder; finish() waits for it. With `outputPipe`, standard output goes
    // to a pipe whose read end is stored there: the child blocks once the caller leaves the pipe
    // full, and finish() reads it to the end. A child that cannot take on `user` exits with 125.
    pid_t start(const std::string& program, const std::vector<std::string>& args,
                const std::string& input = "", int* outputPipe = nullptr) const {
        const fs::path in = root / "stdin", out = root / "stdout", err = root / "stderr";
        writeFile(in, input);
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);

        int pipeEnds[2] = {-1, -1};
        if (outputPipe && pipe(pipeEnds) != 0) return -1;
        pid_t pid = fork();
        if (pid == 0) {
            int i = open(in.c_str(), O_RDONLY);
            int o =
                outputPipe ? pipeEnds[1] : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (i < 0 || o < 0 || e < 0 || chdir(work.c_str()) != 0) _exit(126);
            if (addressSpaceLimit) {
                rlimit limit{addressSpaceLimit, addressSpaceLimit};
                if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
            }
            if (fileSizeLimit) {
                // SIGXFSZ keeps its default action: QZN itself makes a write past the limit fail.
                rlimit limit{fileSizeLimit, fileSizeLimit};
                if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
            }
            for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ})
                signal(sig, SIG_DFL);
            for (int sig : ignoredSignals) signal(sig, SIG_IGN);
            if (user != 0 && (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0))
                _exit(125);
            if (outputPipe) close(pipeEnds[0]);
            dup2(i, 0);
            dup2(o, 1);
            dup2(e, 2);
            execv(QZN_BINARY, argv.data());
            _exit(127);
        }
        if (outputPipe) {
            close(pipeEnds[1]);
            *outputPipe = pipeEnds[0];
        }
        return pid;
    }
    // Waits for a started child; `outputPipe` is the read end start() gave, if any.
    RunResult finish(pid_t pid, int outputPipe = -1) const {
        RunResult result;
        if (outputPipe >= 0) {
            char buffer[65536];
            for (ssize_t n; (n = read(outputPipe, buffer, sizeof buffer)) > 0;)
                result.out.append(buffer, size_t(n));
            close(outputPipe);
        }
        int status = 0;
        if (pid <= 0 || waitpid(pid, &status, 0) != pid) return result;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (outputPipe < 0) result.out = readFile(root / "stdout");
        result.err = readFile(root / "stderr");
        return result;
    }

    // Starts the binary as start() does, with standard output into a pipe of the smallest size,
    // which the test leaves unread: once it is full, the run waits in its next write of output,
    // short of its end, for as long as nobody reads. Returns when the pipe is full (or a minute
    // has passed), the read end in `outputPipe` for finish(). The run must print more than the
    // pipe and its own output buffer take, as the progress lines of a hundred chunks and more do.
    pid_t startHeld(const std::vector<std::string>& args, int& outputPipe) const {
        const pid_t pid = start(QZN_BINARY, args, "", &outputPipe);
        if (pid <= 0) return pid;
        // Before the run has printed more than its banner, which the smallest pipe still takes.
        fcntl(outputPipe, F_SETPIPE_SZ, 4096);
        const int capacity = fcntl(outputPipe, F_GETPIPE_SZ);
        int queued = 0;
        for (int waited = 0; waited < 60000 && queued < capacity; waited += 10) {
            usleep(10000);
            ioctl(outputPipe, FIONREAD, &queued);
        }
        EXPECT_GE(queued, capacity) << "the run never filled its output pipe";
        return pid;
    }

    RunResult runAs(const std::string& program, const std::vector<std::string>& args,
                    const std::string& input = "") const {
        return finish(start(program, args, input));
    }
#else
    // Runs the binary with argv[0] = program and the given arguments, with `input` on standard
    // input, in the work folder.
    RunResult runAs(const std::string& program, const std::vector<std::string>& args,
                    const std::string& input = "") const {
        const fs::path in = root / "stdin", out = root / "stdout", err = root / "stderr";
        writeFile(in, input);
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult result;
        result.status =
            qzn::testing::runProgram(binaryPath(), argv, work, in, out, err, addressSpaceLimit);
        result.out = readFile(out);
        result.err = readFile(err);
        return result;
    }
#endif
    RunResult run(const std::vector<std::string>& args, const std::string& input = "") const {
        return runAs(binaryPath(), args, input);
    }

    fs::path at(const std::string& relative) const {
        return work / utf8Path(relative);
    }
    void put(const std::string& relative, const std::string& bytes) const {
        fs::create_directories(at(relative).parent_path());
        writeFile(at(relative), bytes);
    }
};

// Relative path -> "dir" or "file:" + contents, for every entry below the folder.
inline std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> result;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        // Cut off as text: the folder may be in the extended form "\\?\...", which the library
        // cannot take apart.
        const auto& path = entry.path().native();
        std::string relative = utf8Text(fs::path(path.substr(folder.native().size() + 1)));
        result[relative] = entry.is_directory() ? "dir" : "file:" + readFile(entry.path());
    }
    return result;
}

// The names in a folder, without the folders below it.
inline std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(utf8Text(entry.path().filename()));
    return names;
}

// Polls every half millisecond until `ready` holds or a minute passes.
template <class Condition> bool waitFor(Condition ready) {
    for (int i = 0; i < 120000; ++i) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

// 0 for a file that is not there.
inline uintmax_t sizeOf(const fs::path& path) {
    std::error_code ec;
    uintmax_t size = fs::file_size(path, ec);
    return ec ? 0 : size;
}

inline size_t countOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// The temporary file a run is writing beside `name` in `folder` ("name.<random>.tmp"), or an
// empty path while there is none. Files may come and go meanwhile.
inline fs::path temporaryBeside(const fs::path& folder, const std::string& name) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string file = utf8Text(it->path().filename());
        if (file.size() > name.size() + 5 && file.compare(0, name.size() + 1, name + ".") == 0 &&
            file.compare(file.size() - 4, 4, ".tmp") == 0)
            return it->path();
    }
    return {};
}

// For links planted in an output folder: a small tree (and whatever `in` holds already) packed
// into a.qzn, and the folder `elsewhere` beside the work folder, outside every run's reach, with
// the files "victim" and "file", which no run may change. Returns that folder.
inline fs::path packTreeBesideElsewhere(const Sandbox& box) {
    box.put("in/file1", "one");
    box.put("in/file2", "two");
    box.put("in/sub/file", "below a link");
    EXPECT_EQ(box.run({"c1", "a.qzn", "in"}).status, 0);
    const fs::path elsewhere = box.root / "elsewhere";
    fs::create_directories(elsewhere);
    writeFile(elsewhere / "victim", "victim");
    writeFile(elsewhere / "file", "kept");
    return elsewhere;
}

// Deterministic test data.
inline std::string randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = char(rng());
    return s;
}
inline std::string textBytes(size_t n, uint32_t seed) {
    static const char* words[] = {"alpha ",  "beta ",  "gamma ", "delta\n",   "archive ", "chunk ",
                                  "window ", "table ", "hash ",  "context\n", "QZN "};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) s += words[rng() % 11];
    s.resize(n);
    return s;
}
// Interleaved 16-bit stereo-like samples: what the channel filter is for.
inline std::string sampleBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    int left = 0, right = 0;
    for (size_t i = 0; i + 3 < n; i += 4) {
        left += int(rng() % 64) - 32;
        right += int(rng() % 64) - 32;
        s[i] = char(left & 0xFF), s[i + 1] = char(left >> 8);
        s[i + 2] = char(right & 0xFF), s[i + 3] = char(right >> 8);
    }
    return s;
}

// A tree of a few hundred files for the reproducibility tests: nested folders, names beyond ASCII
// and beyond the Basic Multilingual Plane, empty files and folders, duplicates, and (with
// `caseTwins`) names that differ only in case. Entries are relative paths; an empty folder ends
// in '/'.
inline std::vector<std::pair<std::string, std::string>> mixedTree(bool caseTwins) {
    std::vector<std::pair<std::string, std::string>> entries;
    const char* folders[] = {"",
                             "src/",
                             "src/deep/er/",
                             "Docs/",
                             "\xC3\xA9t\xC3\xA9/",
                             "\xE6\x97\xA5\xE6\x9C\xAC/",
                             "z_last/"};
    const char* stems[] = {"a", "B", "c_", "\xC3\xB6l", "\xF0\x9F\x98\x80", "Z", "m.n", "x-1"};
    const std::string shared = randomBytes(2000, 99);
    uint32_t seed = 1;
    for (const char* folder : folders) {
        for (int i = 0; i < 40; ++i) {
            const std::string name =
                std::string(folder) + stems[i % 8] + std::to_string(i) + (i % 3 ? ".txt" : "");
            std::string contents = i % 7 == 0    ? shared
                                   : i % 11 == 0 ? std::string()
                                                 : textBytes(200 + 37 * size_t(i), seed);
            entries.emplace_back(name, std::move(contents));
            ++seed;
        }
    }
    entries.emplace_back("empty-folder/", "");
    entries.emplace_back("src/deep/empty/", "");
    if (caseTwins) {
        entries.emplace_back("Docs/read.me", "small");
        entries.emplace_back("Docs/READ.me", "capital");
        entries.emplace_back("Docs/Read.Me", "mixed");
    }
    return entries;
}

// Creates the entries below `folder` one by one in the given order of their indices, so that
// file systems that list in creation order see a different order each time.
inline void createTree(const Sandbox& box, const std::string& folder,
                       const std::vector<std::pair<std::string, std::string>>& entries,
                       const std::vector<size_t>& order) {
    for (size_t i : order) {
        const auto& [name, contents] = entries[i];
        if (name.back() == '/')
            fs::create_directories(box.at(folder + "/" + name));
        else
            box.put(folder + "/" + name, contents);
    }
}

// Plain bitwise CRC-32 (reflected, 0xEDB88320), independent of the program's tables.
inline uint32_t crc32(const std::string& bytes) {
    uint32_t c = 0xFFFFFFFF;
    for (unsigned char b : bytes) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320 & (0u - (c & 1)));
    }
    return c ^ 0xFFFFFFFF;
}

inline std::string hexUpper(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

} // namespace qzn_e2e
