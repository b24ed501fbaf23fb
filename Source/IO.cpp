// Segments, the escalating-width integer code and buffer ownership of the bit stream.
#include "IO.h"

#include <cstdlib>

namespace qzn {

namespace {
uint8_t* allocateBitBuffer(uint8_t* existing) {
    QZN_CHECK(existing == nullptr, kIoSource, 97);
    auto* buffer = static_cast<uint8_t*>(std::calloc(kBitBufferBytes, 1));
    QZN_CHECK(buffer != nullptr, kIoSource, 102);
    return buffer;
}
} // namespace

uint32_t BitWriter::openBuffer() {
    buffer = allocateBitBuffer(buffer);
    bitPosition = 0;
    size = kBitBufferBytes;
    return size;
}

void BitWriter::putVarint(uint64_t value) {
    uint64_t base = 0;
    uint32_t width = 3;
    // The base restarts at 2^width rather than accumulating, so the ranges overlap.
    while (value - base >= (uint64_t(1) << width)) {
        QZN_CHECK(width < 63, kIoSource, 263); // values from 3 * 2^62 on have no code
        put(1, 1);
        base = uint64_t(1) << width;
        ++width;
    }
    put(0, 1);
    uint64_t rest = value - base;
    for (uint32_t done = 0; done < width; done += 16) {
        uint32_t bits = width - done < 16 ? width - done : 16;
        put(uint32_t(rest >> done) & ((1u << bits) - 1), bits);
    }
}

void BitWriter::flush() {
    uint32_t bytes = (bitPosition + 7) / 8;
    uint8_t header[4] = {uint8_t(bytes), uint8_t(bytes >> 8), uint8_t(bytes >> 16),
                         uint8_t(bytes >> 24)};
    const bool written = std::fwrite(header, 1, 4, file) == 4 &&
                         (bytes == 0 || std::fwrite(buffer, 1, bytes, file) == bytes);
    // Noticed only after the chunk: the reason is taken now, before later calls replace it.
    if (!written && !writeFailed) writeFailure = systemErrorText();
    if (!written) writeFailed = true;
    // Only the used bytes (plus the word a put may have touched) can be non-zero.
    std::memset(buffer, 0, bytes + 4 <= kBitBufferBytes ? bytes + 4 : kBitBufferBytes);
    bitPosition = 0;
}

void BitWriter::release() {
    std::free(buffer);
    buffer = nullptr;
    size = 0;
}

uint32_t BitReader::openBuffer() {
    buffer = allocateBitBuffer(buffer);
    bitPosition = 0;
    size = kBitBufferBytes;
    return size;
}

void BitReader::loadSegment() {
    uint8_t header[4] = {0, 0, 0, 0};
    size_t got = std::fread(header, 1, 4, file);
    // At the end of the file no count arrives: the segment is empty and reads as zeros.
    size = got == 4 ? uint32_t(header[0]) | uint32_t(header[1]) << 8 | uint32_t(header[2]) << 16 |
                          uint32_t(header[3]) << 24
                    : 0;
    QZN_CHECK(size <= kBitBufferBytes, kIoSource, 77);
    if (got != 4) truncated = true;
    const size_t read = size != 0 ? std::fread(buffer, 1, size, file) : 0;
    if (read != size) truncated = true;
    // Whatever the segment does not fill reads as zeros, not as the previous segment's bytes.
    std::memset(buffer + read, 0, kBitBufferBytes - read);
    bitPosition = 0;
}

uint64_t BitReader::getVarint() {
    uint64_t base = 0;
    uint32_t width = 3;
    while (get(1) == 1) {
        // A damaged stream could claim ever wider remainders; past 64 bits nothing valid exists.
        QZN_CHECK(width < 63, kIoSource, 263);
        base = uint64_t(1) << width;
        ++width;
    }
    uint64_t rest = 0;
    for (uint32_t done = 0; done < width; done += 16) {
        uint32_t bits = width - done < 16 ? width - done : 16;
        rest |= uint64_t(get(bits)) << done;
    }
    return base + rest;
}

void BitReader::release() {
    std::free(buffer);
    buffer = nullptr;
    size = 0;
}

} // namespace qzn
