// encodeChunk: the parse of one chunk into literals, pair tokens and matches.
//
// Only token starts enter the match finder, exactly as the decoder appends them to its rings, so
// a distance names the same slot on both sides. The look-ahead runs extra searches at nearby
// positions but never inserts; the adaptive-skipping bookkeeping sees only the search at the
// current position.
#include "ContextLz.h"
#include "ContextLz_MatchFinder.h"

namespace qzn {

namespace {

constexpr int32_t kOpeningLiterals = 4;
constexpr int32_t kLookaheadMaxLength = 127; // longer matches are taken at once
constexpr int32_t kMissLimit = 128;
constexpr int32_t kMaxSkipStep = 4096;
constexpr uint32_t kPairNewer = 287;
constexpr uint32_t kPairOlder = 288;
constexpr uint32_t kFirstLengthSymbol = 256;

} // namespace

void ContextLz::encodeChunk(const uint8_t* data, int32_t len, BitWriter& writer, int32_t chainLimit,
                            int32_t lookaheadLimit, int32_t parseMode) {
    QZN_CHECK(len <= capacity, kContextLzSource, 315);
    MatchFinder finder(tables, tableBits, hashBits, windowBits, data, len);
    finder.clear();

    auto codeLiteral = [&](uint32_t byte) {
        symbolModel.tick();
        symbolModel.encode(byte, writer);
        symbolModel.update(byte);
    };

    // Opening literals. In a chunk shorter than 13 bytes no search follows, so their insertions
    // could not matter; they are made only where the 4 hashed bytes lie inside the chunk.
    int32_t p = 0;
    for (; p < len && p < kOpeningLiterals; ++p) {
        if (p + 4 <= len) finder.insert(p, finder.hash(p));
        codeLiteral(data[p]);
        writer.checkpoint();
    }

    uint32_t pairMemory[256] = {};
    int32_t nearestDistance[kMaxMatch + 1] = {};
    int32_t skipStep = 0;
    int32_t missCount = 0;
    const int32_t tokenEnd = len - kEndMargin;
    const int32_t noMatch = noMatchScore(tableBits);
    const uint32_t tb = tableBits;

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

    while (p < tokenEnd) {
        const PositionHash h = finder.hash(p);
        // Most tokens on poorly matching data are literals: the next search is at p + 1.
        finder.prefetchBucket(p + 1);
        int32_t d = 0;
        int32_t distance = 0;

        // Adaptive skipping: after kMissLimit fruitless searches in a row, search only at
        // multiples of 2 * skipStep; every match found halves the step again.
        if (skipStep == 0 || (p & (2 * skipStep - 1)) == 0) {
            MatchResult r = parseMode == 2
                                ? finder.search<true>(p, h, chainLimit, 3, nearestDistance)
                                : finder.search<false>(p, h, chainLimit, 0, nullptr);
            d = r.length;
            distance = r.distance;
            if (d < kMinMatch) {
                d = 0;
                if (++missCount == kMissLimit) {
                    missCount = 0;
                    skipStep = skipStep == 0 ? 1 : 2 * skipStep;
                    if (skipStep > kMaxSkipStep) skipStep /= 2;
                }
            } else {
                missCount = 0;
                skipStep /= 2;
            }
        }

        if (lookaheadLimit >= 1 && d >= kMinMatch && d <= kLookaheadMaxLength) {
            if (parseMode == 0) {
                // Quick check: would a match at p + 1 or p + 2 cover the 4 bytes just beyond
                // this one's end? The probes do not verify the start of such a match.
                if (finder.tailProbe(p + 1, lookaheadLimit, d - 3, loadWord32(data + p + d - 2)) ||
                    finder.tailProbe(p + 2, lookaheadLimit, d - 3, loadWord32(data + p + d - 1)))
                    d = 0;
            } else {
                // Split-point evaluation: take h bytes here and whatever the search at p + h
                // finds, for h = d down to 1; the longest h wins ties. These searches never
                // record nearest distances: the table must keep those of the search at p.
                const int32_t found = distance;
                const PositionHash hd = finder.hash(p + d);
                MatchResult next = finder.search<false>(p + d, hd, chainLimit, 0, nullptr);
                int32_t bestTotal = score(d, found, tb) + score(next.length, next.distance, tb);
                int32_t chosen = d;
                // With a smaller budget the walk at p + d examines a prefix of the same chain
                // and cannot score higher, so h = d can only tie.
                const int32_t firstH = lookaheadLimit <= chainLimit ? d - 1 : d;
                for (int32_t hLen = firstH; hLen >= 1; --hLen) {
                    const int32_t here = score(hLen, found, tb);
                    const int32_t need = bestTotal - here;
                    const int32_t s = lookaheadScore(p + hLen, lookaheadLimit, need);
                    if (here + s > bestTotal) {
                        bestTotal = here + s;
                        chosen = hLen;
                    }
                }
                d = chosen < kMinMatch ? 0 : chosen;
                if (d != 0) distance = parseMode == 2 ? nearestDistance[d] : found;
            }
        }

        finder.insert(p, h);
        if (d >= kMinMatch) {
            QZN_CHECK(p + d <= tokenEnd, kContextLzSource, 434);
            const uint32_t slot = lengthSlotOf[d - kMinMatch];
            const uint32_t symbol = kFirstLengthSymbol + slot;
            symbolModel.tick();
            symbolModel.encode(symbol, writer);
            symbolModel.update(symbol);
            if (lengthExtraBits[slot] > 0)
                writer.put(uint32_t(d - kMinMatch - lengthBase[slot]),
                           uint32_t(lengthExtraBits[slot]));
            const uint32_t dslot = distanceSlotOf[distance];
            distanceModel.tick();
            distanceModel.encode(dslot, writer);
            distanceModel.update(dslot);
            if (distanceExtraBits[dslot] > 0)
                writer.put(uint32_t(distance - distanceBase[dslot]),
                           uint32_t(distanceExtraBits[dslot]));
            p += d;
        } else {
            const uint32_t pair = (uint32_t(data[p]) << 8) | data[p + 1];
            const uint32_t x = pairMemory[data[p - 1]] ^ (pair * 0x10001u);
            if ((x & 0xFFFF) == 0 || (x >> 16) == 0) {
                const uint32_t symbol = (x & 0xFFFF) == 0 ? kPairNewer : kPairOlder;
                symbolModel.tick();
                symbolModel.encode(symbol, writer);
                symbolModel.update(symbol);
                p += 2;
            } else {
                codeLiteral(data[p]);
                p += 1;
            }
        }
        uint32_t& memory = pairMemory[data[p - 3]];
        memory = (memory << 16) | (uint32_t(data[p - 2]) << 8) | data[p - 1];
        writer.checkpoint();
    }

    // Closing literals: no search follows, so their positions are not inserted.
    for (; p < len; ++p) {
        codeLiteral(data[p]);
        writer.checkpoint();
    }
}

} // namespace qzn
