// CRC-32 folding by carry-less multiplication (PCLMULQDQ) on x86-64. Only these functions are
// compiled for the instruction, so the program still runs on any x86-64; the processor is asked
// before they are used.
#include "Platform.h"

#include <immintrin.h>

namespace qzn {

namespace {

// A 128-bit lane holds 16 message bytes as loaded: bit k is the coefficient of x^(127-k), so its
// first eight bytes are the higher-degree half. Moving a lane forward by d bits multiplies its
// first half by x^(d+64) and its second half by x^d, reduced modulo the polynomial. Each constant
// is x^k mod P bit-reflected into 33 bits (bit i holding x^(32-i)); a carry-less product of a
// reflected half with it then lands in the lane's own bit order multiplied by x^32, so k is the
// wanted power less 32.
struct FoldConstants {
    long long firstHalf, secondHalf;
};
constexpr FoldConstants kForward64{0x154442BD4, 0x1C6E41596}; // x^544, x^480: 64 bytes
constexpr FoldConstants kForward48{0x03DB1ECDC, 0x174359406}; // x^416, x^352: 48 bytes
constexpr FoldConstants kForward32{0x0F1DA05AA, 0x15A546366}; // x^288, x^224: 32 bytes
constexpr FoldConstants kForward16{0x1751997D0, 0x0CCAA009E}; // x^160, x^96: 16 bytes

__attribute__((target("pclmul"))) inline __m128i constantsOf(FoldConstants k) {
    return _mm_set_epi64x(k.secondHalf, k.firstHalf);
}

// The lane moved forward by the distance of `k`; its degree stays below 128.
__attribute__((target("pclmul"))) inline __m128i moveForward(__m128i lane, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11));
}

__attribute__((target("pclmul"))) inline __m128i load(const uint8_t* data) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
}

// Four lanes over each 64-byte block, each lane moved forward over the block that follows and the
// next bytes XORed in: four independent chains keep the multiplier busy.
__attribute__((target("pclmul"))) void foldBlocks(uint32_t c, const uint8_t* data, size_t blocks,
                                                  uint8_t out[16]) {
    __m128i x0 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(int(c)));
    __m128i x1 = load(data + 16), x2 = load(data + 32), x3 = load(data + 48);
    const __m128i forward64 = constantsOf(kForward64);
    for (size_t block = 1; block < blocks; ++block) {
        data += 64;
        x0 = _mm_xor_si128(moveForward(x0, forward64), load(data));
        x1 = _mm_xor_si128(moveForward(x1, forward64), load(data + 16));
        x2 = _mm_xor_si128(moveForward(x2, forward64), load(data + 32));
        x3 = _mm_xor_si128(moveForward(x3, forward64), load(data + 48));
    }
    __m128i x = _mm_xor_si128(moveForward(x0, constantsOf(kForward48)),
                              moveForward(x1, constantsOf(kForward32)));
    x = _mm_xor_si128(x, moveForward(x2, constantsOf(kForward16)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_xor_si128(x, x3));
}

} // namespace

Crc32Fold crc32FoldKernel() {
    // Also when called before the runtime's own start-up code has filled in the processor's
    // features, as from a static initialiser.
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") ? foldBlocks : nullptr;
}

} // namespace qzn
