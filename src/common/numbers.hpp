#pragma once

#include <limits>

// double -> float rounded to the nearest, defined for every input: values
// beyond the float range become infinities of their sign (the conversion
// itself would be undefined there) and NaN stays NaN. Written as selections,
// so that loops over it vectorise.
inline float RoundToSingle(double value) {
  // From 2^128 - 2^103 upwards round-to-nearest gives infinity; below it the
  // conversion is in range.
  constexpr double kOverflow = 0x1.ffffffp127;
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  return value >= kOverflow ? kInfinity : value <= -kOverflow ? -kInfinity : static_cast<float>(value);
}
