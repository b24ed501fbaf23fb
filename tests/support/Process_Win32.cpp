// Running the real binary on Windows: CreateProcessW with a command line quoted as the C runtime
// splits it, inheritable handles for the three streams, and a job object for the memory limit.
#include "TestSupport.h"

#include <windows.h>

namespace qzn::testing {

namespace {

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring text(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), text.data(), n);
    return text;
}

// One argument as the runtime's command-line parser reads it back: quoted, with the backslashes
// before a quote (and before the closing quote) doubled.
void appendQuoted(std::wstring& line, const std::wstring& argument) {
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

HANDLE openInherited(const std::filesystem::path& path, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(path.wstring().c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

int runProgram(const std::string& binary, const std::vector<std::string>& argv,
               const std::filesystem::path& workDir, const std::filesystem::path& in,
               const std::filesystem::path& out, const std::filesystem::path& err,
               uint64_t memoryLimit) {
    std::wstring line;
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) line += L' ';
        appendQuoted(line, wide(argv[i]));
    }
    HANDLE i = openInherited(in, false), o = openInherited(out, true), e = openInherited(err, true);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = i;
    startup.hStdOutput = o;
    startup.hStdError = e;
    PROCESS_INFORMATION process{};
    const std::wstring program = utf8Path(binary).wstring(), folder = workDir.wstring();
    bool started = i != INVALID_HANDLE_VALUE && o != INVALID_HANDLE_VALUE &&
                   e != INVALID_HANDLE_VALUE &&
                   CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                  CREATE_SUSPENDED, nullptr, folder.c_str(), &startup, &process);
    for (HANDLE h : {i, o, e})
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!started) return -1;

    HANDLE job = nullptr;
    if (memoryLimit) {
        job = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limit{};
        limit.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY;
        limit.ProcessMemoryLimit = SIZE_T(memoryLimit);
        if (job) {
            SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limit, sizeof limit);
            AssignProcessToJobObject(job, process.hProcess);
        }
    }
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = DWORD(-1);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (job) CloseHandle(job);
    return int(code);
}

HeldOpen::HeldOpen(const std::filesystem::path& path) {
    HANDLE handle = CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) handle_ = reinterpret_cast<intptr_t>(handle);
}

HeldOpen::~HeldOpen() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

} // namespace qzn::testing
