// Shared test helpers: stops observed as exceptions, temporary folders, file helpers.
#pragma once

#include "Platform.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qzn::testing {

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
