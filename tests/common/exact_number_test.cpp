#include "common/exact_number.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

namespace {

int64_t Frames(const std::string& token, uint64_t rate, uint32_t divisor = 1) {
  const auto frames = TruncatedProduct(ReadExactNumber(token.c_str()), rate, divisor);
  EXPECT_TRUE(frames.has_value()) << token;
  return frames.value_or(-999);
}

// Times a double puts a frame short land on their frame; just below a frame
// stays below it.
TEST(ExactNumber, DecimalTimesLandOnTheirFrame) {
  EXPECT_EQ(Frames("0.29", 100), 29);        // 28.999999999999996 in doubles
  EXPECT_EQ(Frames("10.7", 48000), 513600);  // 513599.99999999994
  EXPECT_EQ(Frames("410.123", 48000), 19685904);
  EXPECT_EQ(Frames("0.28999999999999999999999", 100), 28);
  EXPECT_EQ(Frames("-0.29", 100), -29);  // toward zero
  EXPECT_EQ(Frames("-0.2899", 100), -28);
  EXPECT_EQ(Frames("2.9e-1", 100), 29);
  EXPECT_EQ(Frames("29E-2xyz", 100), 29);  // the prefix strtod takes
  EXPECT_EQ(Frames("  +.29", 100), 29);
  EXPECT_EQ(Frames("0x1.8p1", 1000), 3000);  // hexadecimal, with a binary exponent
  EXPECT_EQ(Frames("0x.8", 3), 1);
  EXPECT_EQ(Frames("0x1p-1074", 1u << 31), 0);
  EXPECT_EQ(Frames("1e-400", 48000), 0);  // 0 as a double, not 0 as written
  EXPECT_FALSE(IsZero(ReadExactNumber("1e-400")));
  EXPECT_TRUE(IsZero(ReadExactNumber("-0.000")));
  EXPECT_TRUE(IsZero(ReadExactNumber("abc")));
  EXPECT_TRUE(IsZero(ReadExactNumber("0x")));   // "0" and then an "x"
  EXPECT_EQ(Frames("100", 44100, 1000), 4410);  // a width in ms
  EXPECT_EQ(Frames("80.7", 48000, 1000), 3873);
  // Infinite or NaN as a double stays so; beyond 63 bits there is no frame.
  EXPECT_FALSE(IsFinite(ReadExactNumber("1e400")));
  EXPECT_TRUE(IsPositive(ReadExactNumber("inf")));
  EXPECT_FALSE(IsPositive(ReadExactNumber("-infinity")));
  EXPECT_EQ(ReadExactNumber("nan(12)").kind, ExactNumber::Kind::kNotANumber);
  EXPECT_FALSE(TruncatedProduct(ReadExactNumber("1e300"), 1).has_value());
  EXPECT_FALSE(TruncatedProduct(ReadExactNumber("inf"), 1).has_value());
}

// Sums of decimals are exact, so an appended chain of takes lands where the
// times as written say.
TEST(ExactNumber, SumsAreExact) {
  ExactNumber sum = ExactInteger(0);
  for (int i = 0; i < 1000; ++i) sum = Add(sum, ReadExactNumber("0.001"));
  EXPECT_TRUE(IsZero(Subtract(sum, ExactInteger(1))));
  const ExactNumber chain = Subtract(Add(ReadExactNumber("590"), ReadExactNumber("0.1")), ReadExactNumber("410.123"));
  EXPECT_EQ(TruncatedProduct(chain, 48000), 8638896);  // 179.977 s
  // Frames of a length over a rate, as a default stop: 1/3 s at 3 Hz.
  EXPECT_EQ(TruncatedProduct(Add(ExactInteger(1), Multiply(ReadExactNumber("0.5"), 3)), 2, 3), 1);
  EXPECT_EQ(TruncatedProduct(Multiply(ReadExactNumber("-1.5"), 1ULL << 40), 1), -(3LL << 39));
}

// The prefix read is strtod's: on random tokens the exact value and strtod's
// double agree to within the double's rounding.
TEST(ExactNumber, ReadsTheSamePrefixAsStrtod) {
  std::mt19937 random(7);
  const std::string alphabet = "0123456789..eEpPxX+- a";
  for (int i = 0; i < 200000; ++i) {
    std::string token;
    const int length = 1 + static_cast<int>(random() % 12);
    for (int k = 0; k < length; ++k) token += alphabet[random() % alphabet.size()];
    const double d = std::strtod(token.c_str(), nullptr);
    const ExactNumber exact = ReadExactNumber(token.c_str());
    if (!std::isfinite(d) || std::fabs(d) > 1e12) continue;
    const auto scaled = TruncatedProduct(exact, 1u << 20);
    ASSERT_TRUE(scaled.has_value()) << token;
    const double expected = std::trunc(d * 1048576.0);
    ASSERT_LE(std::fabs(static_cast<double>(*scaled) - expected), 1.0 + std::fabs(expected) * 1e-15) << token;
    if (d != 0.0) {
      ASSERT_FALSE(IsZero(exact)) << token;
    }
    if (IsZero(exact)) {
      ASSERT_EQ(d, 0.0) << token;
    }
  }
}

}  // namespace
