#include "CodecSupport.h"
#include "ContextLz.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace qzn {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Writes tokens exactly as the block format lays them out, with its own pair of models reset
// like the decoder's. The slot tables come from a codec object.
class StreamWriter {
  public:
    // With a file, checkpoints write full segments to it, as in an archive.
    explicit StreamWriter(const ContextLz& codec, FILE* file = nullptr) : codec_(codec) {
        symbols_->reset();
        distances_->reset();
        writer_.file = file;
        writer_.openBuffer();
    }

    void symbol(uint32_t s) {
        symbols_->tick();
        symbols_->encode(s, writer_);
        symbols_->update(s);
    }
    void distanceSlot(uint32_t d) {
        distances_->tick();
        distances_->encode(d, writer_);
        distances_->update(d);
    }
    void bits(uint32_t value, int32_t count) {
        if (count > 16) {
            writer_.put(value & 0xFFFF, 16);
            value >>= 16;
            count -= 16;
        }
        if (count > 0) writer_.put(value, uint32_t(count));
    }
    void end() { writer_.checkpoint(); }
    void flush() { writer_.flush(); }

    void literal(uint8_t b) {
        symbol(b);
        end();
    }
    void literals(const std::string& text) {
        for (char c : text) literal(uint8_t(c));
    }
    void pair(uint32_t s) {
        symbol(s);
        end();
    }
    void match(int32_t length, int32_t distance) {
        const int ls = codec_.lengthSlotOf[length - 4];
        symbol(256 + uint32_t(ls));
        bits(uint32_t(length - 4 - codec_.lengthBase[ls]), codec_.lengthExtraBits[ls]);
        const int ds = codec_.distanceSlotOf[distance];
        distanceSlot(uint32_t(ds));
        bits(uint32_t(distance - codec_.distanceBase[ds]), codec_.distanceExtraBits[ds]);
        end();
    }

    uint32_t bitCount() const { return writer_.bitPosition; }
    Bytes bytes() const {
        return Bytes(writer_.buffer, writer_.buffer + (writer_.bitPosition + 7) / 8);
    }

  private:
    const ContextLz& codec_;
    std::unique_ptr<HuffmanCoder<289>> symbols_ = std::make_unique<HuffmanCoder<289>>();
    std::unique_ptr<HuffmanCoder<60>> distances_ = std::make_unique<HuffmanCoder<60>>();
    BitWriter writer_;
};

// A decoder side codec with a reader whose buffer holds the stream under test.
class Decoder {
  public:
    explicit Decoder(uint32_t tableBits = 12, uint32_t windowBits = 16) {
        codec->configure(tableBits, 13, windowBits);
        codec->allocateDecoder();
        reader.openBuffer();
    }
    void load(const Bytes& stream) {
        std::memset(reader.buffer, 0, kBitBufferBytes);
        std::copy_n(stream.begin(), std::min<size_t>(stream.size(), kBitBufferBytes),
                    reader.buffer);
        reader.bitPosition = 0;
    }
    // The output buffer is exactly len bytes, so that any store past it is caught by the
    // sanitizer build.
    Bytes decode(int32_t len) {
        Bytes out(static_cast<size_t>(len));
        codec->decodeChunk(out.data(), len, reader);
        return out;
    }

    std::unique_ptr<ContextLz> codec = std::make_unique<ContextLz>();
    BitReader reader;
};

// A brute-force reference parse mirroring the block format: the longest match over every
// filled ring slot of the context, else a pair, else a literal. Independent of the real encoder.
void encodeReference(const Bytes& data, StreamWriter& w, const ContextLz& codec,
                     int32_t maxLength = 2048) {
    const int32_t len = int32_t(data.size());
    const int32_t size = codec.tableSize, mask = codec.tableMask;
    std::vector<int32_t> rings(size_t(256 * size), -1);
    int32_t heads[256] = {}, filled[256] = {};
    uint32_t pairMemory[256] = {};
    auto append = [&](int c, int32_t p) {
        rings[size_t(c * size + heads[c])] = p;
        heads[c] = (heads[c] + 1) & mask;
        filled[c] = std::min(filled[c] + 1, size);
    };
    int32_t p = 0;
    for (; p < 4 && p < len; ++p) {
        w.literal(data[size_t(p)]);
        append(p == 0 ? 0 : data[size_t(p - 1)], p);
    }
    while (p < len - 8) {
        const int c = data[size_t(p - 1)];
        const int32_t cap = std::min(maxLength, len - 8 - p);
        int32_t bestLength = 0, bestDistance = 0;
        for (int32_t d = 1; d <= filled[c]; ++d) {
            const int32_t h = rings[size_t(c * size + ((heads[c] - d) & mask))];
            int32_t n = 0;
            while (n < cap && data[size_t(h + n)] == data[size_t(p + n)]) ++n;
            if (n > bestLength) bestLength = n, bestDistance = d & mask;
        }
        append(c, p);
        if (bestLength >= 4) {
            w.match(bestLength, bestDistance);
            p += bestLength;
        } else {
            const uint32_t x =
                pairMemory[c] ^
                (((uint32_t(data[size_t(p)]) << 8) | data[size_t(p + 1)]) * 0x10001u);
            if ((x & 0xFFFF) == 0 || (x >> 16) == 0) {
                w.pair((x & 0xFFFF) == 0 ? 287 : 288);
                p += 2;
            } else {
                w.literal(data[size_t(p)]);
                p += 1;
            }
        }
        uint32_t& m = pairMemory[data[size_t(p - 3)]];
        m = (m << 16) | (uint32_t(data[size_t(p - 2)]) << 8) | data[size_t(p - 1)];
    }
    for (; p < len; ++p) {
        w.literal(data[size_t(p)]);
        append(data[size_t(p - 1)], p);
    }
}

using testing::mixedData;

// ---- Worked examples --------------------------------------------------------------------------

TEST(CodecDecoder, ThirteenZeroBytes) {
    Decoder d;
    StreamWriter w(*d.codec);
    for (int i = 0; i < 4; ++i) w.literal(0);
    w.pair(287);
    for (int i = 0; i < 7; ++i) w.literal(0);
    d.load(w.bytes());
    EXPECT_EQ(d.decode(13), Bytes(13, 0));
    EXPECT_EQ(d.reader.bitPosition, w.bitCount());
}

TEST(CodecDecoder, EmptyChunkReadsNothing) {
    Decoder d;
    d.load(Bytes{0xFF, 0xFF});
    EXPECT_TRUE(d.decode(0).empty());
    EXPECT_EQ(d.reader.bitPosition, 0u);
    EXPECT_EQ(d.codec->symbolModel.rebuildCountdown, 512u);
}

TEST(CodecDecoder, ShortChunksAreLiteralsOnly) {
    for (int32_t len = 1; len <= 12; ++len) {
        Decoder d;
        StreamWriter w(*d.codec);
        const Bytes data = testing::randomBytes(size_t(len), uint32_t(len));
        for (uint8_t b : data) w.literal(b);
        d.load(w.bytes());
        EXPECT_EQ(d.decode(len), data) << len;
        EXPECT_EQ(d.reader.bitPosition, w.bitCount()) << len;
    }
}

TEST(CodecDecoder, OverlappingCopyOfOneByte) {
    // h = j - 1, n = 5: position 5 follows 'e', so at j = 6 the newest token after 'e' is 5.
    Decoder d;
    StreamWriter w(*d.codec);
    w.literals("abcdee");
    w.match(5, 1);
    w.literals("12345678");
    d.load(w.bytes());
    EXPECT_EQ(d.decode(19), bytesOf("abcdeeeeeee12345678"));
}

TEST(CodecDecoder, OverlappingCopyOfThreeBytes) {
    // h = j - 3, n = 7: position 5 follows 'x', and so does j = 8.
    Decoder d;
    StreamWriter w(*d.codec);
    w.literals("abcdxpqx");
    w.match(7, 1);
    w.literals("12345678");
    d.load(w.bytes());
    EXPECT_EQ(d.decode(23), bytesOf("abcdxpqxpqxpqxp12345678"));
}

TEST(CodecDecoder, DistancesCountTokenStartsOfTheContext) {
    // Tokens after 'z' start at 5 ("AAAA"), 10 ("BBBB") and 15 ("CCCC"); the match at 20 also
    // follows 'z', and distance 2 names the second newest, 10.
    Decoder d;
    StreamWriter w(*d.codec);
    w.literals("abcdzAAAAzBBBBzCCCCz");
    w.match(4, 2);
    w.literals("12345678");
    d.load(w.bytes());
    EXPECT_EQ(d.decode(32), bytesOf("abcdzAAAAzBBBBzCCCCzBBBB12345678"));
}

TEST(CodecDecoder, PairMemoryKeepsTwoPairsPerByte) {
    // After "xAB" and "xCD" the byte x holds CD (newer) over AB (older).
    for (uint32_t first : {287u, 288u}) {
        for (uint32_t second : {287u, 288u}) {
            Decoder d;
            StreamWriter w(*d.codec);
            w.literals("abcdxABxCDx");
            w.pair(first);
            w.literal('x');
            w.pair(second);
            w.literals("12345678");
            d.load(w.bytes());
            // 287 gives CD; 288 gives AB, which then becomes the newest pair of x.
            std::string expected = "abcdxABxCDx";
            expected += first == 287 ? "CD" : "AB";
            expected += "x";
            if (first == 287)
                expected += "CD"; // x: CD over CD
            else
                expected += second == 287 ? "AB" : "CD"; // x: AB over CD
            expected += "12345678";
            EXPECT_EQ(d.decode(24), bytesOf(expected)) << first << " " << second;
        }
    }
}

TEST(CodecDecoder, PairWithoutRecordingGivesZeros) {
    Decoder d;
    StreamWriter w(*d.codec);
    w.literals("abcd");
    w.pair(288);
    w.pair(287);
    w.literals("12345678");
    d.load(w.bytes());
    EXPECT_EQ(d.decode(16),
              (Bytes{'a', 'b', 'c', 'd', 0, 0, 0, 0, '1', '2', '3', '4', '5', '6', '7', '8'}));
}

TEST(CodecDecoder, LongestMatchAndMatchEndingAtChunkEnd) {
    // A run of 2048 copied bytes (slot 30, extra 1020), then a match that ends exactly at the
    // chunk's last byte: accepted, and no store may pass the end of the exact-size buffer.
    for (int32_t endGap : {8, 7, 3, 1, 0}) {
        Decoder d;
        StreamWriter w(*d.codec);
        w.literals("abcdqq");
        w.match(2048, 1);
        const int32_t len = 6 + 2048 + 20;
        // Position 2054 follows 'q'; the ring of 'q' holds 6 as its newest entry.
        const int32_t n = len - 2054 - endGap;
        w.match(n, 1);
        for (int32_t i = 0; i < endGap; ++i) w.literal('z');
        d.load(w.bytes());
        Bytes expected = bytesOf("abcd");
        expected.insert(expected.end(), size_t(len - 4 - endGap), 'q');
        expected.insert(expected.end(), size_t(endGap), 'z');
        EXPECT_EQ(d.decode(len), expected) << endGap;
        EXPECT_EQ(d.reader.bitPosition, w.bitCount());
    }
}

TEST(CodecDecoder, ReferenceStreamsRoundTrip) {
    for (uint32_t tableBits : {7u, 9u, 12u}) {
        for (int32_t len : {13, 14, 20, 100, 777, 5000}) {
            SCOPED_TRACE(::testing::Message() << "tableBits " << tableBits << " len " << len);
            Decoder d(tableBits);
            StreamWriter w(*d.codec);
            const Bytes data = mixedData(size_t(len), uint32_t(len) + tableBits);
            encodeReference(data, w, *d.codec);
            if (len >= 777) {
                EXPECT_LT(w.bitCount(), uint32_t(len) * 4); // matches were coded
            }
            d.load(w.bytes());
            EXPECT_EQ(d.decode(len), data);
            EXPECT_EQ(d.reader.bitPosition, w.bitCount());
        }
    }
}

TEST(CodecDecoder, WrappedRingDistanceZeroIsTheOldestSlot) {
    // tableBits 7: 128 tokens after 'x', each a distinct literal pair "xN"; then distance 0
    // names the first of them.
    Decoder d(7);
    StreamWriter w(*d.codec);
    std::string text = "abcd";
    for (int i = 0; i < 128; ++i) text += std::string("x") + char(0x80 + i);
    text += "x"; // the match at 261 follows 'x' again
    w.literals(text);
    text += std::string(1, char(0x80)) + "x" + char(0x81) + "x";
    w.match(4, 0); // copies "\x80x\x81x" from position 5
    w.literals("12345678");
    text += "12345678";
    d.load(w.bytes());
    EXPECT_EQ(d.decode(int32_t(text.size())), bytesOf(text));
}

TEST(CodecDecoder, ChunksShareModelsButNotRings) {
    Decoder d(9);
    StreamWriter w(*d.codec);
    const Bytes first = mixedData(3000, 1), second = mixedData(2000, 2);
    encodeReference(first, w, *d.codec);
    const uint32_t secondStart = w.bitCount();
    encodeReference(second, w, *d.codec);
    d.load(w.bytes());
    EXPECT_EQ(d.decode(3000), first);
    EXPECT_EQ(d.reader.bitPosition, secondStart);
    EXPECT_EQ(d.decode(2000), second);
    EXPECT_EQ(d.reader.bitPosition, w.bitCount());

    // The same chunk encoded with fresh models reads differently from the carried-over ones.
    Decoder fresh(9);
    StreamWriter alone(*fresh.codec);
    encodeReference(second, alone, *fresh.codec);
    const Bytes all = w.bytes();
    Bytes carried((w.bitCount() - secondStart + 7) / 8, 0);
    for (uint32_t i = 0; secondStart + i < w.bitCount(); ++i)
        carried[i / 8] |=
            uint8_t(((all[(secondStart + i) / 8] >> ((secondStart + i) % 8)) & 1) << (i % 8));
    EXPECT_NE(alone.bytes(), carried);
}

TEST(CodecDecoder, FollowedChunksLeaveTheModelsAsDecodedOnes) {
    // Three chunks, the middle one across segment boundaries; following any of them instead of
    // decoding it leaves the reader and the models where the next chunk expects them.
    const int32_t lengths[] = {3000, 700000, 2000};
    Bytes chunks[3];
    Decoder d(9, 20);
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        StreamWriter w(*d.codec, file);
        for (int c = 0; c < 3; ++c) {
            chunks[c] = mixedData(size_t(lengths[c]), uint32_t(c + 7));
            encodeReference(chunks[c], w, *d.codec);
        }
        w.flush();
    }
    uint32_t ends[3] = {};
    for (int followed = -1; followed < 3; ++followed) {
        SCOPED_TRACE(followed);
        std::rewind(file);
        Decoder r(9, 20);
        r.reader.file = file;
        r.reader.loadSegment();
        for (int c = 0; c < 3; ++c) {
            if (c == followed)
                r.codec->followChunk(lengths[c], r.reader);
            else
                EXPECT_EQ(r.decode(lengths[c]), chunks[c]);
            if (followed < 0) ends[c] = r.reader.bitPosition;
            EXPECT_EQ(r.reader.bitPosition, ends[c]);
        }
        EXPECT_FALSE(r.reader.truncated);
    }
    std::fclose(file);
}

// ---- Recorded tokens, rebuilt elsewhere ------------------------------------------------------

// How a chunk ended: its bytes and the reader's position, or the check that stopped it.
struct Outcome {
    Bytes bytes;
    uint32_t position = 0;
    std::string stop;
};

std::string stopLine(const char* source, int line) {
    return std::string(source) + ":" + std::to_string(line);
}

Outcome decodedOutcome(Decoder& d, int32_t len) {
    Outcome o;
    const auto r = testing::runCapturingStop([&] { o.bytes = d.decode(len); });
    if (r.stopped) {
        const std::string prefix = "Assert failed\n";
        o.stop = r.output.substr(r.output.find(prefix) + prefix.size());
        o.stop.pop_back(); // the newline
        o.bytes.clear();
    }
    o.position = r.stopped ? 0 : d.reader.bitPosition;
    return o;
}

// Follows with recording, then rebuilds in a buffer of just the size the length needs; a stop of
// the rebuild comes before one of the follower, as the pipeline raises them.
Outcome rebuiltOutcome(Decoder& d, int32_t len) {
    Outcome o;
    ChunkTokens chunk;
    chunk.bytes = LargeBuffer(ChunkTokens::capacityFor(len));
    std::string followStop;
    try {
        DeferAsserts deferred;
        d.codec->followChunk(len, d.reader, chunk);
    } catch (const DeferredAssert& a) {
        followStop = stopLine(a.source, a.line);
    }
    try {
        DeferAsserts deferred;
        d.codec->rebuildChunk(chunk, len);
    } catch (const DeferredAssert& a) {
        o.stop = stopLine(a.source, a.line);
    }
    if (o.stop.empty()) o.stop = followStop;
    if (o.stop.empty()) {
        o.bytes.assign(chunk.bytes.get(), chunk.bytes.get() + std::max(len, 0));
        o.position = d.reader.bitPosition;
    }
    return o;
}

void expectSameOutcome(const Outcome& rebuilt, const Outcome& decoded) {
    EXPECT_EQ(rebuilt.stop, decoded.stop);
    EXPECT_TRUE(rebuilt.bytes == decoded.bytes) << "bytes differ";
    EXPECT_EQ(rebuilt.position, decoded.position);
}

TEST(CodecDecoder, RebuiltChunksAreTheDecodedOnes) {
    // Chunks of the real encoder at three levels, in a row so that the models carry over: the
    // densest token lists (incompressible bytes, after a stretch that compresses to almost
    // nothing, which leaves the rebuild's writes closest to the tokens it has not read), runs
    // longer than a header holds, pairs, and the short chunks without a token section.
    std::mt19937 rng(99);
    Bytes dense(30000, 0);
    for (size_t i = 15000; i < dense.size(); ++i) dense[i] = uint8_t(rng());
    const std::vector<Bytes> chunks = {dense,
                                       testing::randomBytes(20000, 5),
                                       mixedData(40000, 6),
                                       Bytes(5, 'a'),
                                       Bytes(12, 'b'),
                                       mixedData(13, 7),
                                       Bytes(20000, 'z'),
                                       mixedData(777, 8)};
    // The decoder's loops are built twice (for any processor and with BMI2): each build decodes
    // while the other follows and rebuilds.
    for (int level : {0, 1, 5})
        for (bool decodeWithBmi2 : {false, true}) {
            SCOPED_TRACE(::testing::Message()
                         << "level " << level << (decodeWithBmi2 ? ", BMI2" : ""));
            ContextLz encoder;
            encoder.configure(12, 13, 16);
            encoder.allocateEncoder();
            BitWriter writer;
            writer.openBuffer();
            for (const Bytes& c : chunks)
                encoder.encodeChunk(
                    c.data(), int32_t(c.size()), writer, testing::kLevels[level].chainLimit,
                    testing::kLevels[level].lookaheadLimit, testing::kLevels[level].parseMode);
            const Bytes stream(writer.buffer, writer.buffer + (writer.bitPosition + 7) / 8);
            Decoder decoded, rebuilt;
            decoded.codec->useBmi2 = decodeWithBmi2 && cpuHasBmi2();
            rebuilt.codec->useBmi2 = !decodeWithBmi2 && cpuHasBmi2();
            decoded.load(stream);
            rebuilt.load(stream);
            for (const Bytes& c : chunks) {
                const Outcome expected = decodedOutcome(decoded, int32_t(c.size()));
                ASSERT_TRUE(expected.bytes == c);
                expectSameOutcome(rebuiltOutcome(rebuilt, int32_t(c.size())), expected);
            }
        }
}

TEST(CodecDecoder, DamagedChunksStopTheRebuildWhereDecodingStops) {
    // Random streams and damaged valid ones, two chunks each so that the models carry damage
    // over: following and rebuilding stop at the same check as decoding (the rebuild's first,
    // as its tokens come earlier), or give the same bytes. Decoding takes turns between the
    // loops' two builds (for any processor and with BMI2), following and rebuilding the other.
    std::mt19937 rng(777);
    const int32_t lengths[] = {0, 1, 5, 12, 13, 21, 64, 300, 1000, 4000};
    std::map<std::string, int> stops;
    for (uint32_t tableBits : {7u, 10u, 12u}) {
        std::vector<Bytes> valid;
        for (int32_t len : {500, 4000}) {
            Decoder fresh(tableBits, 12);
            StreamWriter w(*fresh.codec);
            encodeReference(mixedData(size_t(len), rng()), w, *fresh.codec);
            encodeReference(mixedData(size_t(len), rng()), w, *fresh.codec);
            valid.push_back(w.bytes());
        }
        for (int i = 0; i < 400; ++i) {
            Bytes stream;
            int32_t len[2];
            if (i % 2 == 0) {
                stream = testing::randomBytes(rng() % 3000, rng());
                len[0] = lengths[rng() % std::size(lengths)];
                len[1] = lengths[rng() % std::size(lengths)];
            } else {
                const size_t which = rng() % valid.size();
                stream = valid[which];
                for (int flips = 1 + int(rng() % 3); flips > 0; --flips)
                    stream[rng() % stream.size()] ^= uint8_t(1u << (rng() % 8));
                len[0] = len[1] = which == 0 ? 500 : 4000;
                if (i % 3 == 0) len[1] -= int32_t(rng() % 20); // matches overrun the chunk
            }
            Decoder decoded(tableBits, 12), rebuilt(tableBits, 12);
            decoded.codec->useBmi2 = i % 4 < 2 && cpuHasBmi2();
            rebuilt.codec->useBmi2 = i % 4 >= 2 && cpuHasBmi2();
            decoded.load(stream);
            rebuilt.load(stream);
            for (int32_t n : len) {
                const Outcome expected = decodedOutcome(decoded, n);
                expectSameOutcome(rebuiltOutcome(rebuilt, n), expected);
                if (!expected.stop.empty()) {
                    ++stops[expected.stop];
                    break;
                }
            }
        }
    }
    // Every kind of stop was met: the follower's and the rebuild's.
    for (int line : {509, 544, 549, 594}) EXPECT_GT(stops[stopLine(kContextLzSource, line)], 0);
}

// ---- Checks ---------------------------------------------------------------------------------

TEST(CodecDecoder, RingsAreClearedBetweenChunks) {
    // The second chunk refers to the context 'd' that only the first chunk filled.
    Decoder d;
    StreamWriter w(*d.codec);
    w.literals("abcddddd12345678");
    w.literals("abcd");
    w.match(4, 1);
    w.literals("12345678");
    d.load(w.bytes());
    EXPECT_EQ(d.decode(16), bytesOf("abcddddd12345678"));
    EXPECT_ASSERT_STOP(d.decode(16), kContextLzSource, 544);
}

TEST(CodecDecoder, SlotsFilledOnlyByAnEarlierChunkAreEmpty) {
    // The first chunk files positions 1..19 under 'x'. In the second, nothing has followed 'x'
    // when the match comes, and distance 4091 names ring slot 5, where the first chunk left
    // position 6: a position below j, but not one of this chunk.
    Decoder d;
    StreamWriter w(*d.codec);
    w.literals(std::string(20, 'x'));
    w.literals("abcdefghijklmnopqrstx");
    w.match(4, 4091);
    w.literals("12345678");
    d.load(w.bytes());
    EXPECT_EQ(d.decode(20), Bytes(20, 'x'));
    EXPECT_ASSERT_STOP(d.decode(33), kContextLzSource, 544);
}

TEST(CodecDecoder, OpeningLiteralAbove255) {
    for (uint32_t s : {256u, 286u, 287u, 288u}) {
        Decoder d;
        StreamWriter w(*d.codec);
        w.literals("ab");
        w.symbol(s);
        d.load(w.bytes());
        EXPECT_ASSERT_STOP(d.decode(20), kContextLzSource, 509);
    }
}

TEST(CodecDecoder, ClosingLiteralAbove255) {
    for (int32_t len : {5, 12, 13}) {
        Decoder d;
        StreamWriter w(*d.codec);
        w.literals(std::string(size_t(len - 1), 'a'));
        w.symbol(287);
        d.load(w.bytes());
        EXPECT_ASSERT_STOP(d.decode(len), kContextLzSource, 594);
    }
}

TEST(CodecDecoder, MatchFromEmptySlot) {
    {
        // Nothing has followed 'd' yet.
        Decoder d;
        StreamWriter w(*d.codec);
        w.literals("abcd");
        w.match(4, 1);
        d.load(w.bytes());
        EXPECT_ASSERT_STOP(d.decode(30), kContextLzSource, 544);
    }
    {
        // Distance 0 in a ring that has not wrapped.
        Decoder d;
        StreamWriter w(*d.codec);
        w.literals("aaaaaa");
        w.match(4, 0);
        d.load(w.bytes());
        EXPECT_ASSERT_STOP(d.decode(30), kContextLzSource, 544);
    }
    {
        // A distance from the slots no encoder produces: 18 extra bits, masked into the ring.
        Decoder d(7);
        StreamWriter w(*d.codec);
        w.literals("aaaaaa");
        w.symbol(256);
        w.distanceSlot(59);
        w.bits(0x3FFFF, 18);
        d.load(w.bytes());
        EXPECT_ASSERT_STOP(d.decode(30), kContextLzSource, 544);
    }
}

TEST(CodecDecoder, MatchPastChunkEnd) {
    Decoder d;
    StreamWriter w(*d.codec);
    w.literals("aaaa");
    w.match(10, 1); // 4 + 10 > 13
    d.load(w.bytes());
    EXPECT_ASSERT_STOP(d.decode(13), kContextLzSource, 549);
}

TEST(CodecDecoder, ChunkLongerThanCapacity) {
    Decoder d(12, 4);
    uint8_t buffer[17];
    EXPECT_ASSERT_STOP(d.codec->decodeChunk(buffer, 17, d.reader), kContextLzSource, 489);
}

TEST(CodecDecoder, CodesPastTheHardBoundReportTheBlockDecoderLine) {
    // No checkpoint runs before a chunk's first code, so a reader left at the bound stops there.
    Decoder d;
    d.load(Bytes{});
    d.reader.bitPosition = kBitHardBound;
    EXPECT_ASSERT_STOP(d.decode(20), kIoSource, 162);
}

TEST(CodecDecoder, WideTokensAroundTheCheckpointAtEveryBitOffset) {
    // Matches with 10 length bits and 18 distance bits (43 bits in all with their codes) cross
    // the checkpoint threshold at every bit offset of a token in turn; each segment switch must
    // come right after the token that crossed it, and each token's bits must be read whole.
    // These are the widest extra-bit fields: with two 14-bit codes a token reads at most 56 bits,
    // which the decoder serves from one 8-byte load.
    {
        Decoder d;
        EXPECT_EQ(*std::max_element(std::begin(d.codec->lengthExtraBits),
                                    std::end(d.codec->lengthExtraBits)),
                  10);
        EXPECT_EQ(*std::max_element(std::begin(d.codec->distanceExtraBits),
                                    std::end(d.codec->distanceExtraBits)),
                  18);
    }
    for (uint32_t lead = 0; lead < 64; ++lead) {
        SCOPED_TRACE(::testing::Message() << "lead " << lead);
        Decoder d(7);
        FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        StreamWriter w(*d.codec, file);
        const uint32_t start = kBitCheckpointThreshold - 200 + lead;
        for (uint32_t i = 0; i < start / 16; ++i) w.bits(0, 16);
        w.bits(0, int32_t(start % 16));
        w.literals("aaaa");
        int32_t len = 4;
        const ContextLz& c = *d.codec;
        for (uint32_t i = 0; i < 12; ++i) {
            // Length slot 30 and distance slot 59; the distance names slot 1 of the ring of 'a'.
            const uint32_t extra = (lead * 37 + i * 101) & 1023;
            w.symbol(256 + 30);
            w.bits(extra, c.lengthExtraBits[30]);
            w.distanceSlot(59);
            w.bits((uint32_t(1 - c.distanceBase[59]) & uint32_t(c.tableMask)) |
                       (0x3FFFFu & ~uint32_t(c.tableMask)),
                   c.distanceExtraBits[59]);
            w.end();
            len += 4 + c.lengthBase[30] + int32_t(extra);
        }
        w.literals("aaaaaaaa");
        len += 8;
        ASSERT_LT(w.bitCount(), start) << "no segment switch";
        const uint32_t end = w.bitCount();
        w.flush();

        std::rewind(file);
        d.reader.file = file;
        d.reader.loadSegment();
        d.reader.bitPosition = start;
        EXPECT_EQ(d.decode(len), Bytes(size_t(len), 'a'));
        EXPECT_EQ(d.reader.bitPosition, end);
        std::fclose(file);
        d.reader.file = nullptr;
    }
}

// ---- Untrusted input ------------------------------------------------------------------------

// Random segments and damaged valid streams must end in output or an assertion stop, never in
// a fault (run under the sanitizer build to see stray accesses).
TEST(CodecDecoder, RandomAndMutatedStreams) {
    std::mt19937 rng(12345);
    const int32_t lengths[] = {0, 1, 5, 12, 13, 21, 64, 300, 1000, 4000};
    int runs = 0, stops = 0;
    std::map<int, int> stopsByLine;
    for (uint32_t tableBits : {7u, 10u, 12u}) {
        Decoder d(tableBits, 12);
        // Valid streams to damage, each from a fresh writer like the decoder's first chunk.
        std::vector<std::pair<Bytes, int32_t>> valid;
        for (int32_t len : {40, 500, 4000}) {
            Decoder fresh(tableBits, 12);
            StreamWriter w(*fresh.codec);
            encodeReference(mixedData(size_t(len), rng()), w, *fresh.codec);
            valid.emplace_back(w.bytes(), len);
        }
        for (int i = 0; i < 1000; ++i) {
            Bytes stream;
            int32_t len;
            if (i % 2 == 0) {
                stream = testing::randomBytes(rng() % 3000, rng());
                len = lengths[rng() % std::size(lengths)];
            } else {
                const auto& [bytes, validLength] = valid[rng() % valid.size()];
                stream = bytes;
                for (int flips = 1 + int(rng() % 3); flips > 0; --flips)
                    stream[rng() % stream.size()] ^= uint8_t(1u << (rng() % 8));
                // Sometimes also a shorter chunk than was written, so matches overrun it.
                len = validLength - (i % 3 == 0 ? int32_t(rng() % 20) : 0);
            }
            if (i % 50 == 0) d.codec->allocateDecoder(); // fresh models now and then
            // The follower reads the same untrusted tokens: it may stop, never stray.
            d.load(stream);
            const auto followed =
                testing::runCapturingStop([&] { d.codec->followChunk(len, d.reader); });
            if (followed.stopped) {
                ASSERT_EQ(followed.status, kAssertStatus) << followed.output;
            }
            d.load(stream);
            const auto result = testing::runCapturingStop([&] { d.decode(len); });
            ++runs;
            if (result.stopped) {
                ++stops;
                ASSERT_EQ(result.status, kAssertStatus) << result.output;
                const std::string prefix = "Assert failed\nSource/ContextLz.cpp:";
                ASSERT_EQ(result.output.rfind(prefix, 0), 0u) << result.output;
                ++stopsByLine[std::stoi(result.output.substr(prefix.size()))];
            }
        }
    }
    // Damage is caught by every check, and some damaged streams still decode to the end.
    for (int line : {509, 544, 549, 594}) EXPECT_GT(stopsByLine[line], 0) << line;
    EXPECT_LT(stops, runs);
}

} // namespace
} // namespace qzn
