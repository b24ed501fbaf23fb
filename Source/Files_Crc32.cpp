// CRC-32 (reflected, polynomial 0xEDB88320), file sizes and CRCs of the input files, and the
// search for files with identical contents.
#include "Files.h"

#include <cstring>
#include <map>
#include <memory>
#include <utility>

namespace qzn {

namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320;
constexpr size_t kCrcBlockBytes = 8388608;
constexpr size_t kCompareBlockBytes = 262144;

struct CrcTables {
    uint32_t t[16][256];
    CrcTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? kCrcPolynomial : 0);
            t[0][i] = c;
        }
        for (int k = 0; k < 15; ++k)
            for (uint32_t i = 0; i < 256; ++i) t[k + 1][i] = t[0][t[k][i] & 0xFF] ^ (t[k][i] >> 8);
    }
};

// Built once, on first use.
const CrcTables& crcTables() {
    static const CrcTables tables;
    return tables;
}

} // namespace

uint32_t crc32Update(uint32_t previous, const uint8_t* buffer, int32_t length) {
    const CrcTables& tables = crcTables();
    const auto& t = tables.t;
    uint32_t c = previous ^ 0xFFFFFFFF;
    size_t left = length > 0 ? size_t(length) : 0;
    while (left > 0 && (reinterpret_cast<uintptr_t>(buffer) & 15) != 0) {
        c = t[0][(c ^ *buffer++) & 0xFF] ^ (c >> 8);
        --left;
    }
    while (left >= 16) {
        const uint8_t* b = buffer;
        c = t[15][(b[0] ^ c) & 0xFF] ^ t[14][(b[1] ^ (c >> 8)) & 0xFF] ^
            t[13][(b[2] ^ (c >> 16)) & 0xFF] ^ t[12][(b[3] ^ (c >> 24)) & 0xFF] ^ t[11][b[4]] ^
            t[10][b[5]] ^ t[9][b[6]] ^ t[8][b[7]] ^ t[7][b[8]] ^ t[6][b[9]] ^ t[5][b[10]] ^
            t[4][b[11]] ^ t[3][b[12]] ^ t[2][b[13]] ^ t[1][b[14]] ^ t[0][b[15]];
        buffer += 16;
        left -= 16;
    }
    while (left > 0) {
        c = t[0][(c ^ *buffer++) & 0xFF] ^ (c >> 8);
        --left;
    }
    return c ^ 0xFFFFFFFF;
}

uint32_t crc32OfFile(FILE* file, const std::wstring& label) {
    const int64_t start = filePosition(file);
    seekFile(file, 0, SEEK_END);
    const int64_t total = filePosition(file);
    seekFile(file, 0, SEEK_SET);

    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kCrcBlockBytes]);
    uint32_t crc = 0;
    uint64_t done = 0;
    for (;;) {
        // A read error ends the pass like the end of the file.
        size_t got = std::fread(buffer.get(), 1, kCrcBlockBytes, file);
        if (got == 0) break;
        done += got;
        printProgressWide(formatWide(L"crc32 %ls: %.1f/%.1f MB", label.c_str(),
                                     double(done) / 1048576.0, double(total) / 1048576.0));
        crc = crc32Update(crc, buffer.get(), int32_t(got));
    }
    printProgressEndWide(formatWide(L"crc32 %ls: %X", label.c_str(), crc));
    seekFile(file, start, SEEK_SET);
    return crc;
}

uint64_t fileSize(const std::wstring& path) {
    uint64_t size = 0;
    return querySize(path, size) ? size : ~uint64_t(0);
}

bool filesEqual(const std::wstring& a, const std::wstring& b) {
    FILE* fa = openFile(a, "rb");
    if (!fa) fatalWide(L"Error: Failed to open %ls\n", a.c_str());
    FILE* fb = openFile(b, "rb");
    if (!fb) {
        std::fclose(fa);
        fatalWide(L"Error: Failed to open %ls\n", b.c_str());
    }
    std::unique_ptr<uint8_t[]> bufferA(new uint8_t[kCompareBlockBytes]);
    std::unique_ptr<uint8_t[]> bufferB(new uint8_t[kCompareBlockBytes]);
    bool equal;
    for (;;) {
        size_t na = std::fread(bufferA.get(), 1, kCompareBlockBytes, fa);
        size_t nb = std::fread(bufferB.get(), 1, kCompareBlockBytes, fb);
        if (na != nb) {
            equal = false;
            break;
        }
        if (na == 0) {
            equal = true;
            break;
        }
        if (std::memcmp(bufferA.get(), bufferB.get(), na) != 0) {
            equal = false;
            break;
        }
    }
    std::fclose(fa);
    std::fclose(fb);
    return equal;
}

void FileList::measure(bool withCrc) {
    for (FileEntry& file : files) {
        file.size = fileSize(file.path);
        if (file.size == ~uint64_t(0))
            fatalWide(L"Error: Unable to access %ls\n", file.name.c_str());
    }
    if (!withCrc) {
        for (FileEntry& file : files) file.crc = 0;
        return;
    }
    const unsigned count = unsigned(files.size());
    unsigned k = 0;
    for (FileEntry& file : files) {
        ++k;
        FILE* handle = openFile(file.path, "rb");
        if (!handle) fatalWide(L"Error: Unable to open %ls\n", file.path.c_str());
        file.crc = crc32OfFile(handle, formatWide(L"[%u/%u] %ls", k, count, file.name.c_str()));
        std::fclose(handle);
    }
}

void FileList::findDuplicates() {
    // Only files agreeing on size and CRC are compared, so group them first; within a group the
    // pairs are visited in the same (i, j) order as a test of every pair would, with the same
    // outcome: each file ends pointing at the latest identical earlier file, and the count is
    // the number of identical pairs.
    const uint64_t n = files.size();
    std::map<std::pair<uint64_t, uint32_t>, std::vector<uint64_t>> groups;
    std::vector<std::pair<const std::vector<uint64_t>*, size_t>> place(n);
    for (uint64_t i = 0; i < n; ++i) groups[{files[i].size, files[i].crc}].push_back(i);
    for (const auto& [key, members] : groups)
        for (size_t k = 0; k < members.size(); ++k) place[members[k]] = {&members, k};

    uint32_t count = 0;
    // duplicateOf is 32 bits with all ones meaning none, so no file above index 0xFFFFFFFE can
    // be the original of a duplicate.
    for (uint64_t i = 0; i < n && i < kNoDuplicate; ++i) {
        const std::vector<uint64_t>& members = *place[i].first;
        for (size_t k = place[i].second + 1; k < members.size(); ++k) {
            const uint64_t j = members[k];
            if (filesEqual(files[i].path, files[j].path)) {
                files[j].duplicateOf = uint32_t(i);
                ++count;
            }
        }
    }
    printWide(L"Duplicates: %u/%u\n", count, unsigned(n));
}

} // namespace qzn
