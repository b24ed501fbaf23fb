// Chunk encoder: worked examples decoded symbol by symbol, the assertion on oversized chunks, and
// a bit-for-bit comparison with a plain, unoptimised transcription of the parse rules.
#include "ContextLz.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace qzn {
namespace {

// ---- A writer on a temporary file, and a reader of the symbols it received -------------------

struct TempStream {
    FILE* file = std::tmpfile();
    BitWriter writer{file};
    TempStream() { writer.openBuffer(); }
    ~TempStream() {
        writer.release();
        std::fclose(file);
    }
    std::vector<uint8_t> finish() {
        writer.flush();
        std::vector<uint8_t> bytes(size_t(std::ftell(file)));
        std::rewind(file);
        EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), file), bytes.size());
        return bytes;
    }
};

// Mirrors the models of a freshly allocated codec and reads one segment's symbols back.
struct SymbolReader {
    BitReader reader;
    HuffmanCoder<289> symbols;
    HuffmanCoder<60> distances;
    explicit SymbolReader(const BitWriter& writer) {
        reader.openBuffer();
        std::memcpy(reader.buffer, writer.buffer, (writer.bitPosition + 7) / 8);
        symbols.reset();
        distances.reset();
    }
    uint32_t symbol() {
        symbols.tick();
        uint32_t s = symbols.decode(reader);
        symbols.update(s);
        return s;
    }
    uint32_t distanceSlot() {
        distances.tick();
        uint32_t s = distances.decode(reader);
        distances.update(s);
        return s;
    }
    uint32_t bits(uint32_t n) { return reader.get(n); }
};

struct Level {
    int32_t chain, lookahead, mode;
};
constexpr Level kLevels[6] = {{2, 0, 0},  {4, 1, 0},  {8, 2, 0},
                              {24, 4, 1}, {64, 8, 1}, {224, 32, 2}};

std::vector<uint8_t> bytesOf(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

struct Encoder {
    ContextLz codec;
    TempStream stream;
    Encoder(uint32_t tableBits, uint32_t hashBits, uint32_t windowBits) {
        codec.configure(tableBits, hashBits, windowBits);
        codec.allocateEncoder();
    }
    void encode(const std::vector<uint8_t>& data, const Level& level) {
        codec.encodeChunk(data.data(), int32_t(data.size()), stream.writer, level.chain,
                          level.lookahead, level.mode);
    }
};

// ---- Worked examples --------------------------------------------------------------------------

TEST(EncodeChunk, EmptyChunkWritesNothing) {
    Encoder e(12, 13, 16);
    const uint32_t countdown = e.codec.symbolModel.rebuildCountdown;
    for (const Level& level : kLevels) e.encode({}, level);
    EXPECT_EQ(e.stream.writer.bitPosition, 0u);
    EXPECT_EQ(e.codec.symbolModel.rebuildCountdown, countdown);
}

TEST(EncodeChunk, ShortChunksAreLiteralsOnly) {
    for (int len = 1; len <= 12; ++len) {
        for (int kind = 0; kind < 2; ++kind) {
            std::vector<uint8_t> data = kind == 0 ? std::vector<uint8_t>(size_t(len), 0)
                                                  : bytesOf(std::string("abababababab", len));
            Encoder e(12, 13, 16);
            e.encode(data, kLevels[5]);
            SymbolReader r(e.stream.writer);
            for (int i = 0; i < len; ++i) EXPECT_EQ(r.symbol(), data[i]) << len << " " << i;
            EXPECT_EQ(r.reader.bitPosition, e.stream.writer.bitPosition);
        }
    }
}

TEST(EncodeChunk, ThirteenZerosCodeAPairNewer) {
    for (const Level& level : kLevels) {
        Encoder e(12, 13, 16);
        e.encode(std::vector<uint8_t>(13, 0), level);
        SymbolReader r(e.stream.writer);
        const uint32_t expected[12] = {0, 0, 0, 0, 287, 0, 0, 0, 0, 0, 0, 0};
        for (uint32_t s : expected) EXPECT_EQ(r.symbol(), s);
        EXPECT_EQ(r.reader.bitPosition, e.stream.writer.bitPosition);
    }
}

TEST(EncodeChunk, PeriodicTextAtLevelOneIsOneMatch) {
    // Position 4 has an empty context ('d'); position 5 repeats position 1 under context 'a'.
    std::vector<uint8_t> data;
    for (int i = 0; i < 10; ++i) data.insert(data.end(), {'a', 'b', 'c', 'd'});
    Encoder e(12, 13, 16);
    e.encode(data, kLevels[0]);
    SymbolReader r(e.stream.writer);
    for (uint32_t s : {'a', 'b', 'c', 'd', 'a'}) EXPECT_EQ(r.symbol(), s);
    EXPECT_EQ(r.symbol(), 256u + 13); // length 27: slot 13, base 20, 2 extra bits
    EXPECT_EQ(r.bits(2), 3u);
    EXPECT_EQ(r.distanceSlot(), 1u);                              // distance 1, no extra bits
    for (int i = 32; i < 40; ++i) EXPECT_EQ(r.symbol(), data[i]); // closing literals
    EXPECT_EQ(r.reader.bitPosition, e.stream.writer.bitPosition);
}

TEST(EncodeChunk, QuickCheckDropsShortMatchesButNotLongOnes) {
    std::vector<uint8_t> data;
    for (int i = 0; i < 10; ++i) data.insert(data.end(), {'a', 'b', 'c', 'd'});
    {
        // At level 2 the match of 27 at position 5 is dropped: position 6 repeats position 2
        // and covers the 4 bytes beyond it. No pair is known for 'a', so 'b' is a literal.
        Encoder e(12, 13, 16);
        e.encode(data, kLevels[1]);
        SymbolReader r(e.stream.writer);
        for (uint32_t s : {'a', 'b', 'c', 'd', 'a', 'b'}) EXPECT_EQ(r.symbol(), s);
    }
    for (int i = 0; i < 90; ++i) data.insert(data.end(), {'a', 'b', 'c', 'd'});
    for (int level = 1; level < 6; ++level) {
        // 400 bytes: the match at 5 is 387 long, beyond the look-ahead band, taken at once.
        Encoder e(12, 13, 16);
        e.encode(data, kLevels[level]);
        SymbolReader r(e.stream.writer);
        for (uint32_t s : {'a', 'b', 'c', 'd', 'a'}) EXPECT_EQ(r.symbol(), s);
        EXPECT_EQ(r.symbol(), 256u + 28); // slot 28: base 256, 8 extra bits
        EXPECT_EQ(r.bits(8), 387u - 4 - 256);
        EXPECT_EQ(r.distanceSlot(), 1u);
    }
}

TEST(EncodeChunk, OversizedChunkIsAnAssertion) {
    Encoder e(12, 13, 16);
    std::vector<uint8_t> data(65537, 0);
    EXPECT_ASSERT_STOP(e.encode(data, kLevels[0]), kContextLzSource, 315);
}

// ---- Reference parse --------------------------------------------------------------------------
// Every rule in its plainest form: tables cleared completely, byte-by-byte comparisons, every
// split point searched with its full budget, no early exits beyond the stated ones.

class ReferenceEncoder {
  public:
    ReferenceEncoder(uint32_t tableBits, uint32_t hashBits, uint32_t windowBits)
        : tb_(tableBits), hb_(hashBits), wb_(windowBits) {
        slots_.configure(tableBits, hashBits, windowBits);
        slots_.allocateDecoder(); // for the slot tables only
        symbols_.reset();
        distances_.reset();
        size_t ts = size_t(1) << tb_;
        for (int c = 0; c < 256; ++c) {
            entries_[c].resize(ts);
            links_[c].resize(ts);
            buckets_[c].resize(size_t(1) << hb_);
        }
    }

    void encode(const uint8_t* data, int32_t len, BitWriter& w, const Level& lv) {
        data_ = data;
        len_ = len;
        for (int c = 0; c < 256; ++c) {
            std::fill(entries_[c].begin(), entries_[c].end(), -1);
            std::fill(links_[c].begin(), links_[c].end(), 0xFFFF);
            std::fill(buckets_[c].begin(), buckets_[c].end(), 0xFFFF);
            head_[c] = 0;
        }
        int32_t p = 0;
        for (; p < len && p < 4; ++p) {
            if (len >= 13) insert(p);
            code(symbols_, data[p], w);
            w.checkpoint();
        }
        std::vector<uint32_t> pairMemory(256, 0);
        std::vector<int32_t> nearest(2049, 0);
        int32_t skipStep = 0, missCount = 0;
        while (p < len - 8) {
            int32_t d = 0, D = 0;
            if (skipStep == 0 || p % (2 * skipStep) == 0) {
                auto [length, distance] = search(p, lv.chain, lv.mode == 2, nearest);
                d = length;
                D = distance;
                if (d < 4) {
                    if (++missCount == 128) {
                        missCount = 0;
                        skipStep = skipStep == 0 ? 1 : 2 * skipStep;
                        if (skipStep > 4096) skipStep /= 2;
                    }
                } else {
                    missCount = 0;
                    skipStep /= 2;
                }
            }
            if (lv.lookahead >= 1 && d >= 4 && d <= 127) {
                if (lv.mode == 0) {
                    if (tailProbe(p + 1, lv.lookahead, d - 3, word(p + d - 2)) ||
                        tailProbe(p + 2, lv.lookahead, d - 3, word(p + d - 1)))
                        d = 0;
                } else {
                    std::vector<int32_t> unused(2049);
                    auto [l0, d0] = search(p + d, lv.chain, false, unused);
                    int32_t bestTotal = score(d, D) + score(l0, d0);
                    int32_t chosen = d;
                    for (int32_t h = d; h >= 1; --h) {
                        auto [lh, dh] = search(p + h, lv.lookahead, false, unused);
                        int32_t total = score(h, D) + score(lh, dh);
                        if (total > bestTotal) {
                            bestTotal = total;
                            chosen = h;
                        }
                    }
                    d = chosen;
                    if (lv.mode == 2 && d >= 4) D = nearest[d];
                }
            }
            insert(p);
            if (d >= 4) {
                EXPECT_LE(p + d, len - 8);
                uint32_t s = slots_.lengthSlotOf[d - 4];
                code(symbols_, 256 + s, w);
                if (slots_.lengthExtraBits[s] > 0)
                    w.put(d - 4 - slots_.lengthBase[s], slots_.lengthExtraBits[s]);
                uint32_t t = slots_.distanceSlotOf[D];
                code(distances_, t, w);
                if (slots_.distanceExtraBits[t] > 0)
                    w.put(D - slots_.distanceBase[t], slots_.distanceExtraBits[t]);
                p += d;
            } else {
                uint32_t x = pairMemory[data[p - 1]] ^ (((data[p] << 8) | data[p + 1]) * 0x10001u);
                if ((x & 0xFFFF) == 0) {
                    code(symbols_, 287, w);
                    p += 2;
                } else if ((x >> 16) == 0) {
                    code(symbols_, 288, w);
                    p += 2;
                } else {
                    code(symbols_, data[p], w);
                    p += 1;
                }
            }
            pairMemory[data[p - 3]] =
                (pairMemory[data[p - 3]] << 16) | (data[p - 2] << 8) | data[p - 1];
            w.checkpoint();
        }
        for (; p < len; ++p) {
            code(symbols_, data[p], w);
            w.checkpoint();
        }
    }

  private:
    template <int N> void code(HuffmanCoder<N>& model, uint32_t s, BitWriter& w) {
        model.tick();
        model.encode(s, w);
        model.update(s);
    }
    uint32_t word(int32_t p) const {
        return data_[p] | data_[p + 1] << 8 | data_[p + 2] << 16 | uint32_t(data_[p + 3]) << 24;
    }
    int32_t score(int32_t l, int32_t d) const { return l < 4 ? (3 << tb_) - 7 : (l << tb_) - d; }
    int32_t cap(int32_t p) const { return std::min(2048, (len_ - 8) - p); }
    uint32_t mask() const { return (1u << tb_) - 1; }
    uint32_t positionMask() const { return (1u << wb_) - 1; }
    int context(int32_t p) const { return p == 0 ? 0 : data_[p - 1]; }
    uint32_t bucketOf(int32_t p) const {
        uint32_t h = word(p) * 2654435761u;
        return ((h >> (32 - hb_)) ^ data_[p]) & ((1u << hb_) - 1);
    }
    uint32_t tagOf(int32_t p) const { return (word(p) * 2654435761u) >> (wb_ + 1); }

    void insert(int32_t p) {
        int c = context(p);
        uint32_t b = bucketOf(p);
        links_[c][head_[c]] = buckets_[c][b];
        buckets_[c][b] = head_[c];
        entries_[c][head_[c]] = int32_t(uint32_t(p) | tagOf(p) << wb_);
        head_[c] = uint16_t((head_[c] + 1) & mask());
    }

    std::pair<int32_t, int32_t> search(int32_t p, int32_t k, bool record,
                                       std::vector<int32_t>& nearest) const {
        int c = context(p);
        uint32_t i = buckets_[c][bucketOf(p)];
        if (i == 0xFFFF || k == 0) return {0, 0};
        int32_t best = record ? 3 : 0;
        int64_t bestIndex = -1;
        int32_t examined = 0;
        const int32_t mc = cap(p);
        for (;;) {
            uint32_t e = uint32_t(entries_[c][i]);
            int32_t cp = int32_t(e & positionMask());
            uint32_t next = links_[c][i];
            ++examined;
            if ((e >> wb_) == tagOf(p) && data_[cp + best] == data_[p + best] &&
                word(cp) == word(p)) {
                int32_t l = mc < 4 ? mc : 4;
                while (l < mc && data_[cp + l] == data_[p + l]) ++l;
                if (l > best) {
                    if (record)
                        for (int32_t j = best + 1; j <= l; ++j)
                            nearest[j] = int32_t((head_[c] - i) & mask());
                    best = l;
                    bestIndex = i;
                }
                if (l == mc) break;
            }
            if (next == 0xFFFF || int32_t(uint32_t(entries_[c][next]) & positionMask()) >= cp ||
                examined == k)
                break;
            i = next;
        }
        if (best < 4 || bestIndex < 0) return {best < 4 ? best : 0, 0};
        return {best, int32_t((head_[c] - uint32_t(bestIndex)) & mask())};
    }

    bool tailProbe(int32_t q, int32_t budget, int32_t offset, uint32_t w) const {
        int c = context(q);
        uint32_t i = buckets_[c][bucketOf(q)];
        if (i == 0xFFFF) return false;
        for (int32_t n = 1;; ++n) {
            int32_t cp = int32_t(uint32_t(entries_[c][i]) & positionMask());
            if (word(cp + offset) == w) return true;
            uint32_t next = links_[c][i];
            if (next == 0xFFFF || int32_t(uint32_t(entries_[c][next]) & positionMask()) >= cp ||
                n == budget)
                return false;
            i = next;
        }
    }

    uint32_t tb_, hb_, wb_;
    ContextLz slots_;
    HuffmanCoder<289> symbols_;
    HuffmanCoder<60> distances_;
    std::vector<int32_t> entries_[256];
    std::vector<uint16_t> links_[256], buckets_[256];
    uint16_t head_[256] = {};
    const uint8_t* data_ = nullptr;
    int32_t len_ = 0;
};

// Data with every kind of structure the parse reacts to: text, runs, periodic records,
// incompressible stretches long enough to start skipping, and repeats after them.
std::vector<uint8_t> mixedData(size_t n, uint32_t seed) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> text = testing::textLikeBytes(n + 4000, seed);
    std::vector<uint8_t> noise = testing::randomBytes(n + 4000, seed + 1);
    size_t t = 0, r = 0;
    uint32_t x = seed;
    while (out.size() < n) {
        x = x * 1103515245u + 12345u;
        size_t piece = 16 + (x >> 16) % 3000;
        switch ((x >> 8) % 5) {
        case 0:
            out.insert(out.end(), text.begin() + t % n, text.begin() + t % n + piece / 2);
            t += piece;
            break;
        case 1:
            out.insert(out.end(), noise.begin() + r % n, noise.begin() + r % n + piece);
            r += piece;
            break;
        case 2:
            out.insert(out.end(), piece, uint8_t(x >> 24));
            break;
        case 3:
            for (size_t i = 0; i < piece; ++i) out.push_back(uint8_t((i % 12) * 7 + (i / 12) % 3));
            break;
        default:
            if (out.size() > 5000) {
                size_t from = (x >> 3) % (out.size() - 4000);
                std::vector<uint8_t> copy(out.begin() + from, out.begin() + from + piece % 4000);
                out.insert(out.end(), copy.begin(), copy.end());
            }
        }
    }
    out.resize(n);
    return out;
}

struct Setting {
    uint32_t tableBits, hashBits, windowBits;
};

TEST(EncodeChunk, MatchesThePlainParseBitForBit) {
    const Setting settings[] = {{12, 13, 17}, {7, 7, 16}, {9, 11, 16}, {12, 17, 18}};
    std::vector<std::vector<uint8_t>> chunks = {mixedData(70000, 1),
                                                testing::textLikeBytes(40000, 2),
                                                mixedData(131072, 3),
                                                std::vector<uint8_t>(20000, 0),
                                                testing::randomBytes(30000, 4),
                                                mixedData(13, 5),
                                                mixedData(21, 6)};
    for (const Setting& s : settings) {
        for (int level = 0; level < 6; ++level) {
            Encoder fast(s.tableBits, s.hashBits, s.windowBits);
            TempStream plainStream;
            ReferenceEncoder plain(s.tableBits, s.hashBits, s.windowBits);
            for (const auto& chunk : chunks) {
                if (chunk.size() > (size_t(1) << s.windowBits)) continue;
                fast.encode(chunk, kLevels[level]);
                plain.encode(chunk.data(), int32_t(chunk.size()), plainStream.writer,
                             kLevels[level]);
            }
            EXPECT_EQ(fast.stream.finish(), plainStream.finish())
                << "table " << s.tableBits << " hash " << s.hashBits << " level " << level + 1;
        }
    }
}

TEST(EncodeChunk, SkippingReachesItsLargestStepAndRecovers) {
    // 128 misses at each step from 1 to 4096 take about a megabyte of noise; text follows.
    std::vector<uint8_t> chunk = testing::randomBytes(1300000, 7);
    std::vector<uint8_t> text = testing::textLikeBytes(200000, 8);
    chunk.insert(chunk.end(), text.begin(), text.end());
    for (int level : {0, 3}) {
        Encoder fast(12, 13, 21);
        TempStream plainStream;
        ReferenceEncoder plain(12, 13, 21);
        fast.encode(chunk, kLevels[level]);
        plain.encode(chunk.data(), int32_t(chunk.size()), plainStream.writer, kLevels[level]);
        EXPECT_EQ(fast.stream.finish(), plainStream.finish()) << "level " << level + 1;
    }
}

} // namespace
} // namespace qzn
