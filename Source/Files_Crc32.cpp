// CRC-32 (reflected, polynomial 0xEDB88320): long buffers folded by the processor's carry-less
// multiply where it has one, the rest sixteen bytes a step through sixteen tables.
#include "Files.h"

namespace qzn {

namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320;

// The fold takes whole blocks; from one block on it is faster than the tables, even with the 16
// bytes it leaves them.
constexpr size_t kFoldBlock = 64;

struct CrcTables {
    uint32_t t[16][256];
    Crc32Fold fold = crc32FoldKernel();
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

// The register `c` carried over the bytes through the tables: one at a time up to a 16-byte
// boundary, then sixteen a step.
uint32_t tableRegister(const CrcTables& tables, uint32_t c, const uint8_t* buffer, size_t left) {
    const auto& t = tables.t;
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
    return c;
}

uint32_t update(uint32_t previous, const uint8_t* buffer, int32_t length, bool mayFold) {
    const CrcTables& tables = crcTables();
    uint32_t c = previous ^ 0xFFFFFFFF;
    size_t left = length > 0 ? size_t(length) : 0;
    if (mayFold && tables.fold && left >= kFoldBlock) {
        // The whole blocks fold to 16 bytes that carry the same remainder; the tables finish
        // those from a zero register, then the bytes after the blocks.
        const size_t blocks = left / kFoldBlock;
        alignas(16) uint8_t folded[16];
        tables.fold(c, buffer, blocks, folded);
        c = tableRegister(tables, 0, folded, sizeof folded);
        buffer += blocks * kFoldBlock;
        left -= blocks * kFoldBlock;
    }
    return tableRegister(tables, c, buffer, left) ^ 0xFFFFFFFF;
}

} // namespace

uint32_t crc32Update(uint32_t previous, const uint8_t* buffer, int32_t length) {
    return update(previous, buffer, length, true);
}

uint32_t crc32UpdateByTables(uint32_t previous, const uint8_t* buffer, int32_t length) {
    return update(previous, buffer, length, false);
}

} // namespace qzn
