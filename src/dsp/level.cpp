#include "dsp/level.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/numbers.hpp"
#include "dsp/codec.hpp"
#include "dsp/packed_avx2.hpp"
#include "dsp/sample_range.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

static_assert(std::endian::native == std::endian::little, "samples are loaded as little-endian integers");

// Samples per pass of the three loops below: small enough for the stack and
// the first-level cache, large enough for the loops to run long.
constexpr size_t kChunk = 2048;

// Every sample is scaled on its own, with the same arithmetic in every
// channel, so the interleaved block is treated as one run of samples.
//
// On the codec's 24-bit scale a 16-bit sample s reads as 256 s, and its
// result is trunc(256 s * g * 1/256). Scaling by a power of two commutes with
// rounding, so that is exactly trunc(s * g): both widths scale their own
// integer values.
int32_t Load2(const unsigned char* at) {
  int16_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

int32_t Load3(const unsigned char* at) {
  const auto bits = static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16;
  return static_cast<int32_t>(bits << 8) >> 8;  // sign-extend the 24 bits
}

// The low bytes of a result already within the sample range.
void Store2(unsigned char* at, int32_t value) {
  const auto low = static_cast<uint16_t>(static_cast<uint32_t>(value));
  std::memcpy(at, &low, sizeof low);
}

void Store3(unsigned char* at, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  at[0] = static_cast<unsigned char>(bits);
  at[1] = static_cast<unsigned char>(bits >> 8);
  at[2] = static_cast<unsigned char>(bits >> 16);
}

// Truncation toward zero, for gains whose products might leave the int range
// (levels of 48 dB and more, which the task reader never admits). An infinite
// gain times a silent sample is NaN, which becomes silence.
int64_t TruncateWide(double value) {
  if (value != value) return 0;
  value = value < -4294967296.0 ? -4294967296.0 : value;
  value = value > 4294967296.0 ? 4294967296.0 : value;
  return static_cast<int64_t>(value);
}

// Below this gain every product of a 24-bit sample fits an int, so the common
// loop converts without bounds and vectorises to a few instructions a sample.
constexpr double kPlainGain = 255.0;

// 24-bit samples are moved four at a time as three 32-bit words: 12 bytes
// hold exactly four samples, so no load or store straddles a neighbour and
// the shifts replace byte-by-byte assembly. A last group of fewer than four
// samples is moved byte by byte.
void Load3Group(const unsigned char* at, int32_t* out) {
  uint32_t w[3];
  std::memcpy(w, at, sizeof w);
  out[0] = static_cast<int32_t>(w[0] << 8) >> 8;
  out[1] = static_cast<int32_t>((w[0] >> 24 | w[1] << 8) << 8) >> 8;
  out[2] = static_cast<int32_t>((w[1] >> 16 | w[2] << 16) << 8) >> 8;
  out[3] = static_cast<int32_t>(w[2]) >> 8;
}

void Store3Group(unsigned char* at, const int32_t* in) {
  const auto a = static_cast<uint32_t>(in[0]) & 0xFFFFFFU;
  const auto b = static_cast<uint32_t>(in[1]) & 0xFFFFFFU;
  const auto c = static_cast<uint32_t>(in[2]) & 0xFFFFFFU;
  const auto d = static_cast<uint32_t>(in[3]);
  const uint32_t w[3] = {a | b << 24, b >> 8 | c << 16, c >> 16 | d << 8};
  std::memcpy(at, w, sizeof w);
}

// Clip: the gain is above 1, so results may pass the sample range. Truncated
// products of gains up to 1 never do, and skip the clamp.
template <int Width, bool Clip>
int64_t Scale(unsigned char* bytes, size_t samples, double gain) {
  constexpr SampleRange kRange = RangeOfBits(Width * 8);
  int64_t clipped = 0;
  std::array<int32_t, kChunk> values;  // kChunk is a multiple of 4
  for (size_t done = 0; done < samples; done += kChunk) {
    const size_t n = samples - done < kChunk ? samples - done : kChunk;
    const size_t grouped = Width == 3 ? n - n % 4 : n;
    unsigned char* at = bytes + done * Width;
    if (Width == 2) {
      for (size_t i = 0; i < n; ++i) values[i] = Load2(at + i * Width);
    } else {
      for (size_t i = 0; i < grouped; i += 4) Load3Group(at + i * Width, &values[i]);
      for (size_t i = grouped; i < n; ++i) values[i] = Load3(at + i * Width);
    }
    if (!Clip) {
      for (size_t i = 0; i < n; ++i) values[i] = static_cast<int32_t>(values[i] * gain);
    } else if (gain < kPlainGain) {
      for (size_t i = 0; i < n; ++i) values[i] = ClampCounted(static_cast<int32_t>(values[i] * gain), kRange, clipped);
    } else {
      for (size_t i = 0; i < n; ++i) values[i] = ClampCounted(TruncateWide(values[i] * gain), kRange, clipped);
    }
    if (Width == 2) {
      for (size_t i = 0; i < n; ++i) Store2(at + i * Width, values[i]);
    } else {
      for (size_t i = 0; i < grouped; i += 4) Store3Group(at + i * Width, &values[i]);
      for (size_t i = grouped; i < n; ++i) Store3(at + i * Width, values[i]);
    }
  }
  return clipped;
}

#if defined(__x86_64__) || defined(__i386__)
// The 24-bit loop with byte shuffles, four samples a step, where the processor
// has them: the same conversions and the same double products as the loop
// above (cvtdq2pd is exact, mulpd rounds as mulsd, cvttpd2dq truncates as
// cvttsd2si for results in range, which gains below kPlainGain guarantee).
template <bool Clip>
__attribute__((target("ssse3"))) int64_t Scale3Shuffled(unsigned char* bytes, size_t samples, double gain) {
  // Each 3-byte sample into the top of a 32-bit lane, then an arithmetic
  // shift sign-extends it; packing takes the low three bytes of each lane.
  const __m128i unpack = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
  const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m128d factor = _mm_set1_pd(gain);
  const __m128i top = _mm_set1_epi32(RangeOfBits(24).high);
  const __m128i bottom = _mm_set1_epi32(RangeOfBits(24).low);
  __m128i overs = _mm_setzero_si128();  // per lane, minus the count
  size_t i = 0;
  // A step loads 16 bytes for its 12: it stops while 4 more lie in the block.
  for (; (i + 4) * 3 + 4 <= samples * 3; i += 4) {
    unsigned char* at = bytes + 3 * i;
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i values = _mm_srai_epi32(_mm_shuffle_epi8(raw, unpack), 8);
    const __m128i low = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtepi32_pd(values), factor));
    const __m128i high = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(values, values)), factor));
    // Clamped with selections: the minimum and maximum of 32-bit lanes come later than SSSE3.
    __m128i scaled = _mm_unpacklo_epi64(low, high);
    if constexpr (Clip) {
      const __m128i above = _mm_cmpgt_epi32(scaled, top);
      const __m128i below = _mm_cmpgt_epi32(bottom, scaled);
      scaled = _mm_or_si128(_mm_andnot_si128(above, scaled), _mm_and_si128(above, top));
      scaled = _mm_or_si128(_mm_andnot_si128(below, scaled), _mm_and_si128(below, bottom));
      overs = _mm_add_epi32(overs, _mm_add_epi32(above, below));
    }
    const __m128i packed = _mm_shuffle_epi8(scaled, pack);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at), packed);
    const int32_t last_word = _mm_cvtsi128_si32(_mm_srli_si128(packed, 8));
    std::memcpy(at + 8, &last_word, sizeof last_word);
  }
  alignas(16) int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), overs);
  const int64_t clipped = -(int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3]);
  return clipped + Scale<3, Clip>(bytes + 3 * i, samples - i, gain);
}

bool HasShuffles() { return __builtin_cpu_supports("ssse3"); }

// The 24- and 16-bit loops eight samples a step where the processor has AVX2:
// the same conversions and products as above, on four doubles at a time.
template <int Width, bool Clip>
__attribute__((target("avx2"))) int64_t ScaleWide(unsigned char* bytes, size_t samples, double gain) {
  const __m256d factor = _mm256_set1_pd(gain);
  const __m256i top = _mm256_set1_epi32(RangeOfBits(Width * 8).high);
  const __m256i bottom = _mm256_set1_epi32(RangeOfBits(Width * 8).low);
  __m256i overs = _mm256_setzero_si256();  // per lane, minus the count
  size_t i = 0;
  // A 24-bit load reads 4 bytes past its 24: a step stops while they lie in the block.
  for (; (i + 8) * Width + (Width == 3 ? 4 : 0) <= samples * Width; i += 8) {
    unsigned char* at = bytes + Width * i;
    const __m256i values = LoadEightSamples<Width>(at);
    const __m256d low = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(values)), factor);
    const __m256d high = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(values, 1)), factor);
    if constexpr (Clip) {
      const __m256i scaled =
          _mm256_inserti128_si256(_mm256_castsi128_si256(_mm256_cvttpd_epi32(low)), _mm256_cvttpd_epi32(high), 1);
      overs = _mm256_add_epi32(overs,
                               _mm256_add_epi32(_mm256_cmpgt_epi32(scaled, top), _mm256_cmpgt_epi32(bottom, scaled)));
      const __m256i clamped = _mm256_min_epi32(_mm256_max_epi32(scaled, bottom), top);
      StoreFourSamples<Width>(at, _mm256_castsi256_si128(clamped));
      StoreFourSamples<Width>(at + 4 * Width, _mm256_extracti128_si256(clamped, 1));
    } else {
      StoreFourSamples<Width>(at, _mm256_cvttpd_epi32(low));
      StoreFourSamples<Width>(at + 4 * Width, _mm256_cvttpd_epi32(high));
    }
  }
  alignas(32) int32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), overs);
  int64_t clipped = 0;
  for (const int32_t lane : lanes) clipped -= lane;
  if constexpr (Width == 3) {
    return clipped + Scale3Shuffled<Clip>(bytes + 3 * i, samples - i, gain);
  } else {
    return clipped + Scale<2, Clip>(bytes + 2 * i, samples - i, gain);
  }
}

bool HasAvx2() { return __builtin_cpu_supports("avx2"); }

void ScaleFloat(unsigned char* bytes, size_t samples, double gain);

// The float loop eight samples a step where the processor has AVX. The
// conversions are the processor's own: widening is exact, the product rounds
// as a scalar one does, and narrowing rounds to the nearest float and gives
// infinities beyond the float range, as RoundToSingle does.
__attribute__((target("avx"))) void ScaleFloatWide(unsigned char* bytes, size_t samples, double gain) {
  const __m256d factor = _mm256_set1_pd(gain);
  float* at = reinterpret_cast<float*>(bytes);
  size_t i = 0;
  for (; i + 8 <= samples; i += 8) {
    const __m128 low = _mm_loadu_ps(at + i);
    const __m128 high = _mm_loadu_ps(at + i + 4);
    _mm_storeu_ps(at + i, _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(low), factor)));
    _mm_storeu_ps(at + i + 4, _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(high), factor)));
  }
  ScaleFloat(bytes + 4 * i, samples - i, gain);
}

bool HasWideFloats() { return __builtin_cpu_supports("avx"); }
#else
template <bool Clip>
int64_t Scale3Shuffled(unsigned char* bytes, size_t samples, double gain) {
  return Scale<3, Clip>(bytes, samples, gain);
}
bool HasShuffles() { return false; }
template <int Width, bool Clip>
int64_t ScaleWide(unsigned char* bytes, size_t samples, double gain) {
  return Scale<Width, Clip>(bytes, samples, gain);
}
bool HasAvx2() { return false; }
void ScaleFloat(unsigned char* bytes, size_t samples, double gain);
void ScaleFloatWide(unsigned char* bytes, size_t samples, double gain) { ScaleFloat(bytes, samples, gain); }
bool HasWideFloats() { return false; }
#endif

// 32-bit integers at their own scale: the product can pass 2^31 (a level
// above 0 dB), and clips there as narrower samples do.
int64_t ScaleInt32(unsigned char* bytes, size_t samples, double gain) {
  int64_t clipped = 0;
  for (size_t i = 0; i < samples; ++i) {
    int32_t value;
    std::memcpy(&value, bytes + 4 * i, sizeof value);
    value = ClampCounted(TruncateToInt64(value * gain), RangeOfBits(32), clipped);
    std::memcpy(bytes + 4 * i, &value, sizeof value);
  }
  return clipped;
}

// Floats widen exactly to double, and the product is rounded back to the
// nearest float: overs stay overs, beyond the float range they become
// infinities, subnormals and signed zeros are kept, NaN stays NaN.
void ScaleFloat(unsigned char* bytes, size_t samples, double gain) {
  std::array<float, kChunk> values;
  for (size_t done = 0; done < samples; done += kChunk) {
    const size_t n = samples - done < kChunk ? samples - done : kChunk;
    unsigned char* at = bytes + done * 4;
    std::memcpy(values.data(), at, n * 4);
    for (size_t i = 0; i < n; ++i) values[i] = RoundToSingle(static_cast<double>(values[i]) * gain);
    std::memcpy(at, values.data(), n * 4);
  }
}

template <bool Clip>
int64_t ScaleSamples(unsigned char* bytes, const AudioFormat& format, size_t samples, double gain, bool wide,
                      bool shuffles) {
  if (format.bits == 16) return wide && HasAvx2() ? ScaleWide<2, Clip>(bytes, samples, gain) : Scale<2, Clip>(bytes, samples, gain);
  if (format.bits == 24) {
    if (wide && HasAvx2()) return ScaleWide<3, Clip>(bytes, samples, gain);
    return wide ? Scale3Shuffled<Clip>(bytes, samples, gain) : Scale<3, Clip>(bytes, samples, gain);
  }
  if (format.bits == 32 && format.type == SampleType::kFloat) {
    if (shuffles && HasWideFloats()) {
      ScaleFloatWide(bytes, samples, gain);
    } else {
      ScaleFloat(bytes, samples, gain);
    }
    return 0;
  }
  return format.bits == 32 ? ScaleInt32(bytes, samples, gain) : 0;
}

// shuffles: the processor-specific loops may be used.
int64_t Change(std::span<unsigned char> block, const AudioFormat& format, int frames, double level_db, bool shuffles) {
  const double gain = std::pow(10.0, level_db / 20.0);
  if (format.channels < 1 || format.channels > kMaxChannels || frames <= 0) return 0;
  if (std::isnan(gain)) return 0;  // no level to apply; the reader never stores one
  const auto samples = static_cast<size_t>(frames) * static_cast<size_t>(format.channels);
  // The processor-specific loops convert without bounds: gains below
  // kPlainGain keep every product within the int range.
  const bool wide = shuffles && gain < kPlainGain;
  if (gain > 1.0) return ScaleSamples<true>(block.data(), format, samples, gain, wide, shuffles);
  return ScaleSamples<false>(block.data(), format, samples, gain, wide, shuffles);
}

}  // namespace

int64_t ApplyLevel(std::span<unsigned char> block, const AudioFormat& format, int frames, double level_db) {
  return Change(block, format, frames, level_db, HasShuffles());
}

int64_t ApplyLevelPortable(std::span<unsigned char> block, const AudioFormat& format, int frames, double level_db) {
  return Change(block, format, frames, level_db, false);
}
