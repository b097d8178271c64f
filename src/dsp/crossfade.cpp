#include "dsp/crossfade.hpp"

#include <array>
#include <cmath>
#include <cstdint>

#include "dsp/codec.hpp"

#include "dsp/packed_avx2.hpp"
#include "dsp/sample_range.hpp"

namespace {

// Frames mixed at a time: their samples, as doubles, stay in the cache.
constexpr int kBlockFrames = 256;
// The quarter turn of the curves is this decimal, not pi/2 to full precision.
constexpr double kQuarterTurn = 1.570796327;

using Values = std::array<double, kBlockFrames * kMaxChannels>;

// The weights of one block of frames, before the level.
struct BlockWeights {
  const double* w_out;
  const double* w_in;
  std::array<double, kBlockFrames> own_out;  // where a curve too wide to keep is computed
  std::array<double, kBlockFrames> own_in;
};

// Points the block's weights into the kept curve, or computes them.
void WeightsOf(BlockWeights& out, const MixSpan& span, int first, int n) {
  if (span.kept != nullptr) {
    out.w_out = span.kept->w_out.data() + first;
    out.w_in = span.kept->w_in.data() + first;
    return;
  }
  for (int i = 0; i < n; ++i) {
    const CrossfadeWeights w = CurveWeights(span.curve, first + i, span.width_frames);
    out.own_out[static_cast<size_t>(i)] = w.w_out;
    out.own_in[static_cast<size_t>(i)] = w.w_in;
  }
  out.w_out = out.own_out.data();
  out.w_in = out.own_in.data();
}

// Every sample of n frames: the incoming one weighted by w_in times the gain
// plus the outgoing one weighted by w_out. Two rounded products and a rounded
// sum: the build disables contraction into a fused multiply-add, which would
// round once. (w_in times a gain of 1.0 is w_in.)
template <int Channels>
void MixValues(const Values& outgoing, const Values& incoming, const BlockWeights& w, double gain, Values& out, int n,
               int channels) {
  const int count = Channels > 0 ? Channels : channels;
  for (int i = 0; i < n; ++i) {
    const double w_in = w.w_in[i] * gain;
    for (int c = 0; c < count; ++c) {
      const int k = i * count + c;
      const double in = incoming[k] * w_in;
      const double out_side = outgoing[k] * w.w_out[i];
      out[k] = in + out_side;
    }
  }
}

// 16- and 24-bit samples of mono and stereo crossfades, the usual case, mixed
// straight from their bytes: the same arithmetic as the general path (16-bit
// samples on the 24-bit scale, brought back by 1/256), without converting
// whole blocks to doubles and back.
template <int Width, int Channels>
int64_t MixPacked(const unsigned char* outgoing, const unsigned char* incoming, unsigned char* __restrict mixed,
                  const double* w_out, const double* w_in, double gain, int from, int n) {
  constexpr double kScale = Width == 2 ? 0.00390625 : 1.0;
  constexpr SampleRange kRange = RangeOfBits(Width * 8);
  int64_t clipped = 0;
  const auto load = [](const unsigned char* at) -> double {
    if constexpr (Width == 2) {
      return 256.0 * static_cast<int16_t>(static_cast<uint16_t>(at[0] | at[1] << 8));
    } else {
      const auto bits = uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16;
      return static_cast<int32_t>(bits << 8) >> 8;
    }
  };
  for (int i = from; i < n; ++i) {
    const double in_weight = w_in[i] * gain;
    for (int c = 0; c < Channels; ++c) {
      const size_t at = (static_cast<size_t>(i) * Channels + c) * Width;
      const double in = load(incoming + at) * in_weight;
      const double out_side = load(outgoing + at) * w_out[i];
      const auto bits = static_cast<uint32_t>(ClampCounted(TruncateToInt32((in + out_side) * kScale), kRange, clipped));
      mixed[at] = static_cast<unsigned char>(bits);
      mixed[at + 1] = static_cast<unsigned char>(bits >> 8);
      if constexpr (Width == 3) mixed[at + 2] = static_cast<unsigned char>(bits >> 16);
    }
  }
  return clipped;
}

#if defined(__x86_64__) || defined(__i386__)
// The same eight samples a step where the processor has AVX2: the same
// conversions, products and sum, four doubles at a time. The truncating
// conversion needs no bounds: samples of 24 bits times weights of at most 1
// and a gain below 16 (levels below 24 dB) stay far inside the int range.
// Frames from the one returned in `done` on are left to the scalar loop.
template <int Width, int Channels>
__attribute__((target("avx2"))) int64_t MixPackedWide(const unsigned char* outgoing, const unsigned char* incoming,
                                                      unsigned char* mixed, const double* w_out, const double* w_in,
                                                      double gain, int n, int& done) {
  constexpr int kFramesAStep = 8 / Channels;
  const __m256d scale = _mm256_set1_pd(Width == 2 ? 0.00390625 : 1.0);
  const __m256d level = _mm256_set1_pd(gain);
  const __m128i top = _mm_set1_epi32(RangeOfBits(Width * 8).high);
  const __m128i bottom = _mm_set1_epi32(RangeOfBits(Width * 8).low);
  __m128i overs = _mm_setzero_si128();  // per lane, minus the count

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
      wi_low = _mm256_mul_pd(_mm256_loadu_pd(w_in + i), level);
      wi_high = _mm256_mul_pd(_mm256_loadu_pd(w_in + i + 4), level);
    } else {
      // Each frame's weights for both of its samples.
      const __m256d wo = _mm256_loadu_pd(w_out + i);
      const __m256d wi = _mm256_mul_pd(_mm256_loadu_pd(w_in + i), level);
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
    StoreFourSamples<Width>(mixed + at, ClampFour(_mm256_cvttpd_epi32(_mm256_mul_pd(mix_low, scale)), bottom, top, overs));
    StoreFourSamples<Width>(mixed + at + 4 * Width,
                            ClampFour(_mm256_cvttpd_epi32(_mm256_mul_pd(mix_high, scale)), bottom, top, overs));
  }
  done = i;
  alignas(16) int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), overs);
  return -(int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3]);
}

bool HasAvx2() { return __builtin_cpu_supports("avx2"); }
#else
template <int Width, int Channels>
int64_t MixPackedWide(const unsigned char*, const unsigned char*, unsigned char*, const double*, const double*, double,
                      int, int& done) {
  done = 0;
  return 0;
}
bool HasAvx2() { return false; }
#endif

template <int Width, int Channels>
int64_t MixPackedBlock(const unsigned char* outgoing, const unsigned char* incoming, unsigned char* mixed,
                       const BlockWeights& w, double gain, int n, bool wide) {
  int from = 0;
  const int64_t clipped =
      wide ? MixPackedWide<Width, Channels>(outgoing, incoming, mixed, w.w_out, w.w_in, gain, n, from) : 0;
  return clipped + MixPacked<Width, Channels>(outgoing, incoming, mixed, w.w_out, w.w_in, gain, from, n);
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
                  std::span<unsigned char> mixed, const AudioFormat& format, const MixSpan& span) {
  int64_t clipped = 0;
  const int channels = format.channels;
  const auto frame_bytes = static_cast<size_t>(FrameBytes(format));
  const bool packed = format.type == SampleType::kInteger && (format.bits == 16 || format.bits == 24) &&
                      (channels == 1 || channels == 2);
  const int kind = packed ? format.bits * 10 + channels : 0;
  const bool wide = packed && HasAvx2();
  BlockWeights weights;
  Values old_values;
  Values new_values;
  Values result;
  for (int first = 0; first < span.frames; first += kBlockFrames) {
    const int n = span.frames - first < kBlockFrames ? span.frames - first : kBlockFrames;
    const size_t at = static_cast<size_t>(first) * frame_bytes;
    WeightsOf(weights, span, span.first + first, n);
    const unsigned char* out_at = outgoing.data() + at;
    const unsigned char* in_at = incoming.data() + at;
    unsigned char* mixed_at = mixed.data() + at;
    switch (kind) {
      case 161: clipped += MixPackedBlock<2, 1>(out_at, in_at, mixed_at, weights, span.gain, n, wide); continue;
      case 162: clipped += MixPackedBlock<2, 2>(out_at, in_at, mixed_at, weights, span.gain, n, wide); continue;
      case 241: clipped += MixPackedBlock<3, 1>(out_at, in_at, mixed_at, weights, span.gain, n, wide); continue;
      case 242: clipped += MixPackedBlock<3, 2>(out_at, in_at, mixed_at, weights, span.gain, n, wide); continue;
      default: break;
    }
    const size_t bytes = static_cast<size_t>(n) * frame_bytes;
    const auto samples = static_cast<size_t>(n) * static_cast<size_t>(channels);
    DecodeSamples(outgoing.subspan(at, bytes), format, std::span(old_values).first(samples));
    DecodeSamples(incoming.subspan(at, bytes), format, std::span(new_values).first(samples));
    if (channels == 1) {
      MixValues<1>(old_values, new_values, weights, span.gain, result, n, channels);
    } else if (channels == 2) {
      MixValues<2>(old_values, new_values, weights, span.gain, result, n, channels);
    } else {
      MixValues<0>(old_values, new_values, weights, span.gain, result, n, channels);
    }
    clipped += EncodeSamples(std::span(result).first(samples), format, mixed.subspan(at, bytes));
  }
  return clipped;
}
