#include "dsp/mix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "support/instructions.hpp"
#include "support/wav_builder.hpp"

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

namespace {

// The mix of every format on every instruction set the processor has, against
// the arithmetic written out sample by sample: loud material and weights up
// to 2 (a mix entry's duck can raise what lies under it), so that results
// clip and the count counts.
TEST(Mix, EveryFormatOnEveryInstructionSetGivesTheReferenceBytes) {
  std::mt19937 random(3);
  struct Kind {
    int bits;
    SampleType type;
  };
  for (const Kind kind : {Kind{16, SampleType::kInteger}, Kind{24, SampleType::kInteger},
                          Kind{32, SampleType::kInteger}, Kind{32, SampleType::kFloat}}) {
    for (const int channels : {1, 2, 6}) {
      for (const int frames : {1, 3, 7, 8, 9, 33, 1000}) {
        const AudioFormat format{.rate = 48000, .bits = kind.bits, .channels = channels, .type = kind.type};
        const auto samples = static_cast<size_t>(frames * channels);
        const int64_t full = kind.bits == 32 ? INT32_MAX : (int64_t{1} << (kind.bits - 1)) - 1;
        std::vector<int32_t> old_values(samples);
        std::vector<int32_t> new_values(samples);
        std::vector<float> old_floats(samples);
        std::vector<float> new_floats(samples);
        for (size_t i = 0; i < samples; ++i) {
          old_values[i] = static_cast<int32_t>(static_cast<int64_t>(random() % (2 * full + 1)) - full);
          new_values[i] = static_cast<int32_t>(static_cast<int64_t>(random() % (2 * full + 1)) - full);
          old_floats[i] = static_cast<float>(old_values[i]) / static_cast<float>(full) * 1.5F;
          new_floats[i] = static_cast<float>(new_values[i]) / static_cast<float>(full) * 1.5F;
        }
        std::vector<double> w_out(static_cast<size_t>(frames));
        std::vector<double> w_in(static_cast<size_t>(frames));
        for (size_t j = 0; j < w_out.size(); ++j) {
          w_out[j] = static_cast<double>(random() % 20001) / 10000.0;
          w_in[j] = static_cast<double>(random() % 20001) / 10000.0;
        }
        const bool floats = kind.type == SampleType::kFloat;
        const Bytes outgoing = floats ? PackFloats(old_floats) : PackSamples(kind.bits, old_values);
        const Bytes incoming = floats ? PackFloats(new_floats) : PackSamples(kind.bits, new_values);
        // The reference: two rounded products and a rounded sum, on the
        // 24-bit scale for 16-bit samples.
        int64_t clipped = 0;
        std::vector<int32_t> want_values;
        std::vector<float> want_floats;
        const double scale = kind.bits == 16 ? 256.0 : 1.0;
        for (size_t i = 0; i < samples; ++i) {
          const size_t j = i / static_cast<size_t>(channels);
          if (floats) {
            const double in = static_cast<double>(new_floats[i]) * w_in[j];
            const double out = static_cast<double>(old_floats[i]) * w_out[j];
            want_floats.push_back(static_cast<float>(in + out));
          } else {
            const double in = new_values[i] * scale * w_in[j];
            const double out = old_values[i] * scale * w_out[j];
            want_values.push_back(Clamp(static_cast<int64_t>((in + out) / scale), kind.bits, &clipped));
          }
        }
        const Bytes want = floats ? PackFloats(want_floats) : PackSamples(kind.bits, want_values);
        for (const InstructionSet set : AvailableInstructionSets()) {
          Bytes mixed(outgoing.size(), 0xEE);
          const int64_t counted = MixFrames(outgoing, incoming, mixed, format, MixWeights{w_out, w_in}, set);
          ASSERT_EQ(mixed, want) << kind.bits << " bits, " << channels << " channels, " << frames << " frames, "
                                 << NameOf(set);
          EXPECT_EQ(counted, clipped) << NameOf(set);
        }
      }
    }
  }
}

}  // namespace
