// The encoder's context match finder: every token start is filed in the ContextTable of the byte
// before it, chained per hash bucket, and a search walks one bucket chain of one context looking
// for the longest earlier repeat. Distances are counted in insertions into that context's ring,
// so they stay below tableSize whatever the window.
//
// Header-only so that the encoder's hot loop inlines hash, insert and search.
#pragma once

#include "ContextLz.h"
#include "ContextLz_Format.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace qzn {

constexpr uint32_t kHashMultiplier = 0x9E3779B1u;
constexpr uint16_t kNoIndex = 0xFFFF;

inline uint32_t loadWord32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline uint64_t loadWord64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// The parse's score: one byte of length outweighs any distance (distances are below
// 1 << tableBits). Lengths below the shortest match get the no-match score.
inline int32_t noMatchScore(uint32_t tableBits) {
    return (3 << tableBits) - 7;
}
inline int32_t score(int32_t length, int32_t distance, uint32_t tableBits) {
    return length < kMinMatch ? noMatchScore(tableBits) : (length << tableBits) - distance;
}

struct PositionHash {
    uint32_t bucketIndex;
    uint32_t hashTag;
    uint32_t context; // the byte before the position, 0 at position 0
};

struct MatchResult {
    int32_t length = 0;   // a match only when at least kMinMatch
    int32_t distance = 0; // insertions into the context since the matched entry
};

class MatchFinder {
  public:
    // `data` and `len` are the chunk; the tables are the codec's 256 ContextTable records.
    MatchFinder(ContextTable* tables, uint32_t tableBits, uint32_t hashBits, uint32_t windowBits,
                const uint8_t* data, int32_t len)
        : tables_(tables), data_(data), len_(len), windowBits_(windowBits),
          hashShift_(32 - hashBits), tagShift_(windowBits + 1), tableMask_((1u << tableBits) - 1),
          hashMask_((1u << hashBits) - 1), positionMask_((1u << windowBits) - 1) {}

    // Empties every context. Entries and links need no clearing: a slot is reachable from a
    // bucket or a link only after an insertion of this chunk has written both.
    void clear() {
        for (int c = 0; c < 256; ++c) {
            std::memset(tables_[c].buckets, 0xFF, (size_t(hashMask_) + 1) * 2);
            tables_[c].head = 0;
        }
    }

    // The longest match allowed to start at p: it must end by len - 8.
    int32_t matchCap(int32_t p) const {
        int32_t room = (len_ - kEndMargin) - p;
        return room < kMaxMatch ? room : kMaxMatch;
    }

    // Needs the 4 bytes p..p+3 inside the chunk. The bucket index is masked so that the
    // smallest hash width (whose XOR with the byte can exceed it) stays inside the table.
    PositionHash hash(int32_t p) const {
        uint32_t h = loadWord32(data_ + p) * kHashMultiplier;
        PositionHash r;
        r.bucketIndex = ((h >> hashShift_) ^ data_[p]) & hashMask_;
        r.hashTag = h >> tagShift_;
        r.context = p > 0 ? data_[p - 1] : 0;
        return r;
    }

    // What a search at a hashed position reads first, for the caller to prefetch: its bucket
    // head; once that is cached, the newest entry of the bucket (null when it is empty); once
    // that is cached too, the bytes at the entry's position. (A function whose only effect is a
    // prefetch counts as pure to the compiler, which drops a call to a pure function returning
    // nothing, prefetch and all; so these return addresses and the caller prefetches.)
    const uint16_t* bucketOf(const PositionHash& h) const {
        return tables_[h.context].buckets + h.bucketIndex;
    }
    const int32_t* newestEntryOf(const PositionHash& h) const {
        const ContextTable& t = tables_[h.context];
        const uint32_t i = t.buckets[h.bucketIndex];
        return i == kNoIndex ? nullptr : t.entries + i;
    }
    const uint8_t* newestCandidateOf(const PositionHash& h) const {
        const int32_t* entry = newestEntryOf(h);
        return entry == nullptr ? nullptr : data_ + (uint32_t(*entry) & positionMask_);
    }

    uint32_t entryValue(int32_t p, uint32_t hashTag) const {
        return uint32_t(p) | (hashTag << windowBits_);
    }

    void insert(int32_t p, const PositionHash& h) {
        ContextTable& t = tables_[h.context];
        uint32_t head = t.head;
        t.links[head] = t.buckets[h.bucketIndex];
        t.buckets[h.bucketIndex] = uint16_t(head);
        t.entries[head] = int32_t(entryValue(p, h.hashTag));
        t.head = uint16_t((head + 1) & tableMask_);
    }

    // Walks the bucket chain of p examining at most `budget` entries and returns the longest
    // match (the newest of equal length). Only candidates longer than `floor` count, which lets
    // the look-ahead ask "can anything beat this?" without changing which entry wins when the
    // answer is yes. With RecordNearest, nearest[j] receives, for every j from floor + 1 up to
    // the final length, the distance of the newest entry matching at least j bytes.
    template <bool RecordNearest>
    MatchResult search(int32_t p, const PositionHash& h, int32_t budget, int32_t floor,
                       int32_t* nearest) const {
        MatchResult result;
        const int32_t cap = matchCap(p);
        if (budget <= 0 || floor >= cap || cap < kMinMatch) return result;
        const ContextTable& t = tables_[h.context];
        uint32_t i = t.buckets[h.bucketIndex];
        if (i == kNoIndex) return result;

        Run run{data_ + p, loadWord32(data_ + p), cap, floor, kNoIndex};
        walk<RecordNearest>(run, t, i, h.hashTag, budget, nearest);
        if (run.bestIndex != kNoIndex && run.best >= kMinMatch) {
            result.length = run.best;
            result.distance = int32_t((t.head - run.bestIndex) & tableMask_);
        }
        return result;
    }

    // Two probes from the hashes of q and q + 1, taken in step so that their misses overlap. A
    // probe walks the bucket chain of its position (in the context of the byte before it) and
    // reports whether an examined candidate c holds its word at c + offset: `first` for q,
    // `second` for q + 1. No tag check, no length measurement.
    bool tailProbeEither(const PositionHash& atQ, const PositionHash& afterQ, int32_t budget,
                         int32_t offset, uint32_t first, uint32_t second) const {
        if (budget <= 0) return false;
        ProbeWalk a = startProbe(atQ, budget, first);
        ProbeWalk b = startProbe(afterQ, budget, second);
        while (a.left > 0 || b.left > 0) {
            if (a.left > 0 && stepProbe(a, offset)) return true;
            if (b.left > 0 && stepProbe(b, offset)) return true;
        }
        return false;
    }

  private:
    // The state of one search's comparisons: the bytes at p and the best candidate so far.
    struct Run {
        const uint8_t* cur;
        uint32_t word; // the 4 bytes at p
        int32_t cap;
        int32_t best;
        uint32_t bestIndex;
    };

    // The chain walk from entry i, comparing each candidate whose tag matches in turn. The next
    // entry is read before the current candidate is compared, and its bytes requested, so that
    // the two candidates' misses overlap.
    template <bool RecordNearest>
    void walk(Run& run, const ContextTable& t, uint32_t i, uint32_t hashTag, int32_t budget,
              int32_t* nearest) const {
        for (;;) {
            const uint32_t e = uint32_t(t.entries[i]);
            const uint32_t c = e & positionMask_;
            uint32_t next = kNoIndex;
            uint32_t nextPosition = 0;
            if (budget > 1) {
                next = t.links[i];
                if (next != kNoIndex) {
                    nextPosition = uint32_t(t.entries[next]) & positionMask_;
                    QZN_PREFETCH(data_ + nextPosition + run.best);
                }
            }
            if ((e >> windowBits_) == hashTag && compare<RecordNearest>(run, t, i, nearest)) return;
            if (--budget == 0 || next == kNoIndex || nextPosition >= c) return;
            i = next;
        }
    }

    // Compares the candidate of entry i (whose tag matches) with the bytes at p and keeps it if
    // it is longer than the best so far. True when the search is over: the match reaches cap.
    template <bool RecordNearest>
    bool compare(Run& run, const ContextTable& t, uint32_t i, int32_t* nearest) const {
        const uint8_t* cand = data_ + (uint32_t(t.entries[i]) & positionMask_);
        if (cand[run.best] != run.cur[run.best] || loadWord32(cand) != run.word) return false;
        // Both runs may read 8 bytes at any offset below cap: p + cap <= len - 8.
        int32_t n = kMinMatch;
        while (n < run.cap) {
            uint64_t x = loadWord64(cand + n) ^ loadWord64(run.cur + n);
            if (x != 0) {
                n += std::countr_zero(x) >> 3;
                break;
            }
            n += 8;
        }
        if (n > run.cap) n = run.cap;
        if (n <= run.best) return false;
        if constexpr (RecordNearest) {
            int32_t distance = int32_t((t.head - i) & tableMask_);
            for (int32_t j = run.best + 1; j <= n; ++j) nearest[j] = distance;
        }
        run.best = n;
        run.bestIndex = i;
        return n == run.cap;
    }

    struct ProbeWalk {
        const ContextTable* table;
        uint32_t i;
        int32_t left; // entries still to examine; 0 once the walk has ended
        uint32_t word;
    };
    ProbeWalk startProbe(const PositionHash& h, int32_t budget, uint32_t word) const {
        const ContextTable& t = tables_[h.context];
        const uint32_t i = t.buckets[h.bucketIndex];
        return ProbeWalk{&t, i, i == kNoIndex ? 0 : budget, word};
    }
    // Examines one entry: true when it holds the word; otherwise moves on or ends the walk.
    bool stepProbe(ProbeWalk& w, int32_t offset) const {
        const ContextTable& t = *w.table;
        const uint32_t c = uint32_t(t.entries[w.i]) & positionMask_;
        if (loadWord32(data_ + c + offset) == w.word) return true;
        // The link is read only when the walk goes on: at the quick look-ahead's usual budget
        // of 1 it would be a cache miss for nothing.
        if (--w.left == 0) return false;
        const uint32_t next = t.links[w.i];
        if (next == kNoIndex || (uint32_t(t.entries[next]) & positionMask_) >= c)
            w.left = 0;
        else
            w.i = next;
        return false;
    }

    ContextTable* tables_;
    const uint8_t* data_;
    int32_t len_;
    uint32_t windowBits_;
    uint32_t hashShift_;
    uint32_t tagShift_;
    uint32_t tableMask_;
    uint32_t hashMask_;
    uint32_t positionMask_;
};

} // namespace qzn
