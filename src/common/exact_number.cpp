#include "common/exact_number.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

using Limbs = std::vector<uint32_t>;

constexpr uint32_t kFivePower13 = 1220703125;  // the largest power of 5 below 2^32
constexpr uint32_t kTenPower9 = 1000000000;
// Exponents past this are saturated while reading: a number that needs one
// is infinite or 0 as a double, or its digits are dropped anyway.
constexpr int kExponentLimit = 1000000000;

void Trim(Limbs& v) {
  while (!v.empty() && v.back() == 0) v.pop_back();
}

// v = v x factor + add.
void MultiplyAdd(Limbs& v, uint32_t factor, uint32_t add) {
  uint64_t carry = add;
  for (uint32_t& limb : v) {
    const uint64_t product = uint64_t{limb} * factor + carry;
    limb = static_cast<uint32_t>(product);
    carry = product >> 32;
  }
  if (carry != 0) v.push_back(static_cast<uint32_t>(carry));
  Trim(v);
}

// v = v / divisor, truncated.
void DivideBy(Limbs& v, uint32_t divisor) {
  uint64_t remainder = 0;
  for (size_t i = v.size(); i-- > 0;) {
    const uint64_t current = remainder << 32 | v[i];
    v[i] = static_cast<uint32_t>(current / divisor);
    remainder = current % divisor;
  }
  Trim(v);
}

void MultiplyByPowerOf5(Limbs& v, int exponent) {
  for (; exponent >= 13; exponent -= 13) MultiplyAdd(v, kFivePower13, 0);
  uint32_t rest = 1;
  for (; exponent > 0; --exponent) rest *= 5;
  MultiplyAdd(v, rest, 0);
}

void DivideByPowerOf5(Limbs& v, int exponent) {
  for (; exponent >= 13 && !v.empty(); exponent -= 13) DivideBy(v, kFivePower13);
  uint32_t rest = 1;
  for (; exponent > 0; --exponent) rest *= 5;
  DivideBy(v, rest);
}

void MultiplyByPowerOf10(Limbs& v, int exponent) {
  for (; exponent >= 9; exponent -= 9) MultiplyAdd(v, kTenPower9, 0);
  uint32_t rest = 1;
  for (; exponent > 0; --exponent) rest *= 10;
  MultiplyAdd(v, rest, 0);
}

int64_t BitLength(const Limbs& v) {
  if (v.empty()) return 0;
  return int64_t{32} * static_cast<int64_t>(v.size() - 1) + (32 - __builtin_clz(v.back()));
}

void ShiftLeft(Limbs& v, int64_t bits) {
  if (v.empty() || bits <= 0) return;
  const auto limbs = static_cast<size_t>(bits / 32);
  const int rest = static_cast<int>(bits % 32);
  if (rest != 0) {
    uint32_t carry = 0;
    for (uint32_t& limb : v) {
      const uint32_t next = limb >> (32 - rest);
      limb = limb << rest | carry;
      carry = next;
    }
    if (carry != 0) v.push_back(carry);
  }
  v.insert(v.begin(), limbs, 0);
}

void ShiftRight(Limbs& v, int64_t bits) {
  if (bits <= 0) return;
  if (bits >= BitLength(v)) {
    v.clear();
    return;
  }
  const auto limbs = static_cast<size_t>(bits / 32);
  const int rest = static_cast<int>(bits % 32);
  v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(limbs));
  if (rest != 0) {
    for (size_t i = 0; i < v.size(); ++i) {
      const uint32_t high = i + 1 < v.size() ? v[i + 1] << (32 - rest) : 0;
      v[i] = v[i] >> rest | high;
    }
  }
  Trim(v);
}

int Compare(const Limbs& a, const Limbs& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = a.size(); i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

Limbs AddMagnitudes(const Limbs& a, const Limbs& b) {
  Limbs sum(std::max(a.size(), b.size()) + 1, 0);
  uint64_t carry = 0;
  for (size_t i = 0; i + 1 < sum.size(); ++i) {
    const uint64_t total = uint64_t{i < a.size() ? a[i] : 0} + (i < b.size() ? b[i] : 0) + carry;
    sum[i] = static_cast<uint32_t>(total);
    carry = total >> 32;
  }
  sum.back() = static_cast<uint32_t>(carry);
  Trim(sum);
  return sum;
}

// a - b for a >= b.
Limbs SubtractMagnitudes(const Limbs& a, const Limbs& b) {
  Limbs difference(a.size(), 0);
  int64_t borrow = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    int64_t value = int64_t{a[i]} - (i < b.size() ? b[i] : 0) - borrow;
    borrow = value < 0 ? 1 : 0;
    if (value < 0) value += int64_t{1} << 32;
    difference[i] = static_cast<uint32_t>(value);
  }
  Trim(difference);
  return difference;
}

bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An exponent after its letter: an optional sign and at least one digit,
// saturated; `at` moves past it only when it is one.
int ReadExponent(const char*& at) {
  const char* p = at + 1;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  if (!IsDigit(*p)) return 0;
  int64_t value = 0;
  for (; IsDigit(*p); ++p) value = std::min<int64_t>(value * 10 + (*p - '0'), kExponentLimit);
  at = p;
  return static_cast<int>(negative ? -value : value);
}

// Keeps at most `places` places after the point, dropping the others toward zero.
void LimitDecimalPlaces(ExactNumber& n, int places) {
  if (n.pow5 <= places) return;
  const int64_t drop = n.pow5 - places;
  // A magnitude of b bits has fewer than b x 0.302 + 1 decimal digits.
  if (drop > BitLength(n.magnitude) * 302 / 1000 + 1) {
    n.magnitude.clear();
  } else {
    int rest = static_cast<int>(drop);
    for (; rest >= 9 && !n.magnitude.empty(); rest -= 9) DivideBy(n.magnitude, kTenPower9);
    uint32_t divisor = 1;
    for (; rest > 0; --rest) divisor *= 10;
    DivideBy(n.magnitude, divisor);
  }
  n.pow2 = n.pow5 = places;
}

ExactNumber ReadDecimal(const char* p, bool negative) {
  ExactNumber n;
  n.negative = negative;
  int64_t fraction_digits = 0;
  bool after_point = false;
  uint32_t chunk = 0;
  int chunk_digits = 0;
  for (;; ++p) {
    if (*p == '.' && !after_point) {
      after_point = true;
      continue;
    }
    if (!IsDigit(*p)) break;
    if (after_point) ++fraction_digits;
    if (n.magnitude.empty() && chunk_digits == 0 && *p == '0') continue;  // leading zeros
    chunk = chunk * 10 + static_cast<uint32_t>(*p - '0');
    if (++chunk_digits == 9) {
      MultiplyAdd(n.magnitude, kTenPower9, chunk);
      chunk = 0;
      chunk_digits = 0;
    }
  }
  if (chunk_digits > 0) {
    uint32_t scale = 1;
    for (int i = 0; i < chunk_digits; ++i) scale *= 10;
    MultiplyAdd(n.magnitude, scale, chunk);
  }
  const int exponent = *p == 'e' || *p == 'E' ? ReadExponent(p) : 0;
  if (n.magnitude.empty()) return ExactNumber{};
  const int64_t scale = exponent - fraction_digits;
  if (scale >= 0) {
    MultiplyByPowerOf10(n.magnitude, static_cast<int>(scale));
  } else {
    n.pow2 = n.pow5 = static_cast<int>(std::min<int64_t>(-scale, kExponentLimit));
    LimitDecimalPlaces(n, kMaxDecimalPlaces);
  }
  return n;
}

ExactNumber ReadHexadecimal(const char* p, bool negative) {
  ExactNumber n;
  n.negative = negative;
  int64_t fraction_digits = 0;
  bool after_point = false;
  for (;; ++p) {
    if (*p == '.' && !after_point) {
      after_point = true;
      continue;
    }
    const int digit = HexValue(*p);
    if (digit < 0) break;
    if (after_point) ++fraction_digits;
    if (n.magnitude.empty() && digit == 0) continue;
    ShiftLeft(n.magnitude, 4);
    if (n.magnitude.empty()) n.magnitude.push_back(0);
    n.magnitude[0] |= static_cast<uint32_t>(digit);
  }
  const int exponent = *p == 'p' || *p == 'P' ? ReadExponent(p) : 0;
  if (n.magnitude.empty()) return ExactNumber{};
  const int64_t scale = exponent - 4 * fraction_digits;
  if (scale >= 0) {
    ShiftLeft(n.magnitude, scale);
  } else if (-scale > kMaxBinaryPlaces) {
    ShiftRight(n.magnitude, -scale - kMaxBinaryPlaces);
    n.pow2 = kMaxBinaryPlaces;
  } else {
    n.pow2 = static_cast<int>(-scale);
  }
  return n;
}

// a and b over one denominator.
void Align(ExactNumber& a, ExactNumber& b) {
  const int pow2 = std::max(a.pow2, b.pow2);
  const int pow5 = std::max(a.pow5, b.pow5);
  for (ExactNumber* n : {&a, &b}) {
    ShiftLeft(n->magnitude, pow2 - n->pow2);
    MultiplyByPowerOf5(n->magnitude, pow5 - n->pow5);
    n->pow2 = pow2;
    n->pow5 = pow5;
  }
}

}  // namespace

ExactNumber ReadExactNumber(const char* token) {
  const double approximate = std::strtod(token, nullptr);
  ExactNumber n;
  if (std::isnan(approximate)) n.kind = ExactNumber::Kind::kNotANumber;
  if (std::isinf(approximate)) {
    n.kind = approximate > 0 ? ExactNumber::Kind::kPlusInfinity : ExactNumber::Kind::kMinusInfinity;
  }
  if (n.kind != ExactNumber::Kind::kFinite) return n;
  const char* p = token;
  while (IsCSpace(*p)) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  const bool hexadecimal =
      p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && (HexValue(p[2]) >= 0 || (p[2] == '.' && HexValue(p[3]) >= 0));
  n = hexadecimal ? ReadHexadecimal(p + 2, negative) : ReadDecimal(p, negative);
  if (n.magnitude.empty()) n = ExactNumber{};
  return n;
}

ExactNumber ExactInteger(int64_t value) {
  ExactNumber n;
  n.negative = value < 0;
  const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  n.magnitude = {static_cast<uint32_t>(magnitude), static_cast<uint32_t>(magnitude >> 32)};
  Trim(n.magnitude);
  if (n.magnitude.empty()) n.negative = false;
  return n;
}

bool IsFinite(const ExactNumber& number) { return number.kind == ExactNumber::Kind::kFinite; }

bool IsZero(const ExactNumber& number) { return IsFinite(number) && number.magnitude.empty(); }

bool IsPositive(const ExactNumber& number) {
  return number.kind == ExactNumber::Kind::kPlusInfinity ||
         (IsFinite(number) && !number.negative && !number.magnitude.empty());
}

ExactNumber Add(const ExactNumber& a, const ExactNumber& b) {
  ExactNumber x = a;
  ExactNumber y = b;
  Align(x, y);
  ExactNumber sum;
  sum.pow2 = x.pow2;
  sum.pow5 = x.pow5;
  if (x.negative == y.negative) {
    sum.magnitude = AddMagnitudes(x.magnitude, y.magnitude);
    sum.negative = x.negative;
  } else if (Compare(x.magnitude, y.magnitude) >= 0) {
    sum.magnitude = SubtractMagnitudes(x.magnitude, y.magnitude);
    sum.negative = x.negative;
  } else {
    sum.magnitude = SubtractMagnitudes(y.magnitude, x.magnitude);
    sum.negative = y.negative;
  }
  if (sum.magnitude.empty()) sum.negative = false;
  return sum;
}

ExactNumber Subtract(const ExactNumber& a, const ExactNumber& b) {
  ExactNumber negated = b;
  negated.negative = !b.negative && !b.magnitude.empty();
  return Add(a, negated);
}

ExactNumber Multiply(const ExactNumber& a, uint64_t factor) {
  ExactNumber product = a;
  Limbs high = a.magnitude;
  MultiplyAdd(product.magnitude, static_cast<uint32_t>(factor), 0);
  MultiplyAdd(high, static_cast<uint32_t>(factor >> 32), 0);
  ShiftLeft(high, 32);
  product.magnitude = AddMagnitudes(product.magnitude, high);
  if (product.magnitude.empty()) product.negative = false;
  return product;
}

std::optional<int64_t> TruncatedProduct(const ExactNumber& number, uint64_t factor, uint32_t divisor) {
  if (!IsFinite(number) || divisor == 0) return std::nullopt;
  Limbs value = Multiply(number, factor).magnitude;
  DivideBy(value, divisor);
  DivideByPowerOf5(value, number.pow5);
  ShiftRight(value, number.pow2);
  if (BitLength(value) > 63) return std::nullopt;
  uint64_t magnitude = 0;
  for (size_t i = value.size(); i-- > 0;) magnitude = magnitude << 32 | value[i];
  const auto result = static_cast<int64_t>(magnitude);
  return number.negative ? -result : result;
}
