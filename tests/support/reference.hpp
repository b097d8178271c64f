#pragma once

#include <cstdint>
#include <vector>

// The sample arithmetic written out plainly, one sample at a time, as
// independent expectations for the program's block-wise code.

// An integer sample after a level change: trunc(s * 10^(level/20)), clipped
// to `bits` (16, 24 or 32); a clipped one counts in `clipped`.
int32_t Leveled(int32_t s, double level_db, int bits, int64_t* clipped = nullptr);

// A float sample after a level change: s * 10^(level/20) in double
// precision, rounded to the nearest float (infinity beyond the range).
float Leveled(float s, double level_db);

// One crossfade of `width` frames: destination frames from insert - width/2
// fade out along curve 1 to 4 while source frames from read_start - width/2
// fade in, scaled by the level.
struct CrossfadeCase {
  int insert = 0;
  int read_start = 0;
  int width = 0;
  int curve = 1;
  double level = 0.0;
  int channels = 1;
  int bits = 16;               // integers only
  int64_t* clipped = nullptr;  // integers only: counts what is clipped
};

// The frames of the crossfade (interleaved samples in sample units), clipped
// to the sample range. Frames beyond either vector count as silence.
std::vector<int32_t> ReferenceCrossfade(const std::vector<int32_t>& destination, const std::vector<int32_t>& source,
                                        const CrossfadeCase& c);

// The same for 32-bit floats.
std::vector<float> ReferenceCrossfade(const std::vector<float>& destination, const std::vector<float>& source,
                                      const CrossfadeCase& c);
