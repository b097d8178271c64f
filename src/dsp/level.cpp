#include "dsp/level.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/numbers.hpp"
#include "dsp/samples.hpp"

namespace {

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

// Below this gain every product of a 24-bit sample fits an int, so the common
// loop converts without bounds and vectorises to a few instructions a sample.
constexpr double kPlainGain = 255.0;

// Truncation toward zero, for gains whose products might leave the int range
// (levels of 48 dB and more, which the task reader never admits). An infinite
// gain times a silent sample is NaN, which becomes silence.
int64_t TruncateWide(double value) {
  if (value != value) return 0;
  value = value < -4294967296.0 ? -4294967296.0 : value;
  value = value > 4294967296.0 ? 4294967296.0 : value;
  return static_cast<int64_t>(value);
}

// Clip: the gain is above 1, so results may pass the sample range. Truncated
// products of gains up to 1 never do, and skip the clamp.
template <int Width, bool Clip>
int64_t Scale(const unsigned char* from, unsigned char* to, size_t samples, double gain) {
  constexpr SampleRange kRange = RangeOfBits(Width * 8);
  int64_t clipped = 0;
  std::array<int32_t, kChunk> values;  // kChunk is a multiple of 4
  for (size_t done = 0; done < samples; done += kChunk) {
    const size_t n = samples - done < kChunk ? samples - done : kChunk;
    const size_t grouped = Width == 3 ? n - n % 4 : n;
    const unsigned char* at = from + done * Width;
    if (Width == 2) {
      for (size_t i = 0; i < n; ++i) values[i] = Load16(at + i * Width);
    } else {
      for (size_t i = 0; i < grouped; i += 4) Load24Group(at + i * Width, &values[i]);
      for (size_t i = grouped; i < n; ++i) values[i] = Load24(at + i * Width);
    }
    if (!Clip) {
      for (size_t i = 0; i < n; ++i) values[i] = static_cast<int32_t>(values[i] * gain);
    } else if (gain < kPlainGain) {
      for (size_t i = 0; i < n; ++i) values[i] = ClampCounted(static_cast<int32_t>(values[i] * gain), kRange, clipped);
    } else {
      for (size_t i = 0; i < n; ++i) values[i] = ClampCounted(TruncateWide(values[i] * gain), kRange, clipped);
    }
    unsigned char* out = to + done * Width;
    if (Width == 2) {
      for (size_t i = 0; i < n; ++i) StoreLow<2>(out + i * Width, values[i]);
    } else {
      for (size_t i = 0; i < grouped; i += 4) Store24Group(out + i * Width, &values[i]);
      for (size_t i = grouped; i < n; ++i) StoreLow<3>(out + i * Width, values[i]);
    }
  }
  return clipped;
}

// 32-bit integers at their own scale: the product can pass 2^31 (a level
// above 0 dB), and clips there as narrower samples do.
int64_t ScaleInt32(const unsigned char* from, unsigned char* to, size_t samples, double gain) {
  int64_t clipped = 0;
  for (size_t i = 0; i < samples; ++i) {
    StoreLow<4>(to + 4 * i, ClampCounted(TruncateToInt64(Load32(from + 4 * i) * gain), RangeOfBits(32), clipped));
  }
  return clipped;
}

// Floats widen exactly to double, and the product is rounded back to the
// nearest float: overs stay overs, beyond the float range they become
// infinities, subnormals and signed zeros are kept, NaN stays NaN.
void ScaleFloat(const unsigned char* from, unsigned char* to, size_t samples, double gain) {
  std::array<float, kChunk> values;
  for (size_t done = 0; done < samples; done += kChunk) {
    const size_t n = samples - done < kChunk ? samples - done : kChunk;
    std::memcpy(values.data(), from + done * 4, n * 4);
    for (size_t i = 0; i < n; ++i) values[i] = RoundToSingle(static_cast<double>(values[i]) * gain);
    std::memcpy(to + done * 4, values.data(), n * 4);
  }
}

#if defined(__x86_64__) || defined(__i386__)
// The 24-bit loop with byte shuffles, four samples a step: the same
// conversions and the same double products as the loop above (cvtdq2pd is
// exact, mulpd rounds as mulsd, cvttpd2dq truncates as cvttsd2si for results
// in range, which gains below kPlainGain guarantee).
template <bool Clip>
__attribute__((target("ssse3,sse4.1"))) int64_t ScaleShuffled24(const unsigned char* from, unsigned char* to,
                                                                size_t samples, double gain) {
  const __m128d factor = _mm_set1_pd(gain);
  const __m128i top = _mm_set1_epi32(RangeOfBits(24).high);
  const __m128i bottom = _mm_set1_epi32(RangeOfBits(24).low);
  __m128i overs = _mm_setzero_si128();
  size_t i = 0;
  // A step loads 16 bytes for its 12: it stops while 4 more lie in the block.
  for (; (i + 4) * 3 + 4 <= samples * 3; i += 4) {
    const __m128i values = LoadFour24(from + 3 * i);
    const __m128i low = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtepi32_pd(values), factor));
    const __m128i high = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(values, values)), factor));
    const __m128i scaled = _mm_unpacklo_epi64(low, high);
    StoreFour24(to + 3 * i, Clip ? ClampFour(scaled, bottom, top, overs) : scaled);
  }
  return OversCounted(overs) + Scale<3, Clip>(from + 3 * i, to + 3 * i, samples - i, gain);
}

// The 24- and 16-bit loops eight samples a step with AVX2: the same
// conversions and products as above, on four doubles at a time.
template <int Width, bool Clip>
__attribute__((target("avx2"))) int64_t ScaleWide(const unsigned char* from, unsigned char* to, size_t samples,
                                                  double gain) {
  const __m256d factor = _mm256_set1_pd(gain);
  const __m128i top = _mm_set1_epi32(RangeOfBits(Width * 8).high);
  const __m128i bottom = _mm_set1_epi32(RangeOfBits(Width * 8).low);
  __m128i overs = _mm_setzero_si128();
  size_t i = 0;
  // A 24-bit load reads 4 bytes past its 24: a step stops while they lie in the block.
  for (; (i + 8) * Width + (Width == 3 ? 4 : 0) <= samples * Width; i += 8) {
    const __m256i values = LoadEightSamples<Width>(from + Width * i);
    const __m128i low = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(values)), factor));
    const __m128i high =
        _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(values, 1)), factor));
    StoreEightSamples<Width>(to + Width * i, Clip ? ClampFour(low, bottom, top, overs) : low,
                             Clip ? ClampFour(high, bottom, top, overs) : high);
  }
  if constexpr (Width == 3) {
    return OversCounted(overs) + ScaleShuffled24<Clip>(from + 3 * i, to + 3 * i, samples - i, gain);
  } else {
    return OversCounted(overs) + Scale<2, Clip>(from + 2 * i, to + 2 * i, samples - i, gain);
  }
}

// The float loop eight samples a step with AVX. The conversions are the
// processor's own: widening is exact, the product rounds as a scalar one
// does, and narrowing rounds to the nearest float and gives infinities beyond
// the float range, as RoundToSingle does.
__attribute__((target("avx"))) void ScaleFloatWide(const unsigned char* from, unsigned char* to, size_t samples,
                                                   double gain) {
  const __m256d factor = _mm256_set1_pd(gain);
  size_t i = 0;
  for (; i + 8 <= samples; i += 8) {
    const __m128 low = _mm_loadu_ps(reinterpret_cast<const float*>(from + 4 * i));
    const __m128 high = _mm_loadu_ps(reinterpret_cast<const float*>(from + 4 * i + 16));
    _mm_storeu_ps(reinterpret_cast<float*>(to + 4 * i), _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(low), factor)));
    _mm_storeu_ps(reinterpret_cast<float*>(to + 4 * i + 16),
                  _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(high), factor)));
  }
  ScaleFloat(from + 4 * i, to + 4 * i, samples - i, gain);
}
#else
template <bool Clip>
int64_t ScaleShuffled24(const unsigned char* from, unsigned char* to, size_t samples, double gain) {
  return Scale<3, Clip>(from, to, samples, gain);
}
template <int Width, bool Clip>
int64_t ScaleWide(const unsigned char* from, unsigned char* to, size_t samples, double gain) {
  return Scale<Width, Clip>(from, to, samples, gain);
}
void ScaleFloatWide(const unsigned char* from, unsigned char* to, size_t samples, double gain) {
  ScaleFloat(from, to, samples, gain);
}
#endif

template <bool Clip>
int64_t ScaleSamples(const unsigned char* from, unsigned char* to, const AudioFormat& format, size_t samples,
                     double gain, InstructionSet instructions) {
  // The processor-specific loops convert without bounds: gains below
  // kPlainGain keep every product within the int range.
  const bool wide = gain < kPlainGain;
  const bool avx2 = wide && Allows(instructions, InstructionSet::kAvx2);
  if (format.bits == 16) {
    return avx2 ? ScaleWide<2, Clip>(from, to, samples, gain) : Scale<2, Clip>(from, to, samples, gain);
  }
  if (format.bits == 24) {
    if (avx2) return ScaleWide<3, Clip>(from, to, samples, gain);
    if (wide && Allows(instructions, InstructionSet::kSsse3)) return ScaleShuffled24<Clip>(from, to, samples, gain);
    return Scale<3, Clip>(from, to, samples, gain);
  }
  if (format.bits == 32 && format.type == SampleType::kFloat) {
    if (Allows(instructions, InstructionSet::kAvx)) {
      ScaleFloatWide(from, to, samples, gain);
    } else {
      ScaleFloat(from, to, samples, gain);
    }
    return 0;
  }
  if (format.bits == 32) return ScaleInt32(from, to, samples, gain);
  // A format the editor does not read: its bytes go through unchanged.
  if (from != to) std::memcpy(to, from, samples * static_cast<size_t>(BytesPerSample(format)));
  return 0;
}

}  // namespace

double GainOf(double level_db) { return std::pow(10.0, level_db / 20.0); }

int64_t ApplyLevelInto(std::span<const unsigned char> from, std::span<unsigned char> to, const AudioFormat& format,
                       int frames, double level_db, InstructionSet instructions) {
  const double gain = GainOf(level_db);
  if (format.channels < 1 || format.channels > kMaxChannels || frames <= 0) return 0;
  const auto samples = static_cast<size_t>(frames) * static_cast<size_t>(format.channels);
  // No level to apply (the reader never stores one): the samples go through unchanged.
  if (std::isnan(gain)) {
    if (from.data() != to.data()) {
      std::memcpy(to.data(), from.data(), static_cast<size_t>(int64_t{frames} * FrameBytes(format)));
    }
    return 0;
  }
  if (gain > 1.0) return ScaleSamples<true>(from.data(), to.data(), format, samples, gain, instructions);
  return ScaleSamples<false>(from.data(), to.data(), format, samples, gain, instructions);
}

int64_t ApplyLevel(std::span<unsigned char> block, const AudioFormat& format, int frames, double level_db,
                   InstructionSet instructions) {
  return ApplyLevelInto(block, block, format, frames, level_db, instructions);
}
