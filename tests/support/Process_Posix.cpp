// Running the real binary on POSIX: fork, redirect, exec.
#include "TestSupport.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qzn::testing {

int runProgram(const std::string& binary, const std::vector<std::string>& argv,
               const std::filesystem::path& workDir, const std::filesystem::path& in,
               const std::filesystem::path& out, const std::filesystem::path& err,
               uint64_t memoryLimit) {
    std::vector<std::string> all = argv;
    std::vector<char*> pointers;
    for (std::string& a : all) pointers.push_back(a.data());
    pointers.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        int i = open(in.c_str(), O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (i < 0 || o < 0 || e < 0 || chdir(workDir.c_str()) != 0) _exit(126);
        if (memoryLimit) {
            rlimit limit{memoryLimit, memoryLimit};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
        }
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        execv(binary.c_str(), pointers.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Child::~Child() {
    wait();
}

bool Child::start(const std::string& binary, const std::vector<std::string>& argv,
                  const std::filesystem::path& workDir, const Streams& streams) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> all = argv;
    std::vector<char*> pointers;
    for (std::string& a : all) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    // Close-on-exec everywhere: the child gets its ends through dup2 only.
    int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
    if ((streams.in.empty() && pipe2(inPipe, O_CLOEXEC) != 0) ||
        (streams.out.empty() && pipe2(outPipe, O_CLOEXEC) != 0))
        return false;
    const pid_t pid = fork();
    if (pid == 0) {
        int i = streams.in.empty() ? inPipe[0] : open(streams.in.c_str(), O_RDONLY);
        int o = streams.out.empty() ? outPipe[1]
                                    : open(streams.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(streams.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (i < 0 || o < 0 || e < 0 || chdir(workDir.c_str()) != 0) _exit(126);
        std::signal(SIGPIPE, SIG_DFL);
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        execv(binary.c_str(), pointers.data());
        _exit(127);
    }
    for (int end : {inPipe[0], outPipe[1]})
        if (end >= 0) close(end);
    input_ = inPipe[1];
    output_ = outPipe[0];
    process_ = pid;
    if (pid < 0) {
        closeInput();
        closeOutput();
        return false;
    }
    return true;
}

int64_t Child::read(void* data, size_t size) {
    for (;;) {
        const ssize_t n = ::read(int(output_), data, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

bool Child::write(const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(int(input_), at, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= size_t(n);
    }
    return true;
}

void Child::closeInput() {
    if (input_ >= 0) close(int(input_));
    input_ = -1;
}

void Child::closeOutput() {
    if (output_ >= 0) close(int(output_));
    output_ = -1;
}

int Child::wait() {
    closeInput();
    closeOutput();
    if (process_ > 0) {
        int status = 0;
        if (waitpid(pid_t(process_), &status, 0) == pid_t(process_))
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        process_ = -1;
    }
    return status_;
}
HeldOpen::HeldOpen(const std::filesystem::path&) {}

HeldOpen::~HeldOpen() = default;

} // namespace qzn::testing
