// The C interface tests' surroundings (ApiSupport.h), and their main: each case of api_cases
// becomes a test of its own.
#include "ApiSupport.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {
std::vector<std::unique_ptr<qzn::testing::TempDir>> folders;
bool capturing = false;
} // namespace

extern "C" {

void api_fail(const char* file, int line, const char* what) {
    // A check that fails while the output is captured ends the capture: the report must show.
    if (capturing) api_capture_end();
    ADD_FAILURE_AT(file, line) << "check failed: " << what;
}

const char* api_temp_folder(void) {
    folders.push_back(std::make_unique<qzn::testing::TempDir>());
    return folders.back()->path().c_str();
}

int api_make_folder(const char* path) {
    std::error_code error;
    return fs::create_directories(qzn::testing::utf8Path(path), error) ? 1 : 0;
}

int api_write_file(const char* path, const void* data, size_t size) {
    std::ofstream out(qzn::testing::utf8Path(path), std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), std::streamsize(size));
    return out.good() ? 1 : 0;
}

long long api_read_file(const char* path, void* buffer, size_t capacity) {
    std::ifstream in(qzn::testing::utf8Path(path), std::ios::binary);
    if (!in) return -1;
    in.read(static_cast<char*>(buffer), std::streamsize(capacity));
    return static_cast<long long>(in.gcount());
}

int api_exists(const char* path) {
    std::error_code error;
    return fs::exists(qzn::testing::utf8Path(path), error) ? 1 : 0;
}

int api_count_leftovers(const char* folder) {
    int count = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(qzn::testing::utf8Path(folder), error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string name = qzn::testing::utf8Text(it->path().filename());
        if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) ++count;
    }
    return count;
}

void api_capture_begin(void) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    capturing = true;
}

size_t api_capture_end(void) {
    capturing = false;
    std::fflush(stdout);
    std::fflush(stderr);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string error = ::testing::internal::GetCapturedStderr();
    if (!out.empty() || !error.empty())
        ADD_FAILURE() << "printed: [" << out << "] [" << error << "]";
    return out.size() + error.size();
}

void api_run_two_threads(void (*fn)(void*), void* a, void* b) {
    std::thread first(fn, a);
    std::thread second(fn, b);
    first.join();
    second.join();
}

} // extern "C"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (const api_case* c = api_cases; c->name; ++c) {
        const api_case_fn run = c->run;
        ::testing::RegisterTest("Api", c->name, nullptr, nullptr, __FILE__, __LINE__,
                                [run]() -> ::testing::Test* {
                                    struct Case : ::testing::Test {
                                        api_case_fn run;
                                        explicit Case(api_case_fn f) : run(f) {}
                                        void TestBody() override { EXPECT_EQ(run(), 0); }
                                    };
                                    return new Case(run);
                                });
    }
    return RUN_ALL_TESTS();
}
