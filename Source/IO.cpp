// Segments, the escalating-width integer code and buffer ownership of the bit stream, and the
// byte sources and sinks it travels through.
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

int64_t FileSource::readSome(uint8_t* data, size_t size) {
    const size_t got = std::fread(data, 1, size, file);
    if (got == 0 && std::ferror(file)) {
        failure = systemErrorText();
        return -1;
    }
    return int64_t(got);
}

bool FileSink::write(const uint8_t* data, size_t size) {
    if (std::fwrite(data, 1, size, file) == size) return true;
    failure = systemErrorText();
    return false;
}

int64_t StandardInput::readSome(uint8_t* data, size_t size) {
    const int64_t got = readStandardInput(data, size);
    if (got < 0) failure = systemErrorText();
    return got;
}

bool StandardOutput::write(const uint8_t* data, size_t size) {
    if (writeStandardOutput(data, size, readerGone)) return true;
    failure = systemErrorText();
    return false;
}

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
    const bool done = sink->write(header, 4) && (bytes == 0 || sink->write(buffer, bytes));
    if (done) written += 4 + uint64_t(bytes);
    // Noticed only after the chunk: the reason is kept now, before later calls replace it.
    if (!done && !writeFailed) {
        writeFailure = sink->failure;
        readerGone = sink->readerGone;
    }
    if (!done) writeFailed = true;
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

size_t BitReader::readFully(uint8_t* data, size_t size) {
    size_t got = 0;
    while (got < size) {
        const int64_t n = source->readSome(data + got, size - got);
        if (n <= 0) {
            if (n < 0 && readFailure.empty()) readFailure = source->failure;
            break;
        }
        got += size_t(n);
    }
    consumed += got;
    return got;
}

void BitReader::loadSegment() {
    uint8_t header[4] = {0, 0, 0, 0};
    // A pipe hands over whatever pieces it has: the record is gathered until it is complete.
    size_t got = readFully(header, 4);
    // At the end of the file no count arrives: the segment is empty and reads as zeros.
    size = got == 4 ? uint32_t(header[0]) | uint32_t(header[1]) << 8 | uint32_t(header[2]) << 16 |
                          uint32_t(header[3]) << 24
                    : 0;
    QZN_CHECK(size <= kBitBufferBytes, kIoSource, 77);
    if (got != 4) truncated = true;
    const size_t read = size != 0 ? readFully(buffer, size) : 0;
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
