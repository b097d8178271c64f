#pragma once

// Packed 16- and 24-bit samples to and from 32-bit lanes with AVX2, shared by
// the level change and the crossfade mix. Only for functions compiled for
// AVX2 (target("avx2")) and called where the processor has it.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include <cstdint>
#include <cstring>

// Eight samples, sign-extended. A 24-bit load reads 28 bytes for its 24: the
// caller keeps 4 more bytes in the buffer after them.
template <int Width>
__attribute__((target("avx2"))) inline __m256i LoadEightSamples(const unsigned char* at) {
  if constexpr (Width == 2) {
    return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
  } else {
    // Each 3-byte sample into the top of a 32-bit lane, then an arithmetic
    // shift sign-extends it.
    const __m256i unpack = _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11,  //
                                            -1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 12));
    const __m256i raw = _mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1);
    return _mm256_srai_epi32(_mm256_shuffle_epi8(raw, unpack), 8);
  }
}

// The low 2 or 3 bytes of four 32-bit values: a value beyond the sample range
// wraps. Writes exactly 4 samples.
template <int Width>
__attribute__((target("avx2"))) inline void StoreFourSamples(unsigned char* at, __m128i values) {
  if constexpr (Width == 2) {
    const __m128i low_halves = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm_shuffle_epi8(values, low_halves));
  } else {
    const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m128i packed = _mm_shuffle_epi8(values, pack);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at), packed);
    const int32_t last_word = _mm_cvtsi128_si32(_mm_srli_si128(packed, 8));
    std::memcpy(at + 8, &last_word, sizeof last_word);
  }
}
// Four 32-bit values clamped to [bottom, top]; each lane of `overs` goes
// down by one for every value that was beyond.
__attribute__((target("avx2"))) inline __m128i ClampFour(__m128i values, __m128i bottom, __m128i top, __m128i& overs) {
  overs = _mm_add_epi32(overs, _mm_add_epi32(_mm_cmpgt_epi32(values, top), _mm_cmpgt_epi32(bottom, values)));
  return _mm_min_epi32(_mm_max_epi32(values, bottom), top);
}
#endif
