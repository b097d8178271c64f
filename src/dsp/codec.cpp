#include "dsp/codec.hpp"

#include <bit>
#include <cstring>

#include "common/numbers.hpp"
#include "dsp/sample_range.hpp"

namespace {

static_assert(std::endian::native == std::endian::little, "samples are loaded as little-endian integers");

constexpr double k16BitScale = 0.00390625;  // 1/256, exact

int32_t Load16(const unsigned char* at) {
  int16_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

int32_t Load24(const unsigned char* at) {
  const auto bits = uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16;
  return static_cast<int32_t>(bits << 8) >> 8;  // sign-extend the 24 bits
}

void StoreLow(unsigned char* at, uint32_t bits, int width) {
  at[0] = static_cast<unsigned char>(bits);
  at[1] = static_cast<unsigned char>(bits >> 8);
  if (width >= 3) at[2] = static_cast<unsigned char>(bits >> 16);
  if (width == 4) at[3] = static_cast<unsigned char>(bits >> 24);
}

}  // namespace

void DecodeSamples(std::span<const unsigned char> bytes, const AudioFormat& format, std::span<double> samples) {
  const unsigned char* at = bytes.data();
  const size_t n = samples.size();
  if (format.bits == 16) {
    for (size_t i = 0; i < n; ++i) samples[i] = 256.0 * Load16(at + 2 * i);
  } else if (format.bits == 24) {
    for (size_t i = 0; i < n; ++i) samples[i] = Load24(at + 3 * i);
  } else if (format.type == SampleType::kFloat) {
    for (size_t i = 0; i < n; ++i) {
      float value;
      std::memcpy(&value, at + 4 * i, sizeof value);
      samples[i] = value;
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      int32_t value;
      std::memcpy(&value, at + 4 * i, sizeof value);
      samples[i] = value;
    }
  }
}

int64_t EncodeSamples(std::span<const double> values, const AudioFormat& format, std::span<unsigned char> bytes) {
  unsigned char* at = bytes.data();
  const size_t n = values.size();
  int64_t clipped = 0;
  const SampleRange range = RangeOfBits(format.bits);
  if (format.bits == 16) {
    for (size_t i = 0; i < n; ++i) {
      StoreLow(at + 2 * i, static_cast<uint32_t>(ClampCounted(TruncateToInt64(values[i] * k16BitScale), range, clipped)), 2);
    }
  } else if (format.bits == 24) {
    for (size_t i = 0; i < n; ++i) {
      StoreLow(at + 3 * i, static_cast<uint32_t>(ClampCounted(TruncateToInt64(values[i]), range, clipped)), 3);
    }
  } else if (format.type == SampleType::kFloat) {
    for (size_t i = 0; i < n; ++i) {
      const float value = RoundToSingle(values[i]);
      std::memcpy(at + 4 * i, &value, sizeof value);
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      const int32_t value = ClampCounted(TruncateToInt64(values[i]), range, clipped);
      std::memcpy(at + 4 * i, &value, sizeof value);
    }
  }
  return clipped;
}
