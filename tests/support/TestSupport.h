// Shared test helpers: stops observed as exceptions, temporary folders, file helpers.
#pragma once

#include "Platform.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qzn::testing {

// The tests' one platform switch: a case that exists on one platform only is skipped on the other.
#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// What a stop left behind: its status and everything printed to stdout meanwhile.
struct StopResult {
    bool stopped = false;
    int status = 0;
    std::string output;
};

// Runs body with stops turned into ProcessStop exceptions and stdout captured.
StopResult runCapturingStop(const std::function<void()>& body);

// A fresh folder under the system temporary directory, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// A new, empty folder below the system's temporary folder, its name starting with `prefix`; the
// path as UTF-8.
std::string makeTempFolder(const std::string& prefix);

// Paths to and from UTF-8 text, whatever the platform's narrow encoding.
std::filesystem::path utf8Path(const std::string& text);
std::string utf8Text(const std::filesystem::path& path); // with '/' as the separator

// Runs `binary` with the argument vector `argv` (argv[0] included; UTF-8) in `workDir`, standard
// input, output and error connected to the three files. The memory limit (bytes; 0 = none)
// bounds the child's address space where the platform can. Returns the exit status, 128 + the
// signal when a signal ended it, or -1 when it could not be started.
int runProgram(const std::string& binary, const std::vector<std::string>& argv,
               const std::filesystem::path& workDir, const std::filesystem::path& in,
               const std::filesystem::path& out, const std::filesystem::path& err,
               uint64_t memoryLimit = 0);

// A started program whose standard input or output (or both) is a pipe the test holds; the
// other streams are files. The test's own pipe ends are never inherited by a later child, so a
// pipe ends when the ends the test holds are closed. The child starts with SIGPIPE at its default,
// as from a shell; the test process ignores it, so that writing to a child that has gone away
// fails instead of ending the test.
class Child {
  public:
    struct Streams {
        std::filesystem::path in;  // empty: a pipe, written with write()
        std::filesystem::path out; // empty: a pipe, read with read()
        std::filesystem::path err;
    };
    Child() = default;
    ~Child(); // closes the pipes and waits
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Runs `binary` with the argument vector `argv` (argv[0] included; UTF-8) in `workDir`.
    bool start(const std::string& binary, const std::vector<std::string>& argv,
               const std::filesystem::path& workDir, const Streams& streams);
    // Up to `size` bytes of its standard output, whatever has arrived; 0 at the end.
    int64_t read(void* data, size_t size);
    // All of the bytes into its standard input; false once it can take no more.
    bool write(const void* data, size_t size);
    void closeInput();
    void closeOutput();
    // Closes the test's pipe ends, then waits: the exit status, 128 + the signal when a signal
    // ended it, -1 when it never started.
    int wait();

  private:
    intptr_t process_ = -1, input_ = -1, output_ = -1;
    int status_ = -1;
};

// A file held open the way another program holds one that it shares for reading only (Windows):
// meanwhile no other process can replace or remove it. Elsewhere nothing keeps a file from being
// replaced, and nothing is held. Let go when it goes.
class HeldOpen {
  public:
    explicit HeldOpen(const std::filesystem::path& path);
    ~HeldOpen();
    HeldOpen(const HeldOpen&) = delete;
    HeldOpen& operator=(const HeldOpen&) = delete;
    bool held() const { return handle_ != -1; }

  private:
    intptr_t handle_ = -1;
};

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
void writeFile(const std::string& path, const std::string& text);
std::vector<uint8_t> readFile(const std::string& path);

// Deterministic test data.
std::vector<uint8_t> randomBytes(size_t n, uint32_t seed);
std::vector<uint8_t> textLikeBytes(size_t n, uint32_t seed);

} // namespace qzn::testing

// The statement must stop the process through an assertion at source:line.
#define EXPECT_ASSERT_STOP(statement, source, line)                                                \
    do {                                                                                           \
        auto qznStop = ::qzn::testing::runCapturingStop([&] { statement; });                       \
        EXPECT_TRUE(qznStop.stopped) << "no stop";                                                 \
        EXPECT_EQ(qznStop.status, ::qzn::kAssertStatus);                                           \
        EXPECT_NE(qznStop.output.find(std::string("Assert failed\n") + (source) + ":" +            \
                                      std::to_string(line) + "\n"),                                \
                  std::string::npos)                                                               \
            << qznStop.output;                                                                     \
    } while (0)
