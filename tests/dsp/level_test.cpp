#include "dsp/level.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "support/wav_builder.hpp"

namespace {

std::string Scaled(Bytes bytes, int width, int channels, double level) {
  const int frames = channels == 0 ? 2 : static_cast<int>(bytes.size()) / (width * channels);
  EXPECT_EQ(NewLevel(bytes, width, channels, frames, level), 0);
  return Hex(bytes);
}

TEST(Level, ExamplesAtPlusAndMinusSixDecibels) {
  EXPECT_EQ(Scaled({0x34, 0x12}, 2, 1, 6.0), "51 24");        // 4660 -> 9297
  EXPECT_EQ(Scaled({0xFF, 0x7F}, 2, 1, 6.0), "62 FF");        // 65378 wraps
  EXPECT_EQ(Scaled({0x00, 0x00, 0x80}, 3, 1, -6.0), "19 D9 BF");
  EXPECT_EQ(Scaled({0xFF, 0xFF, 0xFF}, 3, 1, -6.0), "00 00 00");  // -1 truncates to 0
  EXPECT_EQ(Scaled({0x01, 0x00, 0x00}, 3, 1, -6.0), "00 00 00");
  EXPECT_EQ(Scaled({0xFF, 0xFF, 0x7F}, 3, 1, 6.0), "BF 64 FF");  // 16737471 wraps, no clipping
}

TEST(Level, ZeroDecibelsGivesTheSameBytes) {
  const Bytes b16 = PackSamples(16, Ramp(500, 2, 16, -32768, 131));
  const Bytes b24 = PackSamples(24, Ramp(500, 2, 24, -8388608, 33547));
  EXPECT_EQ(Scaled(b16, 2, 2, 0.0), Hex(b16));
  EXPECT_EQ(Scaled(b24, 3, 2, 0.0), Hex(b24));
}

TEST(Level, StereoScalesBothChannelsFrameByFrame) {
  for (const int width : {2, 3}) {
    const int bits = width * 8;
    const auto samples = Ramp(2500, 2, bits, -3000, 1357);
    Bytes bytes = PackSamples(bits, samples);
    ASSERT_EQ(NewLevel(bytes, width, 2, 2500, -7.5), 0);
    const auto out = UnpackSamples(bits, bytes);
    const double gain = std::pow(10.0, -7.5 / 20.0);
    for (size_t i = 0; i < samples.size(); ++i) {
      ASSERT_EQ(out[i], static_cast<int32_t>(samples[i] * gain)) << bits << " at " << i;
    }
  }
}

TEST(Level, UnsupportedFormatsAndEmptyBlocksStayUnchanged) {
  const Bytes bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(Scaled(bytes, 1, 1, 6.0), Hex(bytes));
  EXPECT_EQ(Scaled(bytes, 4, 1, 6.0), Hex(bytes));
  EXPECT_EQ(Scaled(bytes, 2, 0, 6.0), Hex(bytes));
  EXPECT_EQ(Scaled(bytes, 2, 3, 6.0), Hex(bytes));
  Bytes copy = bytes;
  NewLevel(copy, 2, 1, 0, 6.0);
  EXPECT_EQ(copy, bytes);
}

}  // namespace
