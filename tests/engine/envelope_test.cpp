#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "engine/measure.hpp"
#include "plan/lanes.hpp"
#include "plan/plan.hpp"
#include "support/instructions.hpp"
#include "support/run_program.hpp"
#include "support/wav_builder.hpp"
#include "task/reader.hpp"

namespace {

// The quarter turn of the run's curves, written down again here.
constexpr double kQuarter = 1.570796327;

// An entry's fades at its frame i of n, as the manual describes them.
double Fades(int64_t i, int64_t n, int64_t fade_in, int64_t fade_out) {
  double e = 1.0;
  if (i < fade_in) e = std::sin(static_cast<double>(i) / static_cast<double>(fade_in) * kQuarter);
  if (i >= n - fade_out)
    e *= std::cos(static_cast<double>(i - (n - fade_out)) / static_cast<double>(fade_out) * kQuarter);
  return e;
}

// A bed at +4 dB (its integer peaks clip) fading in over 300 ms and out over 500 ms, ducked 12 dB by a
// voice laid over it from 1.25 s with fades of its own: the bed's lane, read
// from its source and folded into 97 columns of uneven widths, against the
// minimum and maximum of its samples times those weights, a frame at a time.
// For 16-bit stereo, 24-bit mono and float samples, on every instruction set.
TEST(Envelope, AFadedBedUnderADuckIsItsSamplesTimesTheirWeights) {
  constexpr int kRate = 8000;
  constexpr int kColumns = 97;
  for (const auto& [bits, channels, floats] : {std::tuple{16, 2, false}, {24, 1, false}, {32, 2, true}}) {
    TempDir dir;
    std::mt19937 random(static_cast<unsigned>(bits + channels));
    const auto noise = [&](int frames) {
      std::vector<int32_t> samples(static_cast<size_t>(frames * channels));
      for (int32_t& s : samples)
        s = static_cast<int32_t>(random() % (1U << (bits == 32 ? 24 : bits))) - (1 << ((bits == 32 ? 24 : bits) - 1));
      return samples;
    };
    const auto as_floats = [](const std::vector<int32_t>& samples) {
      std::vector<float> out;
      for (const int32_t s : samples) out.push_back(static_cast<float>(s) / 8388608.0F * 1.5F);  // overs included
      return out;
    };
    const std::vector<int32_t> bed = noise(3 * kRate);
    const std::vector<int32_t> voice = noise(3 * kRate / 2);
    const auto write = [&](const std::string& name, const std::vector<int32_t>& samples) {
      WriteFile(dir / name, floats ? CanonicalFloatWav(kRate, channels, as_floats(samples))
                                   : CanonicalWav(kRate, bits, channels, samples));
    };
    write("bed.wav", bed);
    write("voice.wav", voice);
    const std::string task = "src\t" + (dir / "bed.wav").string() + "\nlvl\t4\nfin\t300\nfout\t500\nsrc\t" +
                             (dir / "voice.wav").string() + "\nins\t1.25\nmix\t-12\nfin\t200\nfout\t400\ndest\t" +
                             (dir / "out.wav").string() + "\n";
    const Plan plan = ResolvePlan(ReadTaskText(task), (dir / "task.txt").string());
    ASSERT_EQ(plan.destination_length, 3 * kRate);
    const std::vector<LaneSound> lanes = LaneSounds(plan);
    ASSERT_EQ(lanes.size(), 2u);

    // The reference: every frame of the bed at its weight.
    const double gain = std::pow(10.0, 4.0 / 20.0);  // past full scale: integers clip
    const double under = std::pow(10.0, -12.0 / 20.0);
    const double full = floats ? 1.0 : bits == 16 ? 32768.0 : 8388608.0;
    std::vector<double> low(kColumns, INFINITY);
    std::vector<double> high(kColumns, -INFINITY);
    const std::vector<float> bed_floats = as_floats(bed);
    for (int64_t f = 0; f < 3 * kRate; ++f) {
      double w = gain * Fades(f, 3 * kRate, 2400, 4000);
      if (f >= 10000 && f < 22000) w *= 1.0 + (under - 1.0) * Fades(f - 10000, 12000, 1600, 3200);
      const auto column = static_cast<size_t>(f * kColumns / (3 * kRate));
      for (int c = 0; c < channels; ++c) {
        const auto at = static_cast<size_t>(f * channels + c);
        double v = (floats ? bed_floats[at] : bed[at] / full) * w;
        if (!floats) v = std::clamp(v, -1.0, 1.0);
        low[column] = std::min(low[column], v);
        high[column] = std::max(high[column], v);
      }
    }
    Plan opened = ResolvePlan(ReadTaskText(task), (dir / "task.txt").string());
    SourceFile& source = opened.entries[0].source;
    ASSERT_EQ(ReopenSource(source), SourceState::kReady);
    for (const InstructionSet set : AvailableInstructionSets()) {
      ColumnFold fold = StartFold(ColumnGrid{.frames = plan.destination_length, .count = kColumns});
      FoldLane(SourceAudio(source), plan.format, lanes[0], fold, set);
      for (size_t c = 0; c < kColumns; ++c) {
        EXPECT_NEAR(fold.low[c], low[c], 1e-6 * std::max(1.0, std::abs(low[c])))
            << bits << " bits, " << NameOf(set) << ", column " << c;
        EXPECT_NEAR(fold.high[c], high[c], 1e-6 * std::max(1.0, std::abs(high[c])))
            << bits << " bits, " << NameOf(set) << ", column " << c;
      }
    }
  }
}

}  // namespace
