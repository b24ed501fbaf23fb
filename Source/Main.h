// The front end and the four mode drivers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qzn {

struct Archiver {
    int32_t tableBits = 12;
    int32_t hashBits = 13;
    int32_t windowBits = 23;
    int32_t chainLimit = 4;
    int32_t lookaheadLimit = 1;
    int32_t parseMode = 0;
    bool forceOverwrite = false;
    bool skipCrc = false;
    int32_t channels = 0;
};

// The wide-character entry: arguments including the program name; returns the exit code.
int qznMain(const std::vector<std::wstring>& arguments);

void pack(Archiver& archiver, const std::wstring& inputPath, const std::wstring& archivePath);
void unpack(Archiver& archiver, const std::wstring& archivePath, const std::wstring& outputPath);
void test(Archiver& archiver, const std::wstring& archivePath);
void list(const std::wstring& archivePath);

} // namespace qzn
