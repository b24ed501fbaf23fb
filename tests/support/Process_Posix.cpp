// Running the real binary on POSIX: fork, redirect, exec.
#include "TestSupport.h"

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

HeldOpen::HeldOpen(const std::filesystem::path&) {}

HeldOpen::~HeldOpen() = default;

} // namespace qzn::testing
