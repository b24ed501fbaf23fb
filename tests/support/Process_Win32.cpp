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

Child::~Child() {
    wait();
}

bool Child::start(const std::string& binary, const std::vector<std::string>& argv,
                  const std::filesystem::path& workDir, const Streams& streams) {
    std::wstring line;
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) line += L' ';
        appendQuoted(line, wide(argv[i]));
    }
    // The child's ends are inheritable, the test's are not.
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE inRead = INVALID_HANDLE_VALUE, inWrite = INVALID_HANDLE_VALUE;
    HANDLE outRead = INVALID_HANDLE_VALUE, outWrite = INVALID_HANDLE_VALUE;
    if (streams.in.empty()) {
        if (!CreatePipe(&inRead, &inWrite, &inherit, 0)) return false;
        SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    } else {
        inRead = openInherited(streams.in, false);
    }
    if (streams.out.empty()) {
        if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) return false;
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    } else {
        outWrite = openInherited(streams.out, true);
    }
    HANDLE e = openInherited(streams.err, true);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = e;
    PROCESS_INFORMATION process{};
    const std::wstring program = utf8Path(binary).wstring(), folder = workDir.wstring();
    const bool started = inRead != INVALID_HANDLE_VALUE && outWrite != INVALID_HANDLE_VALUE &&
                         e != INVALID_HANDLE_VALUE &&
                         CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, folder.c_str(), &startup, &process);
    for (HANDLE h : {inRead, outWrite, e})
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (inWrite != INVALID_HANDLE_VALUE) input_ = reinterpret_cast<intptr_t>(inWrite);
    if (outRead != INVALID_HANDLE_VALUE) output_ = reinterpret_cast<intptr_t>(outRead);
    if (!started) {
        closeInput();
        closeOutput();
        return false;
    }
    CloseHandle(process.hThread);
    process_ = reinterpret_cast<intptr_t>(process.hProcess);
    return true;
}

int64_t Child::read(void* data, size_t size) {
    DWORD got = 0;
    if (ReadFile(reinterpret_cast<HANDLE>(output_), data, DWORD(size), &got, nullptr))
        return int64_t(got);
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

bool Child::write(const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(input_), at, DWORD(size), &written, nullptr) ||
            written == 0)
            return false;
        at += written;
        size -= written;
    }
    return true;
}

void Child::closeInput() {
    if (input_ != -1) CloseHandle(reinterpret_cast<HANDLE>(input_));
    input_ = -1;
}

void Child::closeOutput() {
    if (output_ != -1) CloseHandle(reinterpret_cast<HANDLE>(output_));
    output_ = -1;
}

int Child::wait() {
    closeInput();
    closeOutput();
    if (process_ != -1) {
        HANDLE process = reinterpret_cast<HANDLE>(process_);
        WaitForSingleObject(process, INFINITE);
        DWORD code = DWORD(-1);
        GetExitCodeProcess(process, &code);
        CloseHandle(process);
        status_ = int(code);
        process_ = -1;
    }
    return status_;
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
