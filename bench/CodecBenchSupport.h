// What the codec benchmarks share: the level table, the default sizes, a clock, file loading.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qzn::bench {

struct Level {
    int32_t chain, lookahead, mode;
};
constexpr Level kLevels[6] = {{2, 0, 0},  {4, 1, 0},  {8, 2, 0},
                              {24, 4, 1}, {64, 8, 1}, {224, 32, 2}};
constexpr uint32_t kTableBits = 12, kHashBits = 13, kWindowBits = 23;

inline double seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

inline std::vector<uint8_t> readAll(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    uint8_t buffer[1 << 16];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(f);
    return bytes;
}

} // namespace qzn::bench
