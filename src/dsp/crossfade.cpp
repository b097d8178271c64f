#include "dsp/crossfade.hpp"

#include <array>
#include <cmath>
#include <cstdint>

#include "dsp/codec.hpp"

namespace {

// Frames mixed at a time: their samples, as doubles, stay in the cache.
constexpr int kBlockFrames = 256;
// The quarter turn of the curves is this decimal, not pi/2 to full precision.
constexpr double kQuarterTurn = 1.570796327;

using Values = std::array<double, kBlockFrames * kMaxChannels>;

struct Weights {
  std::array<double, kBlockFrames> w_out;
  std::array<double, kBlockFrames> w_in;
};

// The weights of frames first .. first + n - 1, from the kept curve when
// there is one, the incoming side scaled by the gain (1.0 when there is no
// level: multiplying by it changes nothing).
void BlockWeights(Weights& out, const MixSpan& span, int first, int n) {
  for (int i = 0; i < n; ++i) {
    const CrossfadeWeights w = span.kept != nullptr ? span.kept->weights[static_cast<size_t>(first + i)]
                                                    : CurveWeights(span.curve, first + i, span.width_frames);
    out.w_out[i] = w.w_out;
    out.w_in[i] = w.w_in * span.gain;
  }
}

// Two rounded products and a rounded sum: the build disables contraction
// into a fused multiply-add, which would round once.
template <int Channels>
void MixBlock(const Values& outgoing, const Values& incoming, const Weights& w, Values& out, int n, int channels) {
  const int count = Channels > 0 ? Channels : channels;
  for (int i = 0; i < n; ++i) {
    for (int c = 0; c < count; ++c) {
      const int k = i * count + c;
      const double in = incoming[k] * w.w_in[i];
      const double out_side = outgoing[k] * w.w_out[i];
      out[k] = in + out_side;
    }
  }
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
    kept.weights.resize(static_cast<size_t>(width_frames));
    for (int j = 0; j < width_frames; ++j) kept.weights[static_cast<size_t>(j)] = CurveWeights(curve, j, width_frames);
    kept.curve = curve;
    kept.width_frames = width_frames;
  }
  return &kept;
}

void MixFrames(std::span<const unsigned char> outgoing, std::span<const unsigned char> incoming,
               std::span<unsigned char> mixed, const AudioFormat& format, const MixSpan& span) {
  Values old_values;
  Values new_values;
  Values result;
  Weights weights;
  const int channels = format.channels;
  const auto frame_bytes = static_cast<size_t>(FrameBytes(format));
  for (int first = 0; first < span.frames; first += kBlockFrames) {
    const int n = span.frames - first < kBlockFrames ? span.frames - first : kBlockFrames;
    const size_t at = static_cast<size_t>(first) * frame_bytes;
    const size_t bytes = static_cast<size_t>(n) * frame_bytes;
    const auto samples = static_cast<size_t>(n) * static_cast<size_t>(channels);
    DecodeSamples(outgoing.subspan(at, bytes), format, std::span(old_values).first(samples));
    DecodeSamples(incoming.subspan(at, bytes), format, std::span(new_values).first(samples));
    BlockWeights(weights, span, span.first + first, n);
    if (channels == 1) {
      MixBlock<1>(old_values, new_values, weights, result, n, channels);
    } else if (channels == 2) {
      MixBlock<2>(old_values, new_values, weights, result, n, channels);
    } else {
      MixBlock<0>(old_values, new_values, weights, result, n, channels);
    }
    EncodeSamples(std::span(result).first(samples), format, mixed.subspan(at, bytes));
  }
}
