#include "dsp/level.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "dsp/codec.hpp"
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

namespace {

// The level change as the codec defines it: read to the 24-bit scale, scale
// by the gain, bring 16-bit results back with 1/256, write back, one block of
// at most 1024 frames at a time.
Bytes CodecReference(Bytes bytes, int width, int channels, double level) {
  const double gain = std::pow(10.0, level / 20.0);
  const int frame = width * channels;
  const int frames = static_cast<int>(bytes.size()) / frame;
  std::vector<int32_t> a(1024);
  std::vector<int32_t> b(1024);
  for (int done = 0; done < frames; done += 1024) {
    const int n = std::min(1024, frames - done);
    auto block = std::span(bytes).subspan(static_cast<size_t>(done) * frame, static_cast<size_t>(n) * frame);
    if (channels == 1) {
      CHAR_TO_NUM32(block, a, width, n);
    } else {
      CHAR_TO_NUM32_STEREO(block, a, b, width, n);
    }
    const double scale = width == 2 ? 0.00390625 : 1.0;
    for (int i = 0; i < n; ++i) {
      a[i] = static_cast<int32_t>(a[i] * gain * scale);
      b[i] = static_cast<int32_t>(b[i] * gain * scale);
    }
    if (width == 2 && channels == 1) NUM16MONO_TO_CHAR(a, block, n);
    if (width == 2 && channels == 2) NUM16STER_TO_CHAR(a, b, block, n);
    if (width == 3 && channels == 1) NUM24MONO_TO_CHAR(a, block, n);
    if (width == 3 && channels == 2) NUM24STER_TO_CHAR(a, b, block, n);
  }
  return bytes;
}

TEST(Level, LargeBlocksGiveTheBytesOfTheCodecBlockByBlockOnEveryPath) {
  for (const int width : {2, 3}) {
    for (const int channels : {1, 2}) {
      for (const int frames : {1, 2, 3, 5, 6, 1023, 1025, 2049, 40001}) {
        for (const double level : {-6.0, 5.5, 23.9, -100.0, -0.001}) {
          const Bytes input = PackSamples(width * 8, Ramp(frames, channels, width * 8, -8388608 / (4 - width), 65537));
          const Bytes want = CodecReference(input, width, channels, level);
          Bytes scaled = input;
          NewLevel(scaled, width, channels, frames, level);
          ASSERT_EQ(scaled, want) << width << " bytes, " << channels << " channels, " << frames << " frames, "
                                  << level << " dB";
          scaled = input;
          NewLevelPortable(scaled, width, channels, frames, level);
          ASSERT_EQ(scaled, want) << "portable: " << width << " bytes, " << channels << " channels, " << frames
                                  << " frames, " << level << " dB";
        }
      }
    }
  }
}

TEST(Level, GainsBeyondTheReadersLimitStayDefined) {
  // 60 dB multiplies by 1000: products beyond the int range saturate before
  // the low bits are stored, instead of being undefined.
  Bytes bytes = PackSamples(24, std::vector<int32_t>{8388607, -8388608, 1000});
  NewLevel(bytes, 3, 1, 3, 60.0);
  EXPECT_EQ(Hex(bytes), "FF FF FF 00 00 00 40 42 0F");
  // An infinite level: full-scale values saturate, silence stays silence.
  Bytes loud = PackSamples(16, std::vector<int32_t>{0, 1, -1});
  NewLevel(loud, 2, 1, 3, INFINITY);
  EXPECT_EQ(Hex(loud), "00 00 FF FF 00 00");
}

}  // namespace
