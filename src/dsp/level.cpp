#include "dsp/level.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

static_assert(std::endian::native == std::endian::little, "samples are loaded as little-endian integers");

// Samples per pass of the three loops below: small enough for the stack and
// the first-level cache, large enough for the loops to run long.
constexpr size_t kChunk = 2048;

// Every sample is scaled on its own, with the same arithmetic in both
// channels, so the interleaved block is treated as one run of samples.
//
// On the codec's 24-bit scale a 16-bit sample s reads as 256 s, and its
// result is trunc(256 s * g * 1/256). Scaling by a power of two commutes with
// rounding, so that is exactly trunc(s * g): both widths scale their own
// integer values.
int32_t Load2(const unsigned char* at) {
  int16_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

int32_t Load3(const unsigned char* at) {
  const auto bits = static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16;
  return static_cast<int32_t>(bits << 8) >> 8;  // sign-extend the 24 bits
}

// The low bytes of the result are stored: a result beyond the sample range
// wraps (no clipping).
void Store2(unsigned char* at, int32_t value) {
  const auto low = static_cast<uint16_t>(static_cast<uint32_t>(value));
  std::memcpy(at, &low, sizeof low);
}

void Store3(unsigned char* at, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  at[0] = static_cast<unsigned char>(bits);
  at[1] = static_cast<unsigned char>(bits >> 8);
  at[2] = static_cast<unsigned char>(bits >> 16);
}

// Truncation toward zero, for gains whose products might leave the int range
// (levels of 48 dB and more, which the task reader never admits).
int32_t TruncateClamped(double value) {
  value = value < -2147483648.0 ? -2147483648.0 : value;
  value = value > 2147483647.0 ? 2147483647.0 : value;
  return static_cast<int32_t>(value);
}

// Below this gain every product of a 24-bit sample fits an int, so the common
// loop converts without bounds and vectorises to a few instructions a sample.
constexpr double kPlainGain = 255.0;

// 24-bit samples are moved as 4-byte words, which is much faster than byte by
// byte. A load takes the next sample's first byte along and shifts it out, so
// only the last sample of the block is loaded byte by byte. A store overwrites
// the next sample's first byte, which that sample's own store (the next in
// order) puts back; the last sample of each chunk is stored byte by byte, as
// the next chunk has not been loaded yet.
int32_t Load3Wide(const unsigned char* at) {
  uint32_t bits;
  std::memcpy(&bits, at, sizeof bits);
  return static_cast<int32_t>(bits << 8) >> 8;
}

void Store3Wide(unsigned char* at, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  std::memcpy(at, &bits, sizeof bits);
}

template <int Width>
void Scale(unsigned char* bytes, size_t samples, double gain) {
  std::array<int32_t, kChunk> values;
  for (size_t done = 0; done < samples; done += kChunk) {
    const size_t n = samples - done < kChunk ? samples - done : kChunk;
    unsigned char* at = bytes + done * Width;
    if (Width == 2) {
      for (size_t i = 0; i < n; ++i) values[i] = Load2(at + i * Width);
    } else {
      const size_t wide = done + n == samples ? n - 1 : n;
      for (size_t i = 0; i < wide; ++i) values[i] = Load3Wide(at + i * Width);
      if (wide < n) values[n - 1] = Load3(at + (n - 1) * Width);
    }
    if (gain < kPlainGain) {
      for (size_t i = 0; i < n; ++i) values[i] = static_cast<int32_t>(values[i] * gain);
    } else {
      for (size_t i = 0; i < n; ++i) values[i] = TruncateClamped(values[i] * gain);
    }
    if (Width == 2) {
      for (size_t i = 0; i < n; ++i) Store2(at + i * Width, values[i]);
    } else {
      for (size_t i = 0; i + 1 < n; ++i) Store3Wide(at + i * Width, values[i]);
      Store3(at + (n - 1) * Width, values[n - 1]);
    }
  }
}

}  // namespace

int NewLevel(std::span<unsigned char> block, int bytes_per_sample, int channels, int n, double level_db) {
  const double gain = std::pow(10.0, level_db / 20.0);
  if ((bytes_per_sample != 2 && bytes_per_sample != 3) || (channels != 1 && channels != 2) || n <= 0) return 0;
  if (std::isnan(gain)) return 0;  // no level to apply; the reader never stores one
  const auto samples = static_cast<size_t>(n) * static_cast<size_t>(channels);
  if (bytes_per_sample == 2) {
    Scale<2>(block.data(), samples, gain);
  } else {
    Scale<3>(block.data(), samples, gain);
  }
  return 0;
}
