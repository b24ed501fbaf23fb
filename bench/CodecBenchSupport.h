// What the codec benchmarks share: the level table, the default sizes, a clock, file loading.
#pragma once

#include "ContextLz.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qzn::bench {

using Level = LevelSettings;
// Levels 1 to 6, the codec's own table.
inline constexpr const auto& kLevels = kLevelSettings;
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
