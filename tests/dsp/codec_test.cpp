#include "dsp/codec.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "dsp/samples.hpp"
#include "support/wav_builder.hpp"

namespace {

AudioFormat Integers(int bits, int channels = 1) { return AudioFormat{.rate = 8000, .bits = bits, .channels = channels}; }
const AudioFormat kFloats{.rate = 8000, .bits = 32, .channels = 1, .type = SampleType::kFloat};

double ReadOne(const AudioFormat& format, const Bytes& bytes) {
  std::array<double, 1> out{};
  DecodeSamples(bytes, format, out);
  return out[0];
}

Bytes FloatBytes(float value) {
  Bytes out(4);
  std::memcpy(out.data(), &value, 4);
  return out;
}

TEST(Codec, ReadersDeliverThe24BitScale) {
  struct Case {
    int width;
    Bytes bytes;
    double value;
  };
  const Case cases[] = {
      {2, {0xFF, 0xFF}, -256},        {2, {0x00, 0x80}, -8388608},       {2, {0x34, 0x12}, 1192960},
      {2, {0xFF, 0x7F}, 8388352},     {2, {0x80, 0xFF}, -32768},         {3, {0xFF, 0xFF, 0xFF}, -1},
      {3, {0x00, 0x00, 0x80}, -8388608}, {3, {0x56, 0x34, 0x12}, 1193046}, {3, {0xFF, 0xFF, 0x7F}, 8388607},
      {3, {0x80, 0xFF, 0x00}, 65408},
      // 32-bit integers at their own scale.
      {4, {0xFF, 0xFF, 0xFF, 0x7F}, 2147483647.0}, {4, {0x00, 0x00, 0x00, 0x80}, -2147483648.0},
      {4, {0xFE, 0xFF, 0xFF, 0xFF}, -2},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadOne(Integers(c.width * 8), c.bytes), c.value) << Hex(c.bytes);
  // Floats widen exactly, whatever they hold.
  for (const float f : {0.5F, -0.0F, FLT_MAX, -FLT_MIN, FLT_TRUE_MIN, INFINITY, -INFINITY, 1.0F / 3}) {
    const double read = ReadOne(kFloats, FloatBytes(f));
    EXPECT_EQ(std::bit_cast<uint64_t>(read), std::bit_cast<uint64_t>(static_cast<double>(f))) << f;
  }
  EXPECT_TRUE(std::isnan(ReadOne(kFloats, FloatBytes(NAN))));
}

TEST(Codec, InterleavedFramesReadInOrder) {
  const Bytes bytes{0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00};
  const Bytes copy = bytes;
  std::array<double, 4> samples{};
  DecodeSamples(bytes, Integers(24, 2), samples);
  EXPECT_EQ(samples, (std::array<double, 4>{-1, -8388608, 1, 2}));
  EXPECT_EQ(bytes, copy);
}

TEST(Codec, WritersTruncateAndClipToTheSampleRange) {
  struct Case {
    int bits;
    double value;  // on the arithmetic's scale: 16-bit values times 256
    const char* bytes;
    int clipped;
  };
  const Case cases[] = {
      {16, 4660 * 256.0, "34 12", 0},
      {16, -256, "FF FF", 0},
      {16, -32768 * 256.0, "00 80", 0},
      {16, 32768 * 256.0, "FF 7F", 1},
      {16, 70000 * 256.0, "FF 7F", 1},
      {16, -40000 * 256.0, "00 80", 1},
      {16, -3.7 * 256, "FD FF", 0},
      {16, 255.9, "00 00", 0},
      {16, 32767.99 * 256.0, "FF 7F", 0},
      {24, -1, "FF FF FF", 0},
      {24, -8388608, "00 00 80", 0},
      {24, 1193046, "56 34 12", 0},
      {24, 8388608, "FF FF 7F", 1},
      {24, 16777216, "FF FF 7F", 1},
      {24, -1.9, "FF FF FF", 0},
      {24, -8388609, "00 00 80", 1},
      {24, 8388607.9, "FF FF 7F", 0},
      {32, 2147483647.9, "FF FF FF 7F", 0},
      {32, 2147483648.0, "FF FF FF 7F", 1},
      {32, -2147483649.0, "00 00 00 80", 1},
      {32, 4294967297.5, "FF FF FF 7F", 1},
      {32, -0.5, "00 00 00 00", 0},
  };
  for (const Case& c : cases) {
    Bytes out(static_cast<size_t>(c.bits / 8));
    EXPECT_EQ(EncodeSamples(std::array<double, 1>{c.value}, Integers(c.bits), out), c.clipped)
        << c.bits << ": " << c.value;
    EXPECT_EQ(Hex(out), c.bytes) << c.bits << ": " << c.value;
  }
}

TEST(Codec, FloatWritersRoundToNearestAndOverflowToInfinity) {
  const auto written = [](double value) {
    Bytes out(4);
    EncodeSamples(std::array<double, 1>{value}, kFloats, out);
    float f = 0;
    std::memcpy(&f, out.data(), 4);
    return f;
  };
  EXPECT_EQ(written(0.1), 0.1F);
  EXPECT_EQ(written(1e300), INFINITY);
  EXPECT_EQ(written(-1e300), -INFINITY);
  EXPECT_EQ(written(0x1.fffffefp127), FLT_MAX);      // rounds down to the largest float
  EXPECT_EQ(written(0x1.ffffffp127), INFINITY);      // the first value that rounds up to infinity
  EXPECT_EQ(written(FLT_TRUE_MIN * 0.75), FLT_TRUE_MIN);  // subnormals are kept, not flushed
  EXPECT_TRUE(std::signbit(written(-0.0)));
  EXPECT_TRUE(std::isnan(written(NAN)));
}

TEST(Codec, RoundTripsEveryByteOfEveryFormat) {
  // Every 16-bit value, a sweep of 24- and 32-bit ones and a sweep of float
  // bit patterns come back as the same bytes.
  std::vector<int32_t> values16;
  for (int v = -32768; v <= 32767; ++v) values16.push_back(v);
  std::vector<int32_t> values24;
  for (int v = -8388608; v <= 8388607; v += 977) values24.push_back(v);
  Bytes bytes32;
  for (int64_t v = INT_MIN; v <= INT_MAX; v += 65537 * 997) Append32(bytes32, static_cast<uint32_t>(v));
  Bytes float_bytes;
  for (uint64_t bits = 0; bits <= 0xFFFFFFFF; bits += 99991) {
    if (!std::isnan(std::bit_cast<float>(static_cast<uint32_t>(bits)))) Append32(float_bytes, static_cast<uint32_t>(bits));
  }
  const std::pair<AudioFormat, Bytes> cases[] = {
      {Integers(16, 2), PackSamples(16, values16)},
      {Integers(24, 1), PackSamples(24, values24)},
      {Integers(32, 4), bytes32},
      {AudioFormat{.bits = 32, .channels = 1, .type = SampleType::kFloat}, float_bytes},
  };
  for (const auto& [format, bytes] : cases) {
    std::vector<double> samples(bytes.size() / static_cast<size_t>(format.bits / 8));
    DecodeSamples(bytes, format, samples);
    Bytes back(bytes.size());
    EncodeSamples(samples, format, back);
    EXPECT_EQ(back, bytes) << format.bits << " bits";
  }
}

TEST(Codec, EmptyRunsTouchNothing) {
  Bytes bytes{1, 2, 3, 4, 5, 6};
  std::array<double, 2> samples{-7, 9};
  DecodeSamples(bytes, Integers(16), std::span(samples).first(0));
  EncodeSamples(std::span(samples).first(0), Integers(24), bytes);
  EXPECT_EQ(samples, (std::array<double, 2>{-7, 9}));
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
  // The 64-bit one at its ends.
  EXPECT_EQ(TruncateToInt64(-0x1p63), INT64_MIN);
  EXPECT_EQ(TruncateToInt64(0x1p63), 0x7FFFFFFFFFFFFC00);
  EXPECT_EQ(TruncateToInt64(INFINITY), 0x7FFFFFFFFFFFFC00);
  EXPECT_EQ(TruncateToInt64(-1e300), INT64_MIN);
  EXPECT_EQ(TruncateToInt64(NAN), 0);
  EXPECT_EQ(TruncateToInt64(-4294967297.9), -4294967297);
}

}  // namespace
