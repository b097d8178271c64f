#pragma once

// Waveform envelopes for a picture: the lowest and highest sample value of
// every column of destination frames, folded from packed frames as they are
// read, so that memory stays that of the columns however long the
// programme. Values are on full scale: 1.0 is the end of the integer range
// (16-bit 32768, 24-bit 8388608, 32-bit 2^31), floats as they are.

#include <cstdint>
#include <span>
#include <vector>

#include "common/audio_format.hpp"
#include "dsp/cpu.hpp"

// Frames [0, frames) of the destination over `count` columns: frame f lies in
// column f x count / frames (rounded down).
struct ColumnGrid {
  int64_t frames = 0;
  int count = 0;
  // The column of a frame of the destination.
  int ColumnOf(int64_t frame) const { return static_cast<int>(frame * count / frames); }
  // The first frame of a column (the frame after the last for `count`).
  int64_t FirstFrame(int column) const { return (int64_t{column} * frames + count - 1) / count; }
};

// The envelope as it is folded. A column that no frame reached has
// low > high.
struct ColumnFold {
  ColumnGrid grid;
  std::vector<float> low;
  std::vector<float> high;
};
ColumnFold StartFold(const ColumnGrid& grid);

// Whether a column holds any frame.
inline bool Reached(const ColumnFold& fold, int column) {
  return fold.low[static_cast<size_t>(column)] <= fold.high[static_cast<size_t>(column)];
}

// Folds packed frames that land at destination frames from `first` on, every
// sample times `weight` (0 or more), into the columns. Integer values go no
// further than full scale, as the run clips them; a float's NaN counts as
// silence. Frames outside the destination are left out. Every instruction
// set folds the same values.
void FoldFrames(std::span<const unsigned char> bytes, const AudioFormat& format, int64_t first, double weight,
                ColumnFold& fold, InstructionSet instructions);

// The same with a weight for each frame.
void FoldWeightedFrames(std::span<const unsigned char> bytes, const AudioFormat& format, int64_t first,
                        std::span<const double> weights, ColumnFold& fold);

// Silent frames [first, first + frames): they reach their columns at 0.
void FoldSilence(int64_t first, int64_t frames, ColumnFold& fold);

// One factor of the weight an entry sounds with over destination frames
// [from, to), besides its level: a crossfade curve's incoming or outgoing
// weight (a fade is curve 1), or the duck of a mixed entry written after it,
// 1 + (under_gain - 1) e, e the ducking entry's own fade envelope.
struct WeightFactor {
  enum class Kind : uint8_t { kCurveIn, kCurveOut, kDuck };
  Kind kind = Kind::kCurveIn;
  int64_t from = 0;
  int64_t to = 0;
  int64_t start = 0;  // the frame where the curve, or the ducking entry, starts
  int width = 0;      // the curve's frames
  int curve = 1;      // 1 to 4
  // A duck: the ducking entry's frames and fades, and what lies under it is
  // changed by.
  int frames = 0;
  int fade_in = 0;
  int fade_out = 0;
  double under_gain = 1.0;
};

// Multiplies the weights of destination frames [first, first + weights.size())
// by the factor where it applies, with the arithmetic of the run's mix.
void MultiplyWeights(const WeightFactor& factor, int64_t first, std::span<double> weights);
