#include "dsp/mix.hpp"

#include <array>
#include <cmath>
#include <cstdint>

#include "dsp/codec.hpp"
#include "dsp/samples.hpp"

namespace {

// The quarter turn of the curves is this decimal, not pi/2 to full precision.
constexpr double kQuarterTurn = 1.570796327;

// Frames mixed at a time on the general path: their samples, as doubles,
// stay in the cache.
constexpr int kBlockFrames = 256;

// The mixes that go straight from the packed bytes: 16- and 24-bit integers,
// mono and stereo, the usual case. Everything else goes through doubles.
enum class PackedLayout { kNone, kMono16, kStereo16, kMono24, kStereo24 };

PackedLayout LayoutOf(const AudioFormat& format) {
  if (format.type != SampleType::kInteger || (format.channels != 1 && format.channels != 2)) return PackedLayout::kNone;
  if (format.bits == 16) return format.channels == 1 ? PackedLayout::kMono16 : PackedLayout::kStereo16;
  if (format.bits == 24) return format.channels == 1 ? PackedLayout::kMono24 : PackedLayout::kStereo24;
  return PackedLayout::kNone;
}

// Frames [from, n) of a packed mix, one sample at a time: the same
// arithmetic as the general path (16-bit samples on the 24-bit scale, brought
// back by 1/256), without converting whole blocks to doubles and back.
template <int Width, int Channels>
int64_t MixPacked(const unsigned char* outgoing, const unsigned char* incoming, unsigned char* __restrict mixed,
                  const double* w_out, const double* w_in, int from, int n) {
  constexpr double kScale = Width == 2 ? 0.00390625 : 1.0;
  constexpr SampleRange kRange = RangeOfBits(Width * 8);
  const auto load = [](const unsigned char* at) -> double { return Width == 2 ? 256.0 * Load16(at) : Load24(at); };
  int64_t clipped = 0;
  for (int i = from; i < n; ++i) {
    for (int c = 0; c < Channels; ++c) {
      const size_t at = (static_cast<size_t>(i) * Channels + c) * Width;
      const double in = load(incoming + at) * w_in[i];
      const double out_side = load(outgoing + at) * w_out[i];
      StoreLow<Width>(mixed + at, ClampCounted(TruncateToInt32((in + out_side) * kScale), kRange, clipped));
    }
  }
  return clipped;
}

#if defined(__x86_64__) || defined(__i386__)
// The same eight samples a step with AVX2: the same conversions, products and
// sum, four doubles at a time. The truncating conversion needs no bounds:
// samples of 24 bits times weights below 16 stay far inside the int range.
// Returns the frames done; the rest is left to the loop above.
template <int Width, int Channels>
__attribute__((target("avx2"))) int MixPackedWide(const unsigned char* outgoing, const unsigned char* incoming,
                                                  unsigned char* mixed, const double* w_out, const double* w_in, int n,
                                                  int64_t& clipped) {
  constexpr int kFramesAStep = 8 / Channels;
  const __m256d scale = _mm256_set1_pd(Width == 2 ? 0.00390625 : 1.0);
  const __m128i top = _mm_set1_epi32(RangeOfBits(Width * 8).high);
  const __m128i bottom = _mm_set1_epi32(RangeOfBits(Width * 8).low);
  __m128i overs = _mm_setzero_si128();
  int i = 0;
  // A 24-bit step loads 16 bytes for the last 12 of its 24: it stops while 4
  // more lie in the block.
  const int bytes = n * Channels * Width;
  for (; (i + kFramesAStep) * Channels * Width + (Width == 3 ? 4 : 0) <= bytes; i += kFramesAStep) {
    const size_t at = static_cast<size_t>(i) * Channels * Width;
    // On the 24-bit scale: 16-bit samples times 256.
    const __m256i old_values = _mm256_slli_epi32(LoadEightSamples<Width>(outgoing + at), Width == 2 ? 8 : 0);
    const __m256i new_values = _mm256_slli_epi32(LoadEightSamples<Width>(incoming + at), Width == 2 ? 8 : 0);
    __m256d wo_low, wo_high, wi_low, wi_high;
    if constexpr (Channels == 1) {
      wo_low = _mm256_loadu_pd(w_out + i);
      wo_high = _mm256_loadu_pd(w_out + i + 4);
      wi_low = _mm256_loadu_pd(w_in + i);
      wi_high = _mm256_loadu_pd(w_in + i + 4);
    } else {
      // Each frame's weights for both of its samples.
      const __m256d wo = _mm256_loadu_pd(w_out + i);
      const __m256d wi = _mm256_loadu_pd(w_in + i);
      wo_low = _mm256_permute4x64_pd(wo, 0x50);
      wo_high = _mm256_permute4x64_pd(wo, 0xFA);
      wi_low = _mm256_permute4x64_pd(wi, 0x50);
      wi_high = _mm256_permute4x64_pd(wi, 0xFA);
    }
    const __m256d old_low = _mm256_cvtepi32_pd(_mm256_castsi256_si128(old_values));
    const __m256d old_high = _mm256_cvtepi32_pd(_mm256_extracti128_si256(old_values, 1));
    const __m256d new_low = _mm256_cvtepi32_pd(_mm256_castsi256_si128(new_values));
    const __m256d new_high = _mm256_cvtepi32_pd(_mm256_extracti128_si256(new_values, 1));
    const __m256d mix_low = _mm256_add_pd(_mm256_mul_pd(new_low, wi_low), _mm256_mul_pd(old_low, wo_low));
    const __m256d mix_high = _mm256_add_pd(_mm256_mul_pd(new_high, wi_high), _mm256_mul_pd(old_high, wo_high));
    StoreFourSamples<Width>(mixed + at,
                            ClampFour(_mm256_cvttpd_epi32(_mm256_mul_pd(mix_low, scale)), bottom, top, overs));
    StoreFourSamples<Width>(mixed + at + 4 * Width,
                            ClampFour(_mm256_cvttpd_epi32(_mm256_mul_pd(mix_high, scale)), bottom, top, overs));
  }
  clipped += OversCounted(overs);
  return i;
}
#else
template <int Width, int Channels>
int MixPackedWide(const unsigned char*, const unsigned char*, unsigned char*, const double*, const double*, int,
                  int64_t&) {
  return 0;
}
#endif

template <int Width, int Channels>
int64_t MixPackedFrames(const unsigned char* outgoing, const unsigned char* incoming, unsigned char* mixed,
                        const MixWeights& w, int n, InstructionSet instructions) {
  int64_t clipped = 0;
  const int from =
      Allows(instructions, InstructionSet::kAvx2)
          ? MixPackedWide<Width, Channels>(outgoing, incoming, mixed, w.w_out.data(), w.w_in.data(), n, clipped)
          : 0;
  return clipped + MixPacked<Width, Channels>(outgoing, incoming, mixed, w.w_out.data(), w.w_in.data(), from, n);
}

// Every other format, a block of frames at a time through doubles. Two
// rounded products and a rounded sum: the build disables contraction into a
// fused multiply-add, which would round once.
int64_t MixThroughDoubles(std::span<const unsigned char> outgoing, std::span<const unsigned char> incoming,
                          std::span<unsigned char> mixed, const AudioFormat& format, const MixWeights& w) {
  using Values = std::array<double, kBlockFrames * kMaxChannels>;
  Values old_values;
  Values new_values;
  Values result;
  const auto channels = static_cast<size_t>(format.channels);
  const auto frame_bytes = static_cast<size_t>(FrameBytes(format));
  const size_t frames = w.w_out.size();
  int64_t clipped = 0;
  for (size_t first = 0; first < frames; first += kBlockFrames) {
    const size_t n = frames - first < kBlockFrames ? frames - first : kBlockFrames;
    const size_t at = first * frame_bytes;
    const size_t bytes = n * frame_bytes;
    const size_t samples = n * channels;
    DecodeSamples(outgoing.subspan(at, bytes), format, std::span(old_values).first(samples));
    DecodeSamples(incoming.subspan(at, bytes), format, std::span(new_values).first(samples));
    for (size_t i = 0; i < n; ++i) {
      for (size_t c = 0; c < channels; ++c) {
        const size_t k = i * channels + c;
        const double in = new_values[k] * w.w_in[first + i];
        const double out_side = old_values[k] * w.w_out[first + i];
        result[k] = in + out_side;
      }
    }
    clipped += EncodeSamples(std::span(result).first(samples), format, mixed.subspan(at, bytes));
  }
  return clipped;
}

}  // namespace

CrossfadeWeights CurveWeights(int curve, int j, int width_frames) {
  const double u = static_cast<double>(j) / static_cast<double>(width_frames);
  const double a = u * kQuarterTurn;
  double w_out = 0.0;
  switch (curve) {
    case 1: {
      // One evaluation for both: the same values as sin and cos separately.
      double sine = 0.0;
      double cosine = 0.0;
      sincos(a, &sine, &cosine);
      return {cosine, sine};
    }
    case 2:
      w_out = 1.0 - u;
      break;
    case 3:
      w_out = std::cos(a);
      break;
    default:
      w_out = 1.0 - std::sin(a);
      break;
  }
  return {w_out, 1.0 - w_out};
}
const KeptCurve* CurveFor(KeptCurve& kept, int curve, int width_frames) {
  if (width_frames > kMaxKeptCurveFrames) return nullptr;
  if (kept.curve != curve || kept.width_frames != width_frames) {
    kept.w_out.resize(static_cast<size_t>(width_frames));
    kept.w_in.resize(static_cast<size_t>(width_frames));
    for (int j = 0; j < width_frames; ++j) {
      const CrossfadeWeights w = CurveWeights(curve, j, width_frames);
      kept.w_out[static_cast<size_t>(j)] = w.w_out;
      kept.w_in[static_cast<size_t>(j)] = w.w_in;
    }
    kept.curve = curve;
    kept.width_frames = width_frames;
  }
  return &kept;
}

int64_t MixFrames(std::span<const unsigned char> outgoing, std::span<const unsigned char> incoming,
                  std::span<unsigned char> mixed, const AudioFormat& format, const MixWeights& weights,
                  InstructionSet instructions) {
  const auto n = static_cast<int>(weights.w_out.size());
  const unsigned char* out_at = outgoing.data();
  const unsigned char* in_at = incoming.data();
  unsigned char* mixed_at = mixed.data();
  switch (LayoutOf(format)) {
    case PackedLayout::kMono16:
      return MixPackedFrames<2, 1>(out_at, in_at, mixed_at, weights, n, instructions);
    case PackedLayout::kStereo16:
      return MixPackedFrames<2, 2>(out_at, in_at, mixed_at, weights, n, instructions);
    case PackedLayout::kMono24:
      return MixPackedFrames<3, 1>(out_at, in_at, mixed_at, weights, n, instructions);
    case PackedLayout::kStereo24:
      return MixPackedFrames<3, 2>(out_at, in_at, mixed_at, weights, n, instructions);
    case PackedLayout::kNone:
      break;
  }
  return MixThroughDoubles(outgoing, incoming, mixed, format, weights);
}
