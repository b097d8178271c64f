// The times the label and chapter files give: for every frame and rate, the
// least value of six decimals (more above 1 MHz) that reads back, truncated,
// as the program reads every time, to the frame.
#include "driver/marker_files.hpp"

#include <gtest/gtest.h>

#include <random>

#include "common/exact_number.hpp"

namespace {

TEST(MarkerTimes, TheLeastSixDecimalsThatReadBackToTheFrame) {
  std::mt19937_64 random(33);
  const uint32_t rates[] = {1,      8000,   11025,  22050,  44100,   48000,   88200,   96000,
                            176400, 192000, 352800, 999999, 1000000, 1000001, 2822400, 4294967295u};
  for (const uint32_t rate : rates) {
    for (int i = 0; i < 2000; ++i) {
      const int64_t frame = i < 20 ? i : static_cast<int64_t>(random() % (int64_t{1} << 31));
      const std::string text = SecondsText(frame, rate);
      const size_t dot = text.find('.');
      ASSERT_NE(dot, std::string::npos) << text;
      const size_t decimals = text.size() - dot - 1;
      EXPECT_EQ(decimals, rate <= 1000000 ? 6u : rate <= 10000000 ? 7u : 10u) << rate;
      EXPECT_EQ(TruncatedProduct(ReadExactNumber(text.c_str()), rate), frame) << text << " at " << rate;
      // One in the last place less reads back to an earlier frame.
      const ExactNumber less =
          Subtract(ReadExactNumber(text.c_str()), ReadExactNumber(("1e-" + std::to_string(decimals)).c_str()));
      if (frame > 0) {
        EXPECT_LT(TruncatedProduct(less, rate), frame) << text << " at " << rate;
      }
    }
  }
}

}  // namespace
