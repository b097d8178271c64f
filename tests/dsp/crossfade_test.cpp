#include "dsp/crossfade.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(CrossfadeCurves, WeightsOfAFourFrameCrossfade) {
  struct Row {
    int type;
    double out[4];
    double in[4];
  };
  const Row rows[] = {
      {1, {1, 0.9239, 0.7071, 0.3827}, {0, 0.3827, 0.7071, 0.9239}},
      {2, {1, 0.75, 0.5, 0.25}, {0, 0.25, 0.5, 0.75}},
      {3, {1, 0.9239, 0.7071, 0.3827}, {0, 0.0761, 0.2929, 0.6173}},
      {4, {1, 0.6173, 0.2929, 0.0761}, {0, 0.3827, 0.7071, 0.9239}},
  };
  for (const Row& row : rows) {
    for (int j = 0; j < 4; ++j) {
      const CrossfadeWeights w = CurveWeights(row.type, j, 4);
      EXPECT_NEAR(w.w_out, row.out[j], 5e-5) << "type " << row.type << " frame " << j;
      EXPECT_NEAR(w.w_in, row.in[j], 5e-5) << "type " << row.type << " frame " << j;
    }
  }
  // Types 2 to 4 take the incoming weight as 1 - w_out in double precision.
  for (int type = 2; type <= 4; ++type) {
    const CrossfadeWeights w = CurveWeights(type, 3, 7);
    EXPECT_EQ(w.w_in, 1.0 - w.w_out);
  }
  // The quarter turn is the written decimal, not pi/2.
  EXPECT_EQ(CurveWeights(1, 1, 3).w_in, std::sin(1.0 / 3.0 * 1.570796327));
}

}  // namespace
