// The chunk encoder: one chunk becomes literals, pair tokens and matches, coded through the two
// models. encodeChunk does it in one pass; parseChunk and codeTokens do the same work in two steps,
// so that the parse (which needs no model) can run apart from the coding (which must follow chunk
// order), with identical bits.
//
// Only token starts enter the match finder, exactly as the decoder appends them to its rings, so
// a distance names the same slot on both sides. The look-ahead runs extra searches at nearby
// positions but never inserts; the adaptive-skipping bookkeeping sees only the search at the
// current position.
#include "ContextLz.h"
#include "ContextLz_MatchFinder.h"

#include <algorithm>
#include <new>

namespace qzn {

namespace {

constexpr int32_t kLookaheadMaxLength = 127; // longer matches are taken at once
constexpr int32_t kMissLimit = 128;
// How far ahead of the split-point walk (in positions) its bucket heads, newest entries and
// their bytes are requested.
constexpr int32_t kSplitBuckets = 16;
constexpr int32_t kSplitEntries = 8;
constexpr int32_t kSplitBytes = 4;
// A search that finds nothing usually starts a run of literals, whose searches go on one or two
// positions at a time: the bucket this far ahead is requested then.
constexpr int32_t kMissAhead = 8;
constexpr int32_t kMaxSkipStep = 4096;

// The look-ahead of a level, a parameter of the parse's template so that each level's loop
// carries only its own work.
enum class Lookahead { kNone, kQuick, kSplit, kSplitNearest };

template <Lookahead Mode, class Sink>
void parse(ContextLz& codec, const uint8_t* data, int32_t len, Sink& sink, int32_t chainLimit,
           int32_t lookaheadLimit) {
    QZN_CHECK(len <= codec.capacity, kContextLzSource, 315);
    MatchFinder finder(codec.tables, codec.tableBits, codec.hashBits, codec.windowBits, data, len);
    finder.clear();

    // Opening literals. In a chunk shorter than 13 bytes no search follows, so their insertions
    // could not matter; they are made only where the 4 hashed bytes lie inside the chunk.
    int32_t p = 0;
    for (; p < len && p < kOpeningLiterals; ++p) {
        if (p + 4 <= len) finder.insert(p, finder.hash(p));
        sink.literal(p);
    }

    uint32_t pairMemory[256] = {};
    int32_t nearestDistance[kMaxMatch + 1] = {};
    int32_t skipStep = 0;
    int32_t missCount = 0;
    const int32_t tokenEnd = len - kEndMargin;
    const int32_t noMatch = noMatchScore(codec.tableBits);
    const uint32_t tb = codec.tableBits;

    // Score of a look-ahead search at q, or `need` itself when that search cannot score above
    // need. A match of length L scores at most L << tableBits, so lengths up to need >> tableBits
    // cannot win; from a floor of 3 on a miss cannot win either, and the walk need only measure
    // longer candidates. The winning entry, when there is one, is the same as without a floor.
    auto lookaheadScore = [&](int32_t q, int32_t budget, int32_t need) {
        const int32_t floor = need >> tb;
        if (floor < 3) {
            MatchResult r = finder.search<false>(q, finder.hash(q), budget, 0, nullptr);
            return r.length < kMinMatch ? noMatch : score(r.length, r.distance, tb);
        }
        MatchResult r = finder.search<false>(q, finder.hash(q), budget, floor, nullptr);
        return r.length < kMinMatch ? need : score(r.length, r.distance, tb);
    };

    // The memory a search reads is rarely in cache: its bucket head, the chain's entries and
    // links, the candidates' bytes. Each is requested as soon as its address can be known
    // without changing a decision: the bucket of p + 1 (where a literal leads) one search
    // ahead, its hash kept for that search; after a search that found nothing, the bucket
    // kMissAhead positions on; the bucket where a match found leads, as soon as the search ends,
    // its hash kept too; the buckets and chains of the look-ahead's positions before they are
    // walked.
    PositionHash h = tokenEnd > p ? finder.hash(p) : PositionHash{};
    while (p < tokenEnd) {
        const int32_t at = p;
        const PositionHash next = finder.hash(p + 1);
        QZN_PREFETCH(finder.bucketOf(next));
        // The quick look-ahead probes p + 1 and p + 2 (whose bytes lie inside the chunk: p + 5 is
        // below len - 3).
        const PositionHash next2 = Mode == Lookahead::kQuick ? finder.hash(p + 2) : PositionHash{};
        if (Mode == Lookahead::kQuick) QZN_PREFETCH(finder.bucketOf(next2));
        int32_t d = 0;
        int32_t distance = 0;
        int32_t foundLength = 0; // what the search at p found, and the hash where it ends
        PositionHash atEnd{};

        // Adaptive skipping: after kMissLimit fruitless searches in a row, search only at
        // multiples of 2 * skipStep; every match found halves the step again.
        if (skipStep == 0 || (p & (2 * skipStep - 1)) == 0) {
            MatchResult r = Mode == Lookahead::kSplitNearest
                                ? finder.search<true>(p, h, chainLimit, 3, nearestDistance)
                                : finder.search<false>(p, h, chainLimit, 0, nullptr);
            d = r.length;
            distance = r.distance;
            if (d < kMinMatch) {
                d = 0;
                if (p + kMissAhead + 4 <= len)
                    QZN_PREFETCH(finder.bucketOf(finder.hash(p + kMissAhead)));
                if (++missCount == kMissLimit) {
                    missCount = 0;
                    skipStep = skipStep == 0 ? 1 : 2 * skipStep;
                    if (skipStep > kMaxSkipStep) skipStep /= 2;
                }
            } else {
                missCount = 0;
                skipStep /= 2;
                foundLength = d;
                atEnd = finder.hash(p + d);
                QZN_PREFETCH(finder.bucketOf(atEnd));
            }
        }

        if (Mode != Lookahead::kNone && d >= kMinMatch && d <= kLookaheadMaxLength) {
            if (Mode == Lookahead::kQuick) {
                // Quick check: would a match at p + 1 or p + 2 cover the 4 bytes just beyond
                // this one's end? The probes do not verify the start of such a match.
                if (finder.tailProbeEither(next, next2, lookaheadLimit, d - 3,
                                           loadWord32(data + p + d - 2),
                                           loadWord32(data + p + d - 1)))
                    d = 0;
            } else {
                // Split-point evaluation: take h bytes here and whatever the search at p + h
                // finds, for h = d down to 1; the longest h wins ties. These searches never
                // record nearest distances: the table must keep those of the search at p.
                const int32_t found = distance;
                // The walks at p + d, p + d - 1, ..., p + 1 follow; staged ahead of the walk,
                // first the bucket, then (once that is in) the newest entry, then its bytes.
                for (int32_t k = d; k >= 1 && k > d - kSplitBuckets; --k)
                    QZN_PREFETCH(finder.bucketOf(finder.hash(p + k)));
                auto stageSplit = [&](int32_t hLen) {
                    if (hLen > kSplitBuckets)
                        QZN_PREFETCH(finder.bucketOf(finder.hash(p + hLen - kSplitBuckets)));
                    if (hLen > kSplitEntries)
                        if (const int32_t* e =
                                finder.newestEntryOf(finder.hash(p + hLen - kSplitEntries)))
                            QZN_PREFETCH(e);
                    if (hLen > kSplitBytes)
                        if (const uint8_t* c =
                                finder.newestCandidateOf(finder.hash(p + hLen - kSplitBytes)))
                            QZN_PREFETCH(c);
                };
                MatchResult next = finder.search<false>(p + d, atEnd, chainLimit, 0, nullptr);
                int32_t bestTotal = score(d, found, tb) + score(next.length, next.distance, tb);
                int32_t chosen = d;
                // With a smaller budget the walk at p + d examines a prefix of the same chain
                // and cannot score higher, so h = d can only tie.
                const int32_t firstH = lookaheadLimit <= chainLimit ? d - 1 : d;
                for (int32_t hLen = firstH; hLen >= 1; --hLen) {
                    stageSplit(hLen);
                    const int32_t here = score(hLen, found, tb);
                    const int32_t need = bestTotal - here;
                    const int32_t s = lookaheadScore(p + hLen, lookaheadLimit, need);
                    if (here + s > bestTotal) {
                        bestTotal = here + s;
                        chosen = hLen;
                    }
                }
                d = chosen < kMinMatch ? 0 : chosen;
                if (d != 0)
                    distance = Mode == Lookahead::kSplitNearest ? nearestDistance[d] : found;
            }
        }

        finder.insert(p, h);
        if (d >= kMinMatch) {
            QZN_CHECK(p + d <= tokenEnd, kContextLzSource, 434);
            sink.match(d, distance);
            p += d;
        } else {
            const uint32_t pair = (uint32_t(data[p]) << 8) | data[p + 1];
            const uint32_t x = pairMemory[data[p - 1]] ^ (pair * 0x10001u);
            if ((x & 0xFFFF) == 0 || (x >> 16) == 0) {
                sink.pair((x & 0xFFFF) == 0 ? kPairNewer : kPairOlder);
                p += 2;
            } else {
                sink.literal(p);
                p += 1;
            }
        }
        uint32_t& memory = pairMemory[data[p - 3]];
        memory = (memory << 16) | (uint32_t(data[p - 2]) << 8) | data[p - 1];
        if (p < tokenEnd) h = p == at + 1 ? next : p == at + foundLength ? atEnd : finder.hash(p);
    }

    // Closing literals: no search follows, so their positions are not inserted.
    for (; p < len; ++p) sink.literal(p);
}

// Codes each token as the parse produces it.
struct CodingSink {
    ContextLz& codec;
    BitWriter& writer;
    const uint8_t* data;

    void symbol(uint32_t value) {
        codec.symbolModel.tick();
        codec.symbolModel.encode(value, writer);
        codec.symbolModel.update(value);
    }
    void literal(int32_t p) {
        symbol(data[p]);
        writer.checkpoint();
    }
    void pair(uint32_t which) {
        symbol(which);
        writer.checkpoint();
    }
    void match(int32_t length, int32_t distance) {
        const uint32_t slot = codec.lengthSlotOf[length - kMinMatch];
        codeWithExtra(codec.symbolModel, kFirstLengthSymbol + slot,
                      uint32_t(length - kMinMatch - codec.lengthBase[slot]),
                      uint32_t(codec.lengthExtraBits[slot]));
        const uint32_t dslot = codec.distanceSlotOf[distance];
        codeWithExtra(codec.distanceModel, dslot, uint32_t(distance - codec.distanceBase[dslot]),
                      uint32_t(codec.distanceExtraBits[dslot]));
        writer.checkpoint();
    }
    // A symbol followed by `bits` extra bits. The writer packs least significant bit first, so
    // put(code, n) then put(extra, bits) writes what put(code | extra << n, n + bits) does: one
    // put when both fit in its 16 bits.
    template <class Model>
    void codeWithExtra(Model& model, uint32_t value, uint32_t extra, uint32_t bits) {
        model.tick();
        const uint32_t n = model.lengths[value];
        if (n + bits <= 16) {
            writer.put(model.codes[value] | extra << n, n + bits);
        } else {
            model.encode(value, writer);
            writer.put(extra, bits);
        }
        model.update(value);
    }
};

// The token list layout: a tag byte holds the kinds of the next four tokens (2 bits each, first
// token lowest), and the records of the matches among them follow it. A match record is 2 bytes,
// distance | (length - 4) << 12, with 15 in the length field meaning that 2 more bytes hold
// length - 19. A literal's byte is the chunk's own byte at its position.
enum TokenKind : uint32_t { kLiteral = 0, kNewer = 1, kOlder = 2, kMatch = 3 };
constexpr int32_t kShortLengths = 15;

struct ListingSink {
    uint8_t* out;
    size_t size = 0;
    size_t tagAt = 0;
    uint32_t tagsInGroup = 4;

    void tag(uint32_t kind) {
        if (tagsInGroup == 4) {
            tagAt = size++;
            out[tagAt] = 0;
            tagsInGroup = 0;
        }
        out[tagAt] = uint8_t(out[tagAt] | kind << (2 * tagsInGroup++));
    }
    void put16(uint32_t value) {
        out[size++] = uint8_t(value);
        out[size++] = uint8_t(value >> 8);
    }
    void literal(int32_t) { tag(kLiteral); }
    void pair(uint32_t which) { tag(which == kPairNewer ? kNewer : kOlder); }
    void match(int32_t length, int32_t distance) {
        tag(kMatch);
        const int32_t lengthField = std::min(length - kMinMatch, kShortLengths);
        put16(uint32_t(distance) | uint32_t(lengthField) << 12);
        if (lengthField == kShortLengths) put16(uint32_t(length - kMinMatch - kShortLengths));
    }
};

// Runs the parse instance for the level's look-ahead. Without look-ahead the nearest distances
// would never be read, and a search from the floor of 3 finds what one from 0 finds, so every
// parse mode takes the plain instance then.
template <class Sink>
void parseWith(ContextLz& codec, const uint8_t* data, int32_t len, Sink& sink, int32_t chainLimit,
               int32_t lookaheadLimit, int32_t parseMode) {
    if (lookaheadLimit < 1)
        parse<Lookahead::kNone>(codec, data, len, sink, chainLimit, lookaheadLimit);
    else if (parseMode == 0)
        parse<Lookahead::kQuick>(codec, data, len, sink, chainLimit, lookaheadLimit);
    else if (parseMode == 2)
        parse<Lookahead::kSplitNearest>(codec, data, len, sink, chainLimit, lookaheadLimit);
    else
        parse<Lookahead::kSplit>(codec, data, len, sink, chainLimit, lookaheadLimit);
}

} // namespace

size_t TokenList::capacityFor(int32_t len) {
    // Per byte of input at most: a 4-byte match with a short record costs 2 bytes and a quarter
    // tag byte; longer matches, pairs and literals cost less.
    return size_t(len) / 16 * 9 + 16;
}

void TokenList::reserve(int32_t len) {
    const size_t wanted = capacityFor(len);
    if (wanted <= capacity) return;
    bytes.reset(new (std::nothrow) uint8_t[wanted]);
    capacity = bytes ? wanted : 0;
    if (!bytes) fatalWide(L"Error: Not enough memory for %d KB\n", int(wanted >> 10));
}

void ContextLz::encodeChunk(const uint8_t* data, int32_t len, BitWriter& writer, int32_t chainLimit,
                            int32_t lookaheadLimit, int32_t parseMode) {
    CodingSink sink{*this, writer, data};
    parseWith(*this, data, len, sink, chainLimit, lookaheadLimit, parseMode);
}

void ContextLz::parseChunk(const uint8_t* data, int32_t len, TokenList& tokens, int32_t chainLimit,
                           int32_t lookaheadLimit, int32_t parseMode) {
    QZN_CHECK(tokens.capacity >= TokenList::capacityFor(len), kContextLzSource, 520);
    ListingSink sink{tokens.bytes.get()};
    parseWith(*this, data, len, sink, chainLimit, lookaheadLimit, parseMode);
    tokens.size = sink.size;
    tokens.len = len;
}

void ContextLz::codeTokens(const uint8_t* data, const TokenList& tokens, BitWriter& writer) {
    CodingSink sink{*this, writer, data};
    const uint8_t* in = tokens.bytes.get();
    const uint8_t* end = in + tokens.size;
    const int32_t len = tokens.len;
    int32_t p = 0;
    while (p < len) {
        QZN_CHECK(in < end, kContextLzSource, 530);
        uint32_t group = *in++;
        for (int k = 0; k < 4 && p < len; ++k, group >>= 2) {
            switch (group & 3) {
            case kLiteral:
                sink.literal(p);
                p += 1;
                break;
            case kNewer:
            case kOlder:
                sink.pair((group & 3) == kNewer ? kPairNewer : kPairOlder);
                p += 2;
                break;
            default: {
                const uint32_t record = uint32_t(in[0]) | uint32_t(in[1]) << 8;
                in += 2;
                int32_t length = int32_t(record >> 12) + kMinMatch;
                if (int32_t(record >> 12) == kShortLengths) {
                    length += int32_t(uint32_t(in[0]) | uint32_t(in[1]) << 8);
                    in += 2;
                }
                sink.match(length, int32_t(record & 0xFFF));
                p += length;
            }
            }
        }
    }
    QZN_CHECK(in == end && p == len, kContextLzSource, 556);
}

} // namespace qzn
