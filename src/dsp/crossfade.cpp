#include "dsp/crossfade.hpp"

#include <array>
#include <cmath>
#include <cstdint>

#include "dsp/codec.hpp"

namespace {

constexpr int kBlockFrames = 1024;
// The quarter turn of the curves is this decimal, not pi/2 to full precision.
constexpr double kQuarterTurn = 1.570796327;
constexpr double k16BitScale = 0.00390625;

using Samples = std::array<int32_t, kBlockFrames>;

struct Channels {
  Samples left;
  Samples right;
};

void ToSamples(std::span<const unsigned char> bytes, Channels& out, int channels, int bytes_per_sample, int n) {
  if (channels == 1) {
    DecodeMono(bytes, out.left, bytes_per_sample, n);
  } else {
    DecodeStereo(bytes, out.left, out.right, bytes_per_sample, n);
  }
}

void ToBytes(Channels& in, std::span<unsigned char> bytes, int channels, int bytes_per_sample, int n) {
  if (bytes_per_sample == 2) {
    if (channels == 1) EncodeMono16(in.left, bytes, n);
    else EncodeStereo16(in.left, in.right, bytes, n);
  } else {
    if (channels == 1) EncodeMono24(in.left, bytes, n);
    else EncodeStereo24(in.left, in.right, bytes, n);
  }
}

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

void MixBlock(const Samples& outgoing, const Samples& incoming, const Weights& w, double scale, Samples& out,
              int n) {
  for (int i = 0; i < n; ++i) {
    // Two rounded products and a rounded sum: the build disables contraction
    // into a fused multiply-add, which would round once.
    const double in = static_cast<double>(incoming[i]) * w.w_in[i];
    const double out_side = static_cast<double>(outgoing[i]) * w.w_out[i];
    out[i] = TruncateToInt32((in + out_side) * scale);
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
               std::span<unsigned char> mixed, int bytes_per_sample, int channels, const MixSpan& span) {
  Channels old_samples;
  Channels new_samples;
  Channels result;
  Weights weights;
  const double scale = bytes_per_sample == 2 ? k16BitScale : 1.0;
  const auto frame_bytes = static_cast<size_t>(bytes_per_sample) * static_cast<size_t>(channels);
  for (int first = 0; first < span.frames; first += kBlockFrames) {
    const int n = span.frames - first < kBlockFrames ? span.frames - first : kBlockFrames;
    const size_t at = static_cast<size_t>(first) * frame_bytes;
    ToSamples(outgoing.subspan(at), old_samples, channels, bytes_per_sample, n);
    ToSamples(incoming.subspan(at), new_samples, channels, bytes_per_sample, n);
    BlockWeights(weights, span, span.first + first, n);
    MixBlock(old_samples.left, new_samples.left, weights, scale, result.left, n);
    if (channels == 2) MixBlock(old_samples.right, new_samples.right, weights, scale, result.right, n);
    ToBytes(result, mixed.subspan(at), channels, bytes_per_sample, n);
  }
}
