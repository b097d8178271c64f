#include "dsp/envelope.hpp"

#include <algorithm>
#include <limits>

#include "dsp/mix.hpp"
#include "dsp/samples.hpp"

namespace {

// The lowest and highest sample of a run, at the samples' own scale.
struct Extremes {
  double low = 0.0;
  double high = 0.0;
};

template <int Width>
int32_t LoadInteger(const unsigned char* at) {
  if constexpr (Width == 2) return Load16(at);
  if constexpr (Width == 3) return Load24(at);
  return Load32(at);
}

// A float's NaN is silence, as the meter takes it.
inline float Audible(float value) { return value == value ? value : 0.0F; }

template <int Width>
Extremes IntegerExtremes(const unsigned char* at, size_t samples) {
  int32_t low = std::numeric_limits<int32_t>::max();
  int32_t high = std::numeric_limits<int32_t>::min();
  size_t i = 0;
  if constexpr (Width == 3) {
    int32_t four[4];
    for (; i + 4 <= samples; i += 4) {
      Load24Group(at + i * 3, four);
      for (const int32_t v : four) {
        low = std::min(low, v);
        high = std::max(high, v);
      }
    }
  }
  for (; i < samples; ++i) {
    const int32_t v = LoadInteger<Width>(at + i * Width);
    low = std::min(low, v);
    high = std::max(high, v);
  }
  return {static_cast<double>(low), static_cast<double>(high)};
}

Extremes FloatExtremes(const unsigned char* at, size_t samples) {
  float low = std::numeric_limits<float>::infinity();
  float high = -std::numeric_limits<float>::infinity();
  for (size_t i = 0; i < samples; ++i) {
    const float v = Audible(LoadFloat(at + i * 4));
    low = std::min(low, v);
    high = std::max(high, v);
  }
  return {static_cast<double>(low), static_cast<double>(high)};
}

#if defined(__x86_64__) || defined(__i386__)
// Sixteen samples a step (two loads of eight), the rest by the loop above.
template <int Width>
__attribute__((target("avx2"))) Extremes WideExtremes(const unsigned char* at, size_t samples) {
  __m256i low = _mm256_set1_epi32(std::numeric_limits<int32_t>::max());
  __m256i high = _mm256_set1_epi32(std::numeric_limits<int32_t>::min());
  size_t i = 0;
  // A 24-bit load reads 4 bytes past its 24: a step stops while they lie in the run.
  for (; (i + 16) * Width + (Width == 3 ? 4 : 0) <= samples * Width; i += 16) {
    const __m256i a = LoadEightSamples<Width>(at + i * Width);
    const __m256i b = LoadEightSamples<Width>(at + (i + 8) * Width);
    low = _mm256_min_epi32(low, _mm256_min_epi32(a, b));
    high = _mm256_max_epi32(high, _mm256_max_epi32(a, b));
  }
  alignas(32) int32_t lows[8];
  alignas(32) int32_t highs[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lows), low);
  _mm256_store_si256(reinterpret_cast<__m256i*>(highs), high);
  Extremes e{static_cast<double>(*std::min_element(lows, lows + 8)),
             static_cast<double>(*std::max_element(highs, highs + 8))};
  if (i < samples) {
    const Extremes rest = IntegerExtremes<Width>(at + i * Width, samples - i);
    e = {std::min(e.low, rest.low), std::max(e.high, rest.high)};
  }
  return e;
}
#endif

Extremes ExtremesOf(std::span<const unsigned char> bytes, const AudioFormat& format, InstructionSet instructions) {
  const size_t samples = bytes.size() / static_cast<size_t>(BytesPerSample(format));
  const unsigned char* at = bytes.data();
  if (format.type == SampleType::kFloat) return FloatExtremes(at, samples);
#if defined(__x86_64__) || defined(__i386__)
  if (Allows(instructions, InstructionSet::kAvx2)) {
    if (format.bits == 16) return WideExtremes<2>(at, samples);
    if (format.bits == 24) return WideExtremes<3>(at, samples);
  }
#else
  (void)instructions;
#endif
  if (format.bits == 16) return IntegerExtremes<2>(at, samples);
  if (format.bits == 24) return IntegerExtremes<3>(at, samples);
  return IntegerExtremes<4>(at, samples);
}

// One sample's value at full scale: integers over the end of their range,
// floats as they are.
double FullScale(const AudioFormat& format) {
  if (format.type == SampleType::kFloat) return 1.0;
  return format.bits == 16 ? 32768.0 : format.bits == 24 ? 8388608.0 : 2147483648.0;
}

double SampleAt(const unsigned char* at, const AudioFormat& format) {
  if (format.type == SampleType::kFloat) return Audible(LoadFloat(at));
  if (format.bits == 16) return Load16(at);
  if (format.bits == 24) return Load24(at);
  return Load32(at);
}

// Widens a column's range by values at full scale (clipped as integers clip).
void Widen(ColumnFold& fold, int column, double low, double high, bool clip) {
  if (clip) {
    low = std::clamp(low, -1.0, 1.0);
    high = std::clamp(high, -1.0, 1.0);
  }
  float& l = fold.low[static_cast<size_t>(column)];
  float& h = fold.high[static_cast<size_t>(column)];
  l = std::min(l, static_cast<float>(low));
  h = std::max(h, static_cast<float>(high));
}

// A weight that is no number silences, as a gain of 0 would.
double UsableWeight(double weight) { return weight == weight && weight > 0.0 ? weight : 0.0; }

// The frames of [first, first + frames) inside the destination.
struct Inside {
  int64_t from;
  int64_t to;
};
Inside InsideOf(const ColumnGrid& grid, int64_t first, int64_t frames) {
  return {std::max<int64_t>(first, 0), std::min(first + frames, grid.frames)};
}

// The fade envelope of an entry at its frame i: the quarter sine of its
// fade-in times the quarter cosine of its fade-out, as the run shapes it.
double FadeEnvelope(const WeightFactor& f, int64_t i) {
  double e = 1.0;
  if (i < f.fade_in) e = CurveWeights(1, static_cast<int>(i), f.fade_in).w_in;
  const int64_t fading_out = int64_t{f.frames} - f.fade_out;
  if (f.fade_out > 0 && i >= fading_out) e *= CurveWeights(1, static_cast<int>(i - fading_out), f.fade_out).w_out;
  return e;
}

}  // namespace

ColumnFold StartFold(const ColumnGrid& grid) {
  const auto count = static_cast<size_t>(std::max(grid.count, 0));
  return ColumnFold{.grid = grid,
                    .low = std::vector<float>(count, std::numeric_limits<float>::infinity()),
                    .high = std::vector<float>(count, -std::numeric_limits<float>::infinity())};
}

void FoldFrames(std::span<const unsigned char> bytes, const AudioFormat& format, int64_t first, double weight,
                ColumnFold& fold, InstructionSet instructions) {
  const ColumnGrid& grid = fold.grid;
  const int64_t frame_bytes = FrameBytes(format);
  if (grid.count <= 0 || grid.frames <= 0 || frame_bytes <= 0) return;
  const double scale = UsableWeight(weight) / FullScale(format);
  const bool clip = format.type == SampleType::kInteger;
  const Inside inside = InsideOf(grid, first, static_cast<int64_t>(bytes.size()) / frame_bytes);
  for (int64_t from = inside.from; from < inside.to;) {
    const int column = grid.ColumnOf(from);
    const int64_t to = std::min(inside.to, grid.FirstFrame(column + 1));
    const Extremes e = ExtremesOf(bytes.subspan(static_cast<size_t>((from - first) * frame_bytes),
                                                static_cast<size_t>((to - from) * frame_bytes)),
                                  format, instructions);
    Widen(fold, column, e.low * scale, e.high * scale, clip);
    from = to;
  }
}

void FoldWeightedFrames(std::span<const unsigned char> bytes, const AudioFormat& format, int64_t first,
                        std::span<const double> weights, ColumnFold& fold) {
  const ColumnGrid& grid = fold.grid;
  const int64_t frame_bytes = FrameBytes(format);
  if (grid.count <= 0 || grid.frames <= 0 || frame_bytes <= 0) return;
  const int64_t frames =
      std::min(static_cast<int64_t>(bytes.size()) / frame_bytes, static_cast<int64_t>(weights.size()));
  const double full = FullScale(format);
  const bool clip = format.type == SampleType::kInteger;
  const int width = BytesPerSample(format);
  const Inside inside = InsideOf(grid, first, frames);
  for (int64_t from = inside.from; from < inside.to;) {
    const int column = grid.ColumnOf(from);
    const int64_t to = std::min(inside.to, grid.FirstFrame(column + 1));
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    for (int64_t f = from; f < to; ++f) {
      const auto i = static_cast<size_t>(f - first);
      const double w = UsableWeight(weights[i]) / full;
      const unsigned char* frame = bytes.data() + i * static_cast<size_t>(frame_bytes);
      for (int c = 0; c < format.channels; ++c) {
        const double v = SampleAt(frame + c * width, format) * w;
        low = std::min(low, v);
        high = std::max(high, v);
      }
    }
    Widen(fold, column, low, high, clip);
    from = to;
  }
}

void FoldSilence(int64_t first, int64_t frames, ColumnFold& fold) {
  const ColumnGrid& grid = fold.grid;
  if (grid.count <= 0 || grid.frames <= 0) return;
  const Inside inside = InsideOf(grid, first, frames);
  for (int64_t from = inside.from; from < inside.to;) {
    const int column = grid.ColumnOf(from);
    Widen(fold, column, 0.0, 0.0, false);
    from = grid.FirstFrame(column + 1);
  }
}

void MultiplyWeights(const WeightFactor& factor, int64_t first, std::span<double> weights) {
  const int64_t from = std::max(factor.from, first);
  const int64_t to = std::min(factor.to, first + static_cast<int64_t>(weights.size()));
  for (int64_t f = from; f < to; ++f) {
    const int64_t i = f - factor.start;
    double w = 1.0;
    switch (factor.kind) {
      case WeightFactor::Kind::kCurveIn:
        w = CurveWeights(factor.curve, static_cast<int>(i), factor.width).w_in;
        break;
      case WeightFactor::Kind::kCurveOut:
        w = CurveWeights(factor.curve, static_cast<int>(i), factor.width).w_out;
        break;
      case WeightFactor::Kind::kDuck:
        w = 1.0 + (factor.under_gain - 1.0) * FadeEnvelope(factor, i);
        break;
    }
    weights[static_cast<size_t>(f - first)] *= w;
  }
}
