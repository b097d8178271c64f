// The times the label and chapter files give: for every frame and rate, the
// least value of six decimals (more above 1 MHz) that reads back, truncated,
// as the program reads every time, to the frame.
#include "driver/marker_files.hpp"

#include <gtest/gtest.h>

#include <random>

TEST(MarkerTimes, TheLeastSixDecimalsThatReadBackToTheFrame) {
  std::mt19937_64 random(33);
  for (const uint32_t rate : {1u, 8000u, 11025u, 44100u, 48000u, 88200u, 96000u, 192000u, 352800u, 999999u, 1000000u,
                              1000001u, 2822400u, 4294967295u}) {
    for (int i = 0; i < 2000; ++i) {
      const int64_t frame = i < 20 ? i : static_cast<int64_t>(random() % (int64_t{1} << 31));
      const std::string text = SecondsText(frame, rate);
      const size_t decimals = text.size() - text.find('.') - 1;
      EXPECT_EQ(decimals, rate <= 1000000 ? 6u : rate <= 10000000 ? 7u : 10u) << text;
      EXPECT_EQ(TruncatedProduct(ReadExactNumber(text.c_str()), rate), frame) << text << " at " << rate;
      // One in the last place less reads back to an earlier frame.
      const ExactNumber less =
          Subtract(ReadExactNumber(text.c_str()), ReadExactNumber(("1e-" + std::to_string(decimals)).c_str()));
      EXPECT_TRUE(frame == 0 || TruncatedProduct(less, rate) < frame) << text << " at " << rate;
    }
  }
}
