#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// Times in a task file are decimals ("10.7"), and a decimal is rarely a
// double: 10.7 x 48000 in double precision is 513599.99999999994, one frame
// short once truncated. Positions are therefore worked out on the numbers
// exactly as written: a sign, an integer magnitude and a denominator
// 2^pow2 x 5^pow5 (every decimal and hexadecimal fraction has one).
//
// Magnitudes are unbounded in principle; in practice a number that passes the
// frame limits has an integer part below 2^64, and digits past kMaxDecimal-
// Places (or binary places past kMaxBinaryPlaces) are dropped, toward zero,
// so that no token of a 64 KiB task file makes the arithmetic slow.
inline constexpr int kMaxDecimalPlaces = 1100;
inline constexpr int kMaxBinaryPlaces = 4400;

struct ExactNumber {
  enum class Kind { kFinite, kPlusInfinity, kMinusInfinity, kNotANumber };
  Kind kind = Kind::kFinite;
  bool negative = false;
  std::vector<uint32_t> magnitude;  // little-endian 32-bit limbs, no leading zero limb; empty is 0
  int pow2 = 0;                     // the denominator's exponents
  int pow5 = 0;
};

// The number a token writes, read over the prefix that strtod takes in the
// "C" locale (white space, a sign, a decimal or hexadecimal number with its
// exponent, "inf", "nan"); 0 when the token does not begin with a number. A
// number that strtod makes infinite or NaN is that.
ExactNumber ReadExactNumber(const char* token);

ExactNumber ExactInteger(int64_t value);

bool IsFinite(const ExactNumber& number);
bool IsZero(const ExactNumber& number);
bool IsPositive(const ExactNumber& number);  // finite and above 0, or +infinity

// Finite numbers only.
ExactNumber Add(const ExactNumber& a, const ExactNumber& b);
ExactNumber Subtract(const ExactNumber& a, const ExactNumber& b);
ExactNumber Multiply(const ExactNumber& a, uint64_t factor);

// number x factor / divisor truncated toward zero; nothing when the number is
// not finite or the result does not fit 63 bits. divisor is at least 1.
std::optional<int64_t> TruncatedProduct(const ExactNumber& number, uint64_t factor, uint32_t divisor = 1);
