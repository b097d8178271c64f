#include "dsp/level.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "support/instructions.hpp"
#include "support/reference.hpp"
#include "support/wav_builder.hpp"

namespace {

AudioFormat Format(int width, int channels) { return AudioFormat{.bits = width * 8, .channels = channels}; }

const InstructionSet kThisProcessor = DetectInstructionSet();

std::string Scaled(Bytes bytes, int width, int channels, double level) {
  const int frames = channels == 0 ? 2 : static_cast<int>(bytes.size()) / (width * channels);
  ApplyLevel(bytes, Format(width, channels), frames, level, kThisProcessor);
  return Hex(bytes);
}

TEST(Level, ExamplesAtPlusAndMinusSixDecibels) {
  EXPECT_EQ(Scaled({0x34, 0x12}, 2, 1, 6.0), "51 24");        // 4660 -> 9297
  EXPECT_EQ(Scaled({0xFF, 0x7F}, 2, 1, 6.0), "FF 7F");        // 65378 clips
  EXPECT_EQ(Scaled({0x00, 0x00, 0x80}, 3, 1, -6.0), "19 D9 BF");
  EXPECT_EQ(Scaled({0xFF, 0xFF, 0xFF}, 3, 1, -6.0), "00 00 00");  // -1 truncates to 0
  EXPECT_EQ(Scaled({0x01, 0x00, 0x00}, 3, 1, -6.0), "00 00 00");
  EXPECT_EQ(Scaled({0xFF, 0xFF, 0x7F}, 3, 1, 6.0), "FF FF 7F");  // 16737471 clips
  EXPECT_EQ(Scaled({0x00, 0x00, 0x80}, 3, 1, 0.1), "00 00 80");  // -8478529 clips
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
    ApplyLevel(bytes, Format(width, 2), 2500, -7.5, kThisProcessor);
    const auto out = UnpackSamples(bits, bytes);
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(out[i], Leveled(samples[i], -7.5, bits)) << bits << " at " << i;
  }
}

TEST(Level, UnsupportedFormatsAndEmptyBlocksStayUnchanged) {
  const Bytes bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(Scaled(bytes, 1, 1, 6.0), Hex(bytes));
  EXPECT_EQ(Scaled(bytes, 8, 1, 6.0), Hex(bytes));
  EXPECT_EQ(Scaled(bytes, 2, 0, 6.0), Hex(bytes));
  Bytes copy = bytes;
  ApplyLevel(copy, Format(2, 9), 1, 6.0, kThisProcessor);
  ApplyLevel(copy, Format(2, 1), 0, 6.0, kThisProcessor);
  EXPECT_EQ(copy, bytes);
}

// Floats keep overs, go to infinity beyond the float range, keep subnormals,
// signed zeros, infinities and NaN.
TEST(Level, FloatsKeepEverything) {
  const std::vector<float> floats{0.5F,   -0.75F,   2.5F,      -3.0e38F, 3.0e38F,  FLT_MAX,     FLT_TRUE_MIN, -FLT_MIN, 1e-40F,
                                  0.0F,   -0.0F,    INFINITY,  -INFINITY, 1.0F / 3, -1e-45F, 16777217.0F, NAN,     -NAN};
  for (const InstructionSet set : AvailableInstructionSets()) {
    for (const double level : {-6.0, 6.0, 23.9, -100.0, -0.001, -1000.0}) {
      Bytes bytes = PackFloats(floats);
      ApplyLevel(bytes, AudioFormat{.bits = 32, .channels = 2, .type = SampleType::kFloat}, 9, level, set);
      std::vector<float> want;
      for (const float f : floats) want.push_back(Leveled(f, level));
      EXPECT_EQ(FloatBits(UnpackFloats(bytes)), FloatBits(want)) << level << " dB, " << NameOf(set);
    }
  }
}

// Every sample on its own, as the plain reference computes it.
Bytes Reference(const Bytes& bytes, int width, double level, int64_t& clipped) {
  std::vector<int32_t> samples = UnpackSamples(width * 8, bytes);
  for (int32_t& s : samples) s = Leveled(s, level, width * 8, &clipped);
  return PackSamples(width * 8, samples);
}

// Every integer width and channel count against the plain reference, on
// every instruction set the processor has and the portable one, with the count of
// clipped samples: the loud levels clip part of the full-scale ramps.
TEST(Level, LargeBlocksGiveTheBytesOfTheCodecBlockByBlockOnEveryPath) {
  for (const int width : {2, 3, 4}) {
    for (const int channels : {1, 2, 6}) {
      for (const int frames : {1, 2, 3, 5, 6, 1023, 1025, 2049, 40001}) {
        for (const double level : {-6.0, 5.5, 23.9, -100.0, -0.001}) {
          const int32_t start = width == 4 ? INT32_MIN / 2 : -8388608 / (4 - width);
          const Bytes input = PackSamples(width * 8, Ramp(frames, channels, width * 8, start, 65537));
          int64_t clipped = 0;
          const Bytes want = Reference(input, width, level, clipped);
          for (const InstructionSet set : AvailableInstructionSets()) {
            Bytes scaled = input;
            EXPECT_EQ(ApplyLevel(scaled, Format(width, channels), frames, level, set), clipped);
            ASSERT_EQ(scaled, want) << NameOf(set) << ": " << width << " bytes, " << channels << " channels, " << frames
                                    << " frames, " << level << " dB";
            // From one block into another of exactly its size, which is all
            // either may touch (the sanitizers see a byte more).
            Bytes into(input.size(), 0xA5);
            EXPECT_EQ(ApplyLevelInto(input, into, Format(width, channels), frames, level, set), clipped);
            ASSERT_EQ(into, want) << NameOf(set) << " into another block: " << width << " bytes, " << channels
                                  << " channels, " << frames << " frames, " << level << " dB";
          }
        }
      }
    }
  }
}

TEST(Level, GainsBeyondTheReadersLimitStayDefined) {
  // 60 dB multiplies by 1000: products beyond the int range clip as well,
  // instead of being undefined.
  Bytes bytes = PackSamples(24, std::vector<int32_t>{8388607, -8388608, 1000});
  EXPECT_EQ(ApplyLevel(bytes, Format(3, 1), 3, 60.0, kThisProcessor), 2);
  EXPECT_EQ(Hex(bytes), "FF FF 7F 00 00 80 40 42 0F");
  // An infinite level: every sound clips, silence stays silence.
  Bytes loud = PackSamples(16, std::vector<int32_t>{0, 1, -1});
  EXPECT_EQ(ApplyLevel(loud, Format(2, 1), 3, INFINITY, kThisProcessor), 2);
  EXPECT_EQ(Hex(loud), "00 00 FF 7F 00 80");
}

}  // namespace
