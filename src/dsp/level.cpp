#include "dsp/level.hpp"

#include <array>
#include <cmath>
#include <cstdint>

#include "dsp/codec.hpp"

namespace {

constexpr int kChunk = 1024;
constexpr double k16BitScale = 0.00390625;  // 1/256: back from the 24-bit scale

// One run of at most kChunk frames.
void ScaleChunk(std::span<unsigned char> block, int bytes_per_sample, int channels, int n, double gain) {
  std::array<int32_t, kChunk> a;
  std::array<int32_t, kChunk> b;
  if (channels == 1) {
    CHAR_TO_NUM32(block, a, bytes_per_sample, n);
  } else {
    CHAR_TO_NUM32_STEREO(block, a, b, bytes_per_sample, n);
  }
  const double scale = bytes_per_sample == 2 ? k16BitScale : 1.0;
  // For 24-bit material scale is 1.0, and x * 1.0 == x exactly, so one loop
  // serves both widths with the same results as separate formulas.
  for (int i = 0; i < n; ++i) a[i] = TruncateToInt32(a[i] * gain * scale);
  if (channels == 2) {
    for (int i = 0; i < n; ++i) b[i] = TruncateToInt32(b[i] * gain * scale);
  }
  if (bytes_per_sample == 3) {
    if (channels == 1) NUM24MONO_TO_CHAR(a, block, n);
    else NUM24STER_TO_CHAR(a, b, block, n);
  } else {
    if (channels == 1) NUM16MONO_TO_CHAR(a, block, n);
    else NUM16STER_TO_CHAR(a, b, block, n);
  }
}

}  // namespace

int NewLevel(std::span<unsigned char> block, int bytes_per_sample, int channels, int n, double level_db) {
  const double gain = std::pow(10.0, level_db / 20.0);
  if ((bytes_per_sample != 2 && bytes_per_sample != 3) || (channels != 1 && channels != 2)) return 0;
  const size_t frame_size = static_cast<size_t>(bytes_per_sample) * channels;
  for (int done = 0; done < n; done += kChunk) {
    const int count = n - done < kChunk ? n - done : kChunk;
    ScaleChunk(block.subspan(static_cast<size_t>(done) * frame_size), bytes_per_sample, channels, count, gain);
  }
  return 0;
}
