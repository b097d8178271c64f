#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/audio_format.hpp"

// The weights of frame j of a crossfade of width frames, before the level.
struct CrossfadeWeights {
  double w_out;  // destination (outgoing) side
  double w_in;   // source (incoming) side
};
CrossfadeWeights CurveWeights(int curve, int j, int width_frames);

// The curve of the last crossfade rendered, kept by the caller from one entry
// to the next: a run usually joins many entries with the same curve and
// width, and the curve costs a sine or cosine a frame. Curves wider than
// kMaxKeptCurveFrames are not kept, so that it stays small.
inline constexpr int kMaxKeptCurveFrames = 16384;
struct KeptCurve {
  int curve = 0;
  int width_frames = 0;
  // Before the level; empty until a curve is kept.
  std::vector<double> w_out;
  std::vector<double> w_in;
};

// The curve of a crossfade, taken from `kept` when it holds this one and
// computed into it otherwise; null when it is too wide to keep (the weights
// are then computed frame by frame).
const KeptCurve* CurveFor(KeptCurve& kept, int curve, int width_frames);

// Which frames of which crossfade a run of packed frames holds.
struct MixSpan {
  int curve = 1;
  int width_frames = 0;
  int first = 0;     // the crossfade's frame number of the run's first frame
  int frames = 0;    // frames in the run
  double gain = 1.0;  // of the incoming side; 1.0 for no level change
  const KeptCurve* kept = nullptr;
};

// Mixes a run of packed frames: each sample of `incoming` weighted by w_in
// times the gain plus the sample of `outgoing` weighted by w_out, the same
// weights for every channel of a frame, into `mixed` (written as
// EncodeSamples writes: integers clipped). Returns how many were clipped.
int64_t MixFrames(std::span<const unsigned char> outgoing, std::span<const unsigned char> incoming,
               std::span<unsigned char> mixed, const AudioFormat& format, const MixSpan& span);
