// The numbers the compressed block format fixes, in one place for the encoder, the decoder and
// the token follower: each of them is part of every archive, so none may change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace qzn {

// Sections of a chunk of len bytes: literals only below min(len, kOpeningLiterals), tokens of
// every kind while the position is below len - kEndMargin, literals only from there to the end.
inline constexpr int32_t kOpeningLiterals = 4;
inline constexpr int32_t kEndMargin = 8;

// Matches: at least kMinMatch bytes; the encoder makes none longer than kMaxMatch.
inline constexpr int32_t kMinMatch = 4;
inline constexpr int32_t kMaxMatch = 2048;

// The symbol model's alphabet: the literals, then one symbol per length slot, then the two
// pairs, the newer one (the low half of the context's pair memory) first.
inline constexpr uint32_t kLiterals = 256;
inline constexpr uint32_t kLengthSlots = 31;
inline constexpr uint32_t kFirstLengthSymbol = kLiterals;
inline constexpr uint32_t kPairNewer = kFirstLengthSymbol + kLengthSlots;
inline constexpr uint32_t kPairOlder = kPairNewer + 1;
inline constexpr uint32_t kSymbolCount = kPairOlder + 1;

// The distance model's alphabet: one symbol per distance slot.
inline constexpr uint32_t kDistanceSlots = 60;

// The slot tables, by extra-bit count: entry n is the number of consecutive slots with n extra
// bits. A slot's base follows the range of the slot before it.
inline constexpr int32_t kLengthHistogram[] = {8, 4, 4, 4, 4, 4, 0, 0, 1, 1, 1};
inline constexpr int32_t kDistanceHistogram[] = {4, 2, 2, 2, 2, 2, 2,  2, 2, 2,
                                                 2, 2, 2, 2, 2, 2, 14, 0, 12};
// The most extra bits a length or a distance carries.
inline constexpr uint32_t kMaxLengthExtraBits = uint32_t(std::size(kLengthHistogram) - 1);
inline constexpr uint32_t kMaxDistanceExtraBits = uint32_t(std::size(kDistanceHistogram) - 1);

// The slot lookups: lengths kMinMatch to kMinMatch + kLengthLookup - 1, and distances below the
// largest context table.
inline constexpr size_t kLengthLookup = 2048;
inline constexpr size_t kDistanceLookup = 4096;

static_assert(kPairNewer == 287 && kPairOlder == 288 && kSymbolCount == 289);
static_assert(kMaxLengthExtraBits == 10 && kMaxDistanceExtraBits == 18);
static_assert(kMaxMatch - kMinMatch < int32_t(kLengthLookup));

} // namespace qzn
