#pragma once

#include <cstdint>
#include <span>

#include "common/audio_format.hpp"

// Packed little-endian samples as a WAV data chunk holds them, interleaved,
// <-> doubles on the scale the sample arithmetic works on. Every supported
// sample converts to a double exactly:
// - 16-bit integers as their value times 256 (the 24-bit scale, so that the
//   arithmetic of 16 and 24 bits is the same);
// - 24-bit and 32-bit integers as their values;
// - 32-bit floats widened.

// Reads samples.size() samples.
void DecodeSamples(std::span<const unsigned char> bytes, const AudioFormat& format, std::span<double> samples);

// Writes values.size() samples, and nothing beyond them. Integers are
// truncated toward zero (16-bit ones after 1/256 brings them back to their
// own scale) and a value beyond the sample range is clipped to it; returns how
// many were. Floats are rounded to the nearest float; beyond the float range
// they become infinities, and NaN stays NaN.
int64_t EncodeSamples(std::span<const double> values, const AudioFormat& format, std::span<unsigned char> bytes);

// A double truncated toward zero to a 32-bit integer. Values beyond the int
// range (never produced by levels below 24 dB) saturate instead of being
// undefined; NaN gives 0. Written as selections, without early returns, so
// that loops over it vectorise.
inline int32_t TruncateToInt32(double value) {
  const double low = value < -2147483648.0 ? -2147483648.0 : value;
  const double clamped = low > 2147483647.0 ? 2147483647.0 : low;
  return clamped == clamped ? static_cast<int32_t>(clamped) : 0;
}

// The same into 64 bits, for 32-bit samples, whose results may pass 2^31 and wrap.
inline int64_t TruncateToInt64(double value) {
  const double low = value < -0x1p63 ? -0x1p63 : value;
  const double clamped = low >= 0x1p63 ? 0x1.fffffffffffffp62 : low;
  return clamped == clamped ? static_cast<int64_t>(clamped) : 0;
}
