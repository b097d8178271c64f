#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/audio_format.hpp"
#include "dsp/cpu.hpp"

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

// The weights of a run of frames, one pair a frame, alike for every channel:
// w_out for what lies under (the outgoing side), w_in for the incoming side
// (its level included).
struct MixWeights {
  std::span<const double> w_out;
  std::span<const double> w_in;
};

// Mixes a run of packed frames (as many as there are weights): each sample of
// `incoming` times w_in plus the sample of `outgoing` times w_out, two rounded
// products and a rounded sum, into `mixed`. Integers are mixed on the 24-bit
// scale (16-bit samples times 256, brought back by 1/256), truncated toward
// zero and clipped to their range; returns how many were clipped. Floats are
// mixed as doubles and rounded to the nearest float. Every instruction set
// gives the same bytes.
int64_t MixFrames(std::span<const unsigned char> outgoing, std::span<const unsigned char> incoming,
                  std::span<unsigned char> mixed, const AudioFormat& format, const MixWeights& weights,
                  InstructionSet instructions);
