#pragma once

#include <cstdint>
#include <vector>

// The sample arithmetic written out plainly, one sample at a time, as
// independent expectations for the program's block-wise code.

// A sample after a level change: trunc(s * 10^(level/20)), wrapped to `bits`.
int32_t Leveled(int32_t s, double level_db, int bits);

// The frames of a crossfade of `width` frames (interleaved samples in sample
// units): destination frames from insert - width/2 fade out along curve
// `type` while source frames from read_start - width/2 fade in, scaled by the
// level. Frames beyond either vector count as silence.
std::vector<int32_t> ReferenceCrossfade(const std::vector<int32_t>& destination, const std::vector<int32_t>& source,
                                        int insert, int read_start, int width, int type, double level_db,
                                        int channels, int bits);
