#include "dsp/codec.hpp"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <vector>

#include "support/wav_builder.hpp"

namespace {

int32_t ReadOne(int bytes_per_sample, Bytes bytes) {
  std::array<int32_t, 1> out{};
  DecodeMono(bytes, out, bytes_per_sample, 1);
  return out[0];
}

TEST(Codec, ReadersDeliverThe24BitScale) {
  struct Case {
    int width;
    Bytes bytes;
    int32_t value;
  };
  const Case cases[] = {
      {2, {0xFF, 0xFF}, -256},        {2, {0x00, 0x80}, -8388608},       {2, {0x34, 0x12}, 1192960},
      {2, {0xFF, 0x7F}, 8388352},     {2, {0x80, 0xFF}, -32768},         {3, {0xFF, 0xFF, 0xFF}, -1},
      {3, {0x00, 0x00, 0x80}, -8388608}, {3, {0x56, 0x34, 0x12}, 1193046}, {3, {0xFF, 0xFF, 0x7F}, 8388607},
      {3, {0x80, 0xFF, 0x00}, 65408},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadOne(c.width, c.bytes), c.value) << Hex(c.bytes);
}

TEST(Codec, StereoReaderSplitsInterleavedFrames) {
  const Bytes bytes{0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00};
  const Bytes copy = bytes;
  std::array<int32_t, 2> left{};
  std::array<int32_t, 2> right{};
  DecodeStereo(bytes, left, right, 3, 2);
  EXPECT_EQ(left, (std::array<int32_t, 2>{-1, 1}));
  EXPECT_EQ(right, (std::array<int32_t, 2>{-8388608, 2}));
  EXPECT_EQ(bytes, copy);
}

TEST(Codec, WritersStoreLowBitsAndComplementNegativeInputs) {
  struct Case {
    int width;
    int32_t value;
    const char* bytes;
    int32_t after;
  };
  const Case cases[] = {
      {16, 4660, "34 12", 4660},          {16, -1, "FF FF", 0},           {16, -32768, "00 80", 32767},
      {16, 32768, "00 80", 32768},        {16, 70000, "70 11", 70000},    {16, -40000, "C0 63", 39999},
      {24, -1, "FF FF FF", 0},            {24, -8388608, "00 00 80", 8388607},
      {24, 1193046, "56 34 12", 1193046}, {24, 8388608, "00 00 80", 8388608},
      {24, 16777216, "00 00 00", 16777216}, {24, INT_MIN, "00 00 00", INT_MAX},
  };
  for (const Case& c : cases) {
    std::array<int32_t, 1> element{c.value};
    Bytes out(3, 0xEE);
    if (c.width == 16) {
      EncodeMono16(element, out, 1);
    } else {
      EncodeMono24(element, out, 1);
    }
    EXPECT_EQ(Hex(std::span(out).first(c.width / 8)), c.bytes) << c.value;
    EXPECT_EQ(element[0], c.after) << c.value;
    if (c.width == 16) {
      EXPECT_EQ(out[2], 0xEE) << "wrote past the frame";
    }
  }
}

TEST(Codec, StereoWritersInterleaveLeftFirst) {
  std::array<int32_t, 1> left{4660};
  std::array<int32_t, 1> right{-2};
  Bytes out(4);
  EncodeStereo16(left, right, out, 1);
  EXPECT_EQ(Hex(out), "34 12 FE FF");
  std::array<int32_t, 2> l24{-1, 5};
  std::array<int32_t, 2> r24{-8388608, 1193046};
  Bytes out24(13, 0xEE);
  EncodeStereo24(l24, r24, out24, 2);
  EXPECT_EQ(Hex(out24), "FF FF FF 00 00 80 05 00 00 56 34 12 EE");
}

TEST(Codec, RoundTripsEveryByteOfEveryFormat) {
  // Every 16-bit value, and a sweep of 24-bit ones, come back as the same bytes.
  std::vector<int32_t> values16;
  for (int v = -32768; v <= 32767; ++v) values16.push_back(v);
  const Bytes bytes16 = PackSamples(16, values16);
  const int frames16 = static_cast<int>(values16.size() / 2);
  std::vector<int32_t> left(frames16);
  std::vector<int32_t> right(frames16);
  DecodeStereo(bytes16, left, right, 2, frames16);
  for (int i = 0; i < frames16; ++i) {
    left[i] /= 256;
    right[i] /= 256;
  }
  Bytes back16(bytes16.size());
  EncodeStereo16(left, right, back16, frames16);
  EXPECT_EQ(back16, bytes16);

  std::vector<int32_t> values24;
  for (int v = -8388608; v <= 8388607; v += 977) values24.push_back(v);
  const Bytes bytes24 = PackSamples(24, values24);
  const int frames24 = static_cast<int>(values24.size());
  std::vector<int32_t> mono(frames24);
  DecodeMono(bytes24, mono, 3, frames24);
  EXPECT_EQ(mono, values24);
  Bytes back24(bytes24.size());
  EncodeMono24(mono, back24, frames24);
  EXPECT_EQ(back24, bytes24);
}

TEST(Codec, NonPositiveCountsTouchNothing) {
  Bytes bytes{1, 2, 3, 4, 5, 6};
  std::array<int32_t, 2> samples{-7, 9};
  DecodeMono(bytes, samples, 2, 0);
  EncodeMono16(samples, bytes, -1);
  EncodeStereo24(samples, samples, bytes, 0);
  EXPECT_EQ(samples, (std::array<int32_t, 2>{-7, 9}));
  EXPECT_EQ(bytes, (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST(Codec, TruncationIsDefinedForEveryDouble) {
  EXPECT_EQ(TruncateToInt32(-3.7), -3);
  EXPECT_EQ(TruncateToInt32(3.7), 3);
  EXPECT_EQ(TruncateToInt32(1e12), INT_MAX);
  EXPECT_EQ(TruncateToInt32(-1e12), INT_MIN);
  EXPECT_EQ(TruncateToInt32(NAN), 0);
  EXPECT_EQ(TruncateToInt32(INFINITY), INT_MAX);
  EXPECT_EQ(TruncateToInt32(-INFINITY), INT_MIN);
  // Around the ends of the range.
  EXPECT_EQ(TruncateToInt32(2147483647.0), INT_MAX);
  EXPECT_EQ(TruncateToInt32(2147483647.75), INT_MAX);
  EXPECT_EQ(TruncateToInt32(2147483646.5), 2147483646);
  EXPECT_EQ(TruncateToInt32(-2147483648.0), INT_MIN);
  EXPECT_EQ(TruncateToInt32(-2147483648.75), INT_MIN);
  EXPECT_EQ(TruncateToInt32(-2147483647.5), -2147483647);
  EXPECT_EQ(TruncateToInt32(-0.9), 0);
}

}  // namespace
