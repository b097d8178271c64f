#pragma once

#include <cstdint>

// Integer results beyond a sample's range take the nearest limit (an over
// clips, as in every audio tool, rather than wrapping to the other sign), and
// each one is counted so that the summary can say how many were clipped.
struct SampleRange {
  int32_t low;
  int32_t high;
};

constexpr SampleRange RangeOfBits(int bits) {
  return bits == 16   ? SampleRange{-32768, 32767}
         : bits == 24 ? SampleRange{-8388608, 8388607}
                      : SampleRange{INT32_MIN, INT32_MAX};
}

// Written as selections, so that loops over it vectorise.
inline int32_t ClampCounted(int64_t value, SampleRange range, int64_t& clipped) {
  const bool low = value < range.low;
  const bool high = value > range.high;
  clipped += static_cast<int64_t>(low) + static_cast<int64_t>(high);
  return static_cast<int32_t>(low ? range.low : high ? range.high : value);
}
