// Bit-stream I/O: least-significant-bit-first packing into a 512 KiB buffer that travels to and
// from the archive as length-prefixed segments, through a byte source or sink: an open file,
// standard input or output, or whatever a caller supplies.
#pragma once

#include "Checks.h"
#include "Platform.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace qzn {

constexpr uint32_t kBitBufferBytes = 524288;           // segment payload never exceeds it
constexpr uint32_t kBitHardBound = 0x3FFFE0;           // byte-rounded position must stay below
constexpr uint32_t kBitCheckpointThreshold = 0x3FDFFF; // a checkpoint closes the segment above

// Where the bit reader's segments come from. Reads go strictly forward, never seeking, so that a
// pipe serves as well as a file.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Up to `size` bytes into `data`: at least one, however few happen to be there; 0 once the
    // data has ended; -1 when the read failed, with `failure` saying why.
    virtual int64_t readSome(uint8_t* data, size_t size) = 0;
    std::wstring failure; // the system's reason for the last failed read
};

// Where the bit writer's segments go.
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // All `size` bytes, or false when they could not be written, with `failure` saying why.
    virtual bool write(const uint8_t* data, size_t size) = 0;
    std::wstring failure;    // the system's reason for the last failed write
    bool readerGone = false; // that write went into a pipe whose reader had gone away
};

// An archive file opened by the caller, which also closes it. A bare FILE* may be assigned, as
// the reader and writer take one by default.
class FileSource final : public ByteSource {
  public:
    FILE* file = nullptr;
    FileSource& operator=(FILE* f) {
        file = f;
        return *this;
    }
    int64_t readSome(uint8_t* data, size_t size) override;
};

class FileSink final : public ByteSink {
  public:
    FILE* file = nullptr;
    FileSink& operator=(FILE* f) {
        file = f;
        return *this;
    }
    bool write(const uint8_t* data, size_t size) override;
};

// Standard input and output as raw bytes (binary on every platform), for an archive or file
// contents on a pipe.
class StandardInput final : public ByteSource {
  public:
    int64_t readSome(uint8_t* data, size_t size) override;
};

class StandardOutput final : public ByteSink {
  public:
    bool write(const uint8_t* data, size_t size) override;
};

class BitWriter {
  public:
    FileSink file;             // the archive as an open file, the default sink; never closed here
    ByteSink* sink = &file;    // where the segments go; not owned
    uint8_t* buffer = nullptr; // kBitBufferBytes, owned
    uint32_t bitPosition = 0;
    uint32_t size = 0;
    uint64_t written = 0;      // bytes of the whole segments the sink took
    bool writeFailed = false;  // sticky: a segment could not be written completely
    std::wstring writeFailure; // the system's reason for the first failed write
    bool readerGone = false;   // it failed because the reader of a pipe went away

    BitWriter() = default;
    explicit BitWriter(FILE* f) { file = f; }
    explicit BitWriter(ByteSink& s) : sink(&s) {}
    BitWriter(const BitWriter&) = delete;
    BitWriter& operator=(const BitWriter&) = delete;
    ~BitWriter() { release(); }

    uint32_t openBuffer();

    // Appends value in n bits (1..16): one unaligned 32-bit load, OR and store.
    void put(uint32_t value, uint32_t n) {
        QZN_CHECK(value < (1u << n), kIoSource, 130);
        QZN_CHECK((bitPosition & ~7u) < kBitHardBound, kIoSource, 132);
        uint8_t* p = buffer + (bitPosition >> 3);
        uint32_t word;
        std::memcpy(&word, p, 4);
        word |= value << (bitPosition & 7);
        std::memcpy(p, &word, 4);
        bitPosition += n;
    }
    void put32(uint32_t value) {
        put(value & 0xFFFF, 16);
        put(value >> 16, 16);
    }
    void putVarint(uint64_t value);
    void checkpoint() {
        if (bitPosition > kBitCheckpointThreshold) flush();
    }
    void flush();
    void release();
};

class BitReader {
  public:
    FileSource file; // the archive as an open file, the default source; never closed here
    ByteSource* source = &file; // where the segments come from; not owned
    uint8_t* buffer = nullptr;
    uint32_t bitPosition = 0;
    uint32_t size = 0;
    uint64_t consumed = 0; // bytes of the archive read so far
    // Set once a segment was missing or cut short: the archive ended before its data did.
    // Reads go on returning zeros as the format demands; drivers use this to report the damage.
    bool truncated = false;
    std::wstring readFailure; // set when the source failed rather than ended: the reason

    BitReader() = default;
    explicit BitReader(FILE* f) { file = f; }
    explicit BitReader(ByteSource& s) : source(&s) {}
    BitReader(const BitReader&) = delete;
    BitReader& operator=(const BitReader&) = delete;
    ~BitReader() { release(); }

    uint32_t openBuffer();
    void loadSegment();

    // The hard bound, tested before every read; `line` is reported on failure.
    void checkBound(int line) const { checkBoundAt(bitPosition, line); }
    // The next n bits (n <= 25) without advancing. The caller has run checkBound.
    uint32_t peek(uint32_t n) const { return peekAt(buffer, bitPosition) & ((1u << n) - 1); }

    // The same test and read for a position a hot loop keeps in a register and hands back
    // before the next checkpoint. peekAt yields at least 25 valid low bits.
    static void checkBoundAt(uint32_t position, int line) {
        QZN_CHECK((position & ~7u) < kBitHardBound, kIoSource, line);
    }
    static uint32_t peekAt(const uint8_t* buffer, uint32_t position) {
        uint32_t word;
        std::memcpy(&word, buffer + (position >> 3), 4);
        return word >> (position & 7);
    }
    void skip(uint32_t n) { bitPosition += n; }

    uint32_t get(uint32_t n) {
        checkBound(184);
        uint32_t value = peek(n);
        bitPosition += n;
        return value;
    }
    uint32_t get32() {
        uint32_t low = get(16);
        uint32_t high = get(16);
        return low + high * 65536u;
    }
    uint64_t getVarint();
    void checkpoint() {
        if (bitPosition > kBitCheckpointThreshold) loadSegment();
    }
    void release();

  private:
    // Up to `size` bytes, as many as the source gives before it ends or fails.
    size_t readFully(uint8_t* data, size_t size);
};

} // namespace qzn
