#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace qzn::testing {

namespace {
[[noreturn]] void throwStop(int status) {
    throw ProcessStop{status};
}
} // namespace

StopResult runCapturingStop(const std::function<void()>& body) {
    StopResult result;
    setStopHook(throwStop);
    ::testing::internal::CaptureStdout();
    try {
        body();
    } catch (const ProcessStop& stop) {
        result.stopped = true;
        result.status = stop.status;
    }
    std::fflush(stdout);
    result.output = ::testing::internal::GetCapturedStdout();
    setStopHook(nullptr);
    return result;
}

std::string makeTempFolder(const std::string& prefix) {
    std::random_device seed;
    std::mt19937_64 rng((uint64_t(seed()) << 32) ^ seed());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[20];
        std::snprintf(suffix, sizeof suffix, "%012llx",
                      static_cast<unsigned long long>(rng() & 0xFFFFFFFFFFFFull));
        std::filesystem::path candidate = base / (prefix + suffix);
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) return utf8Text(candidate);
    }
    std::abort();
}

std::filesystem::path utf8Path(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string utf8Text(const std::filesystem::path& path) {
    std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

TempDir::TempDir() : path_(makeTempFolder("qzn-test-")) {}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(utf8Path(path_), ec);
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(utf8Path(path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(utf8Path(path), std::ios::binary);
    out << text;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(utf8Path(path), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = uint8_t(rng());
    return bytes;
}

std::vector<uint8_t> textLikeBytes(size_t n, uint32_t seed) {
    static const char* words[] = {"the ",     "archive ", "of ",    "files ",  "and ",
                                  "folders ", "packs ",   "data\n", "into ",   "one ",
                                  "stream ",  "context ", "match ", "length ", "table, "};
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes;
    bytes.reserve(n);
    while (bytes.size() < n) {
        const char* w = words[rng() % (sizeof words / sizeof *words)];
        for (const char* c = w; *c && bytes.size() < n; ++c) bytes.push_back(uint8_t(*c));
    }
    return bytes;
}

} // namespace qzn::testing
