#pragma once

// Packed little-endian samples as a WAV data chunk holds them, one sample at
// a time and (on x86) several at a time: loads, stores, and the truncation
// and clamping that turn an arithmetic result back into a sample. The level
// change, the crossfade mix and the codec all go through these.

#include <bit>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "samples are loaded as little-endian integers");

// -- One sample ---------------------------------------------------------------

inline int32_t Load16(const unsigned char* at) {
  int16_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

inline int32_t Load24(const unsigned char* at) {
  const auto bits = uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16;
  return static_cast<int32_t>(bits << 8) >> 8;  // sign-extend the 24 bits
}

inline int32_t Load32(const unsigned char* at) {
  int32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

inline float LoadFloat(const unsigned char* at) {
  float value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The low `Width` bytes of a value.
template <int Width>
inline void StoreLow(unsigned char* at, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  at[0] = static_cast<unsigned char>(bits);
  at[1] = static_cast<unsigned char>(bits >> 8);
  if constexpr (Width >= 3) at[2] = static_cast<unsigned char>(bits >> 16);
  if constexpr (Width == 4) at[3] = static_cast<unsigned char>(bits >> 24);
}

inline void StoreFloat(unsigned char* at, float value) { std::memcpy(at, &value, sizeof value); }

// 24-bit samples four at a time as three 32-bit words: 12 bytes hold exactly
// four samples, so no load or store straddles a neighbour.
inline void Load24Group(const unsigned char* at, int32_t* out) {
  uint32_t w[3];
  std::memcpy(w, at, sizeof w);
  out[0] = static_cast<int32_t>(w[0] << 8) >> 8;
  out[1] = static_cast<int32_t>((w[0] >> 24 | w[1] << 8) << 8) >> 8;
  out[2] = static_cast<int32_t>((w[1] >> 16 | w[2] << 16) << 8) >> 8;
  out[3] = static_cast<int32_t>(w[2]) >> 8;
}

inline void Store24Group(unsigned char* at, const int32_t* in) {
  const auto a = static_cast<uint32_t>(in[0]) & 0xFFFFFFU;
  const auto b = static_cast<uint32_t>(in[1]) & 0xFFFFFFU;
  const auto c = static_cast<uint32_t>(in[2]) & 0xFFFFFFU;
  const auto d = static_cast<uint32_t>(in[3]);
  const uint32_t w[3] = {a | b << 24, b >> 8 | c << 16, c >> 16 | d << 8};
  std::memcpy(at, w, sizeof w);
}

// -- Results back into samples --------------------------------------------------

// A double truncated toward zero to a 32-bit integer. Values beyond the int
// range saturate instead of being undefined; NaN gives 0. Written as
// selections, without early returns, so that loops over it vectorise.
inline int32_t TruncateToInt32(double value) {
  const double low = value < -2147483648.0 ? -2147483648.0 : value;
  const double clamped = low > 2147483647.0 ? 2147483647.0 : low;
  return clamped == clamped ? static_cast<int32_t>(clamped) : 0;
}

// The same into 64 bits, for results that may pass 2^31.
inline int64_t TruncateToInt64(double value) {
  const double low = value < -0x1p63 ? -0x1p63 : value;
  const double clamped = low >= 0x1p63 ? 0x1.fffffffffffffp62 : low;
  return clamped == clamped ? static_cast<int64_t>(clamped) : 0;
}

// Integer results beyond a sample's range take the nearest limit (an over
// clips, as in every audio tool, rather than wrapping to the other sign), and
// each one is counted so that the summary can say how many were clipped.
struct SampleRange {
  int32_t low;
  int32_t high;
};

constexpr SampleRange RangeOfBits(int bits) {
  return bits == 16   ? SampleRange{-32768, 32767}
         : bits == 24 ? SampleRange{-8388608, 8388607}
                      : SampleRange{INT32_MIN, INT32_MAX};
}

// Written as selections, so that loops over it vectorise.
inline int32_t ClampCounted(int64_t value, SampleRange range, int64_t& clipped) {
  const bool low = value < range.low;
  const bool high = value > range.high;
  clipped += static_cast<int64_t>(low) + static_cast<int64_t>(high);
  return static_cast<int32_t>(low ? range.low : high ? range.high : value);
}

// -- Several samples at once, where the processor has the instructions ---------

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

// Four 24-bit samples from 16 bytes (the last 4 are not used), sign-extended.
__attribute__((target("ssse3"))) inline __m128i LoadFour24(const unsigned char* at) {
  // Each 3-byte sample into the top of a 32-bit lane, then an arithmetic
  // shift sign-extends it.
  const __m128i unpack = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
  return _mm_srai_epi32(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), unpack), 8);
}

// The low 3 bytes of four 32-bit values: exactly 12 bytes.
__attribute__((target("ssse3"))) inline void StoreFour24(unsigned char* at, __m128i values) {
  const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m128i packed = _mm_shuffle_epi8(values, pack);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(at), packed);
  const int32_t last_word = _mm_cvtsi128_si32(_mm_srli_si128(packed, 8));
  std::memcpy(at + 8, &last_word, sizeof last_word);
}

// Eight samples, sign-extended. A 24-bit load reads 28 bytes for its 24: the
// caller keeps 4 more bytes in the buffer after them.
template <int Width>
__attribute__((target("avx2"))) inline __m256i LoadEightSamples(const unsigned char* at) {
  if constexpr (Width == 2) {
    return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
  } else {
    const __m256i unpack = _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11,  //
                                            -1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 12));
    const __m256i raw = _mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1);
    return _mm256_srai_epi32(_mm256_shuffle_epi8(raw, unpack), 8);
  }
}

// The low 2 or 3 bytes of four 32-bit values already within the sample range.
// Writes exactly 4 samples.
template <int Width>
__attribute__((target("avx2"))) inline void StoreFourSamples(unsigned char* at, __m128i values) {
  if constexpr (Width == 2) {
    const __m128i low_halves = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm_shuffle_epi8(values, low_halves));
  } else {
    StoreFour24(at, values);
  }
}

// The low 2 or 3 bytes of eight 32-bit values already within the sample
// range, the first four in `low`: exactly 16 or 24 bytes, in one or two
// stores instead of four.
template <int Width>
__attribute__((target("avx2"))) inline void StoreEightSamples(unsigned char* at, __m128i low, __m128i high) {
  if constexpr (Width == 2) {
    // Within the 16-bit range, the saturating pack is exact.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_packs_epi32(low, high));
  } else {
    const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                          0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i packed = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1), pack);
    // Each half's 12 bytes side by side: the 24 bytes in the low six words.
    const __m256i joined = _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm256_castsi256_si128(joined));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at + 16), _mm256_extracti128_si256(joined, 1));
  }
}

// Four 32-bit values clamped to [bottom, top]; each lane of `overs` goes down
// by one for every value that was beyond (see OversCounted).
__attribute__((target("sse4.1"))) inline __m128i ClampFour(__m128i values, __m128i bottom, __m128i top,
                                                           __m128i& overs) {
  overs = _mm_add_epi32(overs, _mm_add_epi32(_mm_cmpgt_epi32(values, top), _mm_cmpgt_epi32(bottom, values)));
  return _mm_min_epi32(_mm_max_epi32(values, bottom), top);
}

// The count that `overs` holds, as a positive number.
inline int64_t OversCounted(__m128i overs) {
  alignas(16) int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), overs);
  return -(int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3]);
}
#endif
