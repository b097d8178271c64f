#pragma once

#include <cstdint>
#include <span>

// Packed little-endian PCM bytes <-> 32-bit sample arrays.
//
// The readers deliver every sample on the 24-bit scale: a 24-bit sample as its
// signed value, a 16-bit sample as its signed value times 256, so that level
// and crossfade arithmetic is the same for both widths.
//
// The writers store the low 16 or 24 bits of each value in two's complement
// (no clipping: out-of-range values wrap). The 16-bit writers take values on
// the 16-bit scale. As a documented side effect every negative array element
// v is left holding its ones' complement -v-1; non-negative elements stay.
//
// n is the frame count; n <= 0 reads and writes nothing. The buffers must
// hold n frames.

void DecodeMono(std::span<const unsigned char> bytes, std::span<int32_t> samples, int bytes_per_sample, int n);
void DecodeStereo(std::span<const unsigned char> bytes, std::span<int32_t> left, std::span<int32_t> right,
                  int bytes_per_sample, int n);

void EncodeMono16(std::span<int32_t> samples, std::span<unsigned char> bytes, int n);
void EncodeMono24(std::span<int32_t> samples, std::span<unsigned char> bytes, int n);
void EncodeStereo16(std::span<int32_t> left, std::span<int32_t> right, std::span<unsigned char> bytes, int n);
void EncodeStereo24(std::span<int32_t> left, std::span<int32_t> right, std::span<unsigned char> bytes, int n);

// A double truncated toward zero to a 32-bit integer. Values beyond the int
// range (never produced by levels below 24 dB) saturate instead of being
// undefined; NaN gives 0. Inline: it runs once per mixed sample.
// Written as selections, without early returns, so that loops over it
// vectorise.
inline int32_t TruncateToInt32(double value) {
  const double low = value < -2147483648.0 ? -2147483648.0 : value;
  const double clamped = low > 2147483647.0 ? 2147483647.0 : low;
  return clamped == clamped ? static_cast<int32_t>(clamped) : 0;
}
