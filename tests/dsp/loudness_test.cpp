#include "dsp/loudness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <string>

#include "support/instructions.hpp"
#include "support/wav_builder.hpp"

#ifdef WAVSPLICE_LIBEBUR128
#include <ebur128.h>
#endif

namespace {

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

const AudioFormat kFormats[] = {
    {.rate = 48000, .bits = 16, .channels = 2},
    {.rate = 48000, .bits = 24, .channels = 2},
    {.rate = 48000, .bits = 32, .channels = 2},
    {.rate = 48000, .bits = 32, .channels = 2, .type = SampleType::kFloat},
};

std::string Describe(const AudioFormat& f) {
  return std::to_string(f.rate) + " Hz " + std::to_string(f.bits) + (f.type == SampleType::kFloat ? "f" : "") + " x" +
         std::to_string(f.channels);
}

// Samples at full scale 1.0 as the format stores them, and the values the
// file then holds (rounded to its steps), which the oracle is given.
Bytes Pack(std::vector<double>& samples, const AudioFormat& f) {
  if (f.type == SampleType::kFloat) {
    std::vector<float> floats(samples.begin(), samples.end());
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = floats[i];
    return PackFloats(floats);
  }
  const double scale = std::ldexp(1.0, f.bits - 1);
  std::vector<int32_t> ints;
  for (double& s : samples) {
    ints.push_back(static_cast<int32_t>(std::clamp(std::round(s * scale), -scale, scale - 1)));
    s = ints.back() / scale;
  }
  return PackSamples(f.bits, ints);
}

// Feeds the bytes in pieces of `piece` bytes, so that frames are split
// between pieces.
LoudnessMeter Fed(const Bytes& bytes, const AudioFormat& f, std::span<const double> weights, InstructionSet set,
                  size_t piece) {
  LoudnessMeter meter = StartLoudness(f, weights, set);
  for (size_t at = 0; at < bytes.size(); at += piece) {
    FeedLoudness(meter, std::span(bytes).subspan(at, std::min(piece, bytes.size() - at)));
  }
  return meter;
}

LoudnessResult Measure(const Bytes& bytes, const AudioFormat& f, std::span<const double> weights, InstructionSet set,
                       size_t piece = 100001) {
  return FinishLoudness(Fed(bytes, f, weights, set, piece));
}

// The instruction sets with paths of their own (SSSE3 has none).
std::vector<InstructionSet> Paths() {
  std::vector<InstructionSet> sets = AvailableInstructionSets();
  std::erase(sets, InstructionSet::kSsse3);
  return sets;
}

// Every path must give the portable path's values to the bit.
void ExpectSame(const LoudnessResult& a, const LoudnessResult& b, const std::string& where) {
  EXPECT_EQ(a.integrated, b.integrated) << where;
  EXPECT_EQ(a.range, b.range) << where;
  EXPECT_EQ(a.true_peak, b.true_peak) << where;
  EXPECT_EQ(a.sample_peak, b.sample_peak) << where;
  EXPECT_EQ(a.max_momentary, b.max_momentary) << where;
  EXPECT_EQ(a.max_short_term, b.max_short_term) << where;
}

// A sine in every channel, its peak at these levels (dBFS) for these
// lengths, its phase running on across them.
struct Segment {
  double seconds;
  double dbfs;
};
std::vector<double> Sine(const std::vector<Segment>& segments, const AudioFormat& f, double frequency = 1000.0,
                         double phase = 0.0) {
  std::vector<double> out;
  int64_t n = 0;
  for (const Segment& s : segments) {
    const auto frames = static_cast<int64_t>(std::llround(s.seconds * f.rate));
    const double amplitude = std::pow(10.0, s.dbfs / 20.0);
    for (int64_t i = 0; i < frames; ++i, ++n) {
      const double v = amplitude * std::sin(2 * std::numbers::pi * frequency * n / f.rate + phase);
      for (int c = 0; c < f.channels; ++c) out.push_back(v);
    }
  }
  return out;
}

// The test signals of EBU Tech 3341 and 3342, 48 kHz stereo, in each sample
// format and on every path.
TEST(Loudness, EbuTestSignalsOnEveryPath) {
  struct Case {
    std::vector<Segment> segments;
    std::optional<double> integrated;
    std::optional<double> range;
  };
  const Case cases[] = {
      {{{20, -23}}, -23.0, {}},
      {{{20, -33}}, -33.0, {}},
      {{{10, -36}, {60, -23}, {10, -36}}, -23.0, {}},
      {{{10, -72}, {10, -36}, {60, -23}, {10, -36}, {10, -72}}, -23.0, {}},
      {{{20, -26}, {20.1, -20}, {20, -26}}, -23.0, {}},
      {{{20, -20}, {20, -30}}, {}, 10.0},
      {{{20, -20}, {20, -15}}, {}, 5.0},
      {{{20, -40}, {20, -20}}, {}, 20.0},
      {{{20, -50}, {20, -35}, {20, -20}, {20, -35}, {20, -50}}, {}, 15.0},
  };
  const auto weights = LoudnessWeights(2, std::nullopt);
  int index = 0;
  for (const Case& c : cases) {
    const AudioFormat f = kFormats[index++ % 4];
    std::vector<double> samples = Sine(c.segments, f);
    const Bytes bytes = Pack(samples, f);
    const LoudnessResult portable = Measure(bytes, f, weights, InstructionSet::kPortable);
    const std::string where = "case " + std::to_string(index) + ", " + Describe(f);
    if (c.integrated) {
      ASSERT_TRUE(portable.integrated) << where;
      EXPECT_NEAR(*portable.integrated, *c.integrated, 0.1) << where;
    }
    if (c.range) {
      ASSERT_TRUE(portable.range) << where;
      EXPECT_NEAR(*portable.range, *c.range, 1.0) << where;
    }
    for (const InstructionSet set : Paths()) {
      ExpectSame(Measure(bytes, f, weights, set), portable, where + ", " + NameOf(set));
    }
  }
  // A steady tone: every block and window reads the same.
  std::vector<double> steady = Sine({{5, -23}}, kFormats[1]);
  const LoudnessResult tone = Measure(Pack(steady, kFormats[1]), kFormats[1], weights, InstructionSet::kPortable);
  EXPECT_NEAR(*tone.max_momentary, -23.0, 0.05);
  EXPECT_NEAR(*tone.max_short_term, -23.0, 0.05);
  EXPECT_NEAR(tone.sample_peak, -23.0, 0.01);

  // A quarter of the rate 45 degrees off its peaks: the samples lie 3 dB
  // under the wave's peaks, which only oversampling sees. Faded in, so that
  // its start does not ring.
  for (const AudioFormat& f : kFormats) {
    std::vector<double> samples = Sine({{3, -6}}, f, 12000.0, std::numbers::pi / 4);
    for (size_t i = 0; i < 4800 * 2; ++i) samples[i] *= static_cast<double>(i / 2) / 4800.0;
    const Bytes bytes = Pack(samples, f);
    const LoudnessResult portable = Measure(bytes, f, weights, InstructionSet::kPortable);
    EXPECT_NEAR(portable.sample_peak, -6.0 - 3.01, 0.01) << Describe(f);
    EXPECT_GE(portable.true_peak - portable.sample_peak, 3.0 - 0.4) << Describe(f);
    EXPECT_LE(portable.true_peak - portable.sample_peak, 3.0 + 0.2) << Describe(f);
    for (const InstructionSet set : Paths()) {
      ExpectSame(Measure(bytes, f, weights, set), portable, "true peak, " + Describe(f) + ", " + NameOf(set));
    }
  }
}

TEST(Loudness, ChannelWeightsFollowTheChannelMask) {
  using W = std::vector<double>;
  const auto weights = [](int channels, std::optional<uint32_t> mask) {
    const auto all = LoudnessWeights(channels, mask);
    return W(all.begin(), all.begin() + channels);
  };
  EXPECT_EQ(weights(1, std::nullopt), W({1}));
  EXPECT_EQ(weights(2, std::nullopt), W({1, 1}));
  EXPECT_EQ(weights(6, std::nullopt), W({1, 1, 1, 0, 1.41, 1.41}));  // 5.1 in the WAVE order
  EXPECT_EQ(weights(6, 0x3F), W({1, 1, 1, 0, 1.41, 1.41}));          // 5.1, surrounds as back positions
  EXPECT_EQ(weights(6, 0x60F), W({1, 1, 1, 0, 1.41, 1.41}));         // 5.1, surrounds as side positions
  EXPECT_EQ(weights(8, 0x63F), W({1, 1, 1, 0, 1, 1, 1.41, 1.41}));   // 7.1: the back pair lies behind
  EXPECT_EQ(weights(4, 0x33), W({1, 1, 1.41, 1.41}));                // quadraphonic
  EXPECT_EQ(weights(5, 0x107), W({1, 1, 1, 1, 1}));                  // back centre
  EXPECT_EQ(weights(2, 0x8), W({0, 1}));                             // a channel beyond the mask
  EXPECT_EQ(weights(6, 0), W({1, 1, 1, 1, 1, 1}));                   // "poly" files
  EXPECT_EQ(weights(8, std::nullopt), W({1, 1, 1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(LoudnessWeights(2, 0x3)[2], 0.0);

  // The same tone alone in one channel, then in both of a stereo pair: 3 dB
  // more; in a surround channel of 5.1: 1.5 dB more than in the centre;
  // in the LFE channel: nothing measured.
  const auto alone = [](int channels, int in, std::optional<uint32_t> mask) {
    const AudioFormat f{.rate = 48000, .bits = 24, .channels = channels};
    std::vector<double> samples = Sine({{5, -20}}, f);
    for (size_t i = 0; i < samples.size(); ++i) {
      if (in >= 0 && static_cast<int>(i % static_cast<size_t>(channels)) != in) samples[i] = 0.0;
    }
    return MeasureLoudness(Pack(samples, f), f, LoudnessWeights(channels, mask), DetectInstructionSet()).integrated;
  };
  const double mono = *alone(1, -1, std::nullopt);
  EXPECT_NEAR(*alone(2, -1, std::nullopt) - mono, 3.01, 0.01);
  EXPECT_NEAR(*alone(2, 1, std::nullopt) - mono, 0.0, 0.01);
  EXPECT_NEAR(*alone(6, 4, std::nullopt) - *alone(6, 2, std::nullopt), 1.49, 0.01);
  EXPECT_NEAR(*alone(6, 5, 0x60F) - mono, 1.49, 0.01);
  EXPECT_FALSE(alone(6, 3, std::nullopt));
  EXPECT_NEAR(*alone(6, 3, 0) - mono, 0.0, 0.01);
}

TEST(Loudness, ShortSilentAndBrokenProgrammesAreDefined) {
  const AudioFormat f = kFormats[1];
  const auto weights = LoudnessWeights(2, std::nullopt);
  for (const InstructionSet set : Paths()) {
    const LoudnessResult empty = Measure({}, f, weights, set);
    EXPECT_FALSE(empty.integrated || empty.range || empty.max_momentary || empty.max_short_term);
    EXPECT_EQ(empty.true_peak, kMinusInfinity);
    EXPECT_EQ(empty.sample_peak, kMinusInfinity);

    const LoudnessResult silence = Measure(Bytes(48000 * 6 * 10), f, weights, set);
    EXPECT_FALSE(silence.integrated || silence.range);
    EXPECT_EQ(silence.max_momentary, kMinusInfinity);
    EXPECT_EQ(silence.max_short_term, kMinusInfinity);
    EXPECT_EQ(silence.true_peak, kMinusInfinity);

    // 399 ms is no block; 400 ms one; under 3 s no window.
    std::vector<double> blip = Sine({{0.399, -20}}, f);
    EXPECT_FALSE(Measure(Pack(blip, f), f, weights, set).integrated);
    std::vector<double> block = Sine({{0.4, -20}}, f);
    const LoudnessResult one = Measure(Pack(block, f), f, weights, set, 7);
    EXPECT_NEAR(*one.integrated, -20.0, 0.1);
    EXPECT_FALSE(one.range || one.max_short_term);

    // A broken float file: NaN and infinities read as silence, huge finite
    // values as 2^100, and nothing in the result is NaN.
    const AudioFormat floats = kFormats[3];
    std::vector<float> broken(48000 * 2, 0.25F);
    broken[100] = std::numeric_limits<float>::quiet_NaN();
    broken[2001] = std::numeric_limits<float>::infinity();
    std::vector<float> mended = broken;
    mended[100] = mended[2001] = 0.0F;
    const LoudnessResult not_finite = Measure(PackFloats(broken), floats, weights, set);
    const LoudnessResult silent_there = Measure(PackFloats(mended), floats, weights, set);
    EXPECT_EQ(not_finite.true_peak, silent_there.true_peak);
    EXPECT_EQ(*not_finite.integrated, *silent_there.integrated);
    broken[30000] = -3e38F;
    const LoudnessResult odd = Measure(PackFloats(broken), floats, weights, set);
    EXPECT_NEAR(odd.sample_peak, 20 * std::log10(0x1p100), 1e-6);
    EXPECT_GE(odd.true_peak, odd.sample_peak);
    EXPECT_TRUE(odd.integrated && std::isfinite(*odd.integrated));
  }
  // Formats the program does not read measure nothing.
  const LoudnessResult eight_bit =
      MeasureLoudness(Bytes(48000, 1), AudioFormat{.bits = 8, .channels = 1}, weights, InstructionSet::kPortable);
  EXPECT_FALSE(eight_bit.integrated);
  EXPECT_EQ(eight_bit.sample_peak, kMinusInfinity);
  // Rates under 10 Hz have empty steps.
  const LoudnessResult slow = MeasureLoudness(Bytes(6 * 100, 1), AudioFormat{.rate = 3, .bits = 24, .channels = 2},
                                              weights, InstructionSet::kPortable);
  EXPECT_GT(slow.sample_peak, -200.0);

  // The curve: a point a second, the 3 s before each (fewer at the start).
  std::vector<double> rising = Sine({{3, -30}, {3, -20}}, f);
  const std::vector<float> curve =
      ShortTermCurve(Fed(Pack(rising, f), f, weights, InstructionSet::kPortable, 4096), 10);
  ASSERT_EQ(curve.size(), 6U);
  EXPECT_NEAR(curve[0], -30.0, 0.05);
  EXPECT_NEAR(curve[2], -30.0, 0.05);
  EXPECT_NEAR(curve[5], -20.0, 0.05);
  EXPECT_GT(curve[4], curve[3]);
}

// -- Against libebur128 -------------------------------------------------------------

#ifdef WAVSPLICE_LIBEBUR128
struct Oracle {
  double integrated, range, true_peak, sample_peak, max_momentary, max_short_term;
};

// The loudness range of short-term values as EBU Tech 3342 computes it.
double RangeOf(const std::vector<double>& short_term) {
  std::vector<double> gated;
  double power = 0.0;
  for (const double v : short_term) {
    if (v < -70.0) continue;
    gated.push_back(v);
    power += std::pow(10.0, v / 10.0);
  }
  const double gate = 10.0 * std::log10(power / static_cast<double>(gated.size())) - 20.0;
  std::erase_if(gated, [&](double v) { return v < gate; });
  std::sort(gated.begin(), gated.end());
  const double n = static_cast<double>(gated.size());
  return gated[static_cast<size_t>(std::lround((n - 1) * 0.95))] -
         gated[static_cast<size_t>(std::lround((n - 1) * 0.10))];
}

Oracle Library(const std::vector<double>& samples, const AudioFormat& f, std::span<const int> positions) {
  ebur128_state* state =
      ebur128_init(static_cast<unsigned>(f.channels), f.rate,
                   EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_M | EBUR128_MODE_S);
  for (int c = 0; c < f.channels; ++c)
    ebur128_set_channel(state, static_cast<unsigned>(c), positions[static_cast<size_t>(c)]);
  Oracle o{};
  o.max_momentary = o.max_short_term = kMinusInfinity;
  // The library's own range takes a window every second; the meter takes
  // one every 100 ms, as its short-term loudness is read here.
  std::vector<double> short_term;
  const size_t step = f.rate / 10;
  const size_t frames = samples.size() / static_cast<size_t>(f.channels);
  for (size_t at = 0; at + step <= frames; at += step) {
    ebur128_add_frames_double(state, samples.data() + at * static_cast<size_t>(f.channels), step);
    double v;
    if (at >= 3 * step && ebur128_loudness_momentary(state, &v) == EBUR128_SUCCESS) {
      o.max_momentary = std::max(o.max_momentary, v);
    }
    if (at >= 29 * step && ebur128_loudness_shortterm(state, &v) == EBUR128_SUCCESS) {
      o.max_short_term = std::max(o.max_short_term, v);
      short_term.push_back(v);
    }
  }
  ebur128_loudness_global(state, &o.integrated);
  o.range = RangeOf(short_term);
  double peak = 0, sample = 0;
  for (int c = 0; c < f.channels; ++c) {
    double p = 0;
    ebur128_true_peak(state, static_cast<unsigned>(c), &p);
    peak = std::max(peak, p);
    ebur128_sample_peak(state, static_cast<unsigned>(c), &p);
    sample = std::max(sample, p);
  }
  o.true_peak = 20 * std::log10(peak);
  o.sample_peak = 20 * std::log10(sample);
  ebur128_destroy(&state);
  return o;
}

// A programme of random pieces: silence, tones and bursts of (low-passed)
// noise, every channel at its own level; a 5.1 programme's LFE channel carries
// a loud low tone.
std::vector<double> RandomProgramme(std::mt19937& random, const AudioFormat& f, double seconds) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto channels = static_cast<size_t>(f.channels);
  const auto total = static_cast<size_t>(seconds * f.rate);
  std::vector<double> out(total * channels, 0.0);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (size_t at = 0; at < total;) {
    const size_t length = std::min(total - at, static_cast<size_t>((0.3 + 3.7 * unit(random)) * f.rate));
    const int kind = static_cast<int>(unit(random) * 3);  // silence, tone, noise
    const double level = -45.0 + 42.0 * unit(random);
    const double frequency = 40.0 * std::pow(250.0, unit(random));
    const double smoothing = 0.05 + 0.5 * unit(random);
    for (size_t c = 0; c < channels; ++c) {
      const double gain = std::pow(10.0, (level - 12.0 * unit(random)) / 20.0);
      const bool lfe = channels == 6 && c == 3;
      double low = 0.0, lower = 0.0;
      for (size_t i = 0; i < length; ++i) {
        const double t = static_cast<double>(at + i) / f.rate;
        double v = 0.0;
        if (lfe) {
          v = 0.5 * std::sin(2 * std::numbers::pi * 60.0 * t);
        } else if (kind == 1) {
          v = gain * std::sin(2 * std::numbers::pi * frequency * t + static_cast<double>(c));
        } else if (kind == 2) {
          low += smoothing * (noise(random) - low);
          lower += smoothing * (low - lower);
          v = std::clamp(gain * 2.0 * lower, -0.99, 0.99);
        }
        out[(at + i) * channels + c] = v;
      }
    }
    at += length;
  }
  return out;
}

#endif

// Random programmes in mono, stereo, 5.1 and other layouts, every sample
// format, several rates, on every path: the meter agrees with libebur128
// within the tolerances broadcasters accept between meters, and its range
// with the published algorithm over the library's short-term loudness.
TEST(Loudness, AgreesWithLibebur128OnRandomProgrammes) {
#ifndef WAVSPLICE_LIBEBUR128
  GTEST_SKIP() << "libebur128 (libebur128-dev) was not found when the tests were built";
#else
  std::mt19937 random(34);
  // Without a channel mask: mono, stereo, 5.1, and the others at 1.0.
  const auto positions = [](int channels) {
    if (channels == 6) {
      return std::vector<int>{EBUR128_LEFT,   EBUR128_RIGHT,         EBUR128_CENTER,
                              EBUR128_UNUSED, EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND};
    }
    return std::vector<int>(static_cast<size_t>(channels), EBUR128_CENTER);
  };
  std::vector<AudioFormat> formats;
  for (const int channels : {1, 2, 6}) {
    for (AudioFormat f : kFormats) {
      f.channels = channels;
      formats.push_back(f);
    }
  }
  formats.push_back({.rate = 48000, .bits = 24, .channels = 3});
  formats.push_back({.rate = 48000, .bits = 32, .channels = 8, .type = SampleType::kFloat});
  formats.push_back({.rate = 44100, .bits = 16, .channels = 2});
  formats.push_back({.rate = 96000, .bits = 24, .channels = 2});
  formats.push_back({.rate = 22050, .bits = 32, .channels = 1, .type = SampleType::kFloat});
  for (const AudioFormat& f : formats) {
    std::vector<double> samples = RandomProgramme(random, f, 10.0);
    const Bytes bytes = Pack(samples, f);
    const Oracle want = Library(samples, f, positions(f.channels));
    const auto weights = LoudnessWeights(f.channels, std::nullopt);
    const LoudnessResult got = Measure(bytes, f, weights, InstructionSet::kPortable, 65536 + 3);
    const std::string where = Describe(f);
    for (const InstructionSet set : Paths()) {
      ExpectSame(Measure(bytes, f, weights, set), got, where + ", " + NameOf(set));
    }
    ASSERT_TRUE(got.integrated && got.range && got.max_momentary && got.max_short_term) << where;
    EXPECT_NEAR(*got.integrated, want.integrated, 0.1) << where;
    EXPECT_NEAR(*got.range, want.range, 0.1) << where;
    EXPECT_NEAR(got.true_peak, want.true_peak, 0.2) << where;
    EXPECT_NEAR(got.sample_peak, want.sample_peak, 0.001) << where;
    EXPECT_NEAR(*got.max_momentary, want.max_momentary, 0.1) << where;
    EXPECT_NEAR(*got.max_short_term, want.max_short_term, 0.1) << where;
  }
#endif
}

}  // namespace
