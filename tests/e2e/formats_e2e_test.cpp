// 32-bit integer and float material and up to eight channels: files as sox
// writes them, and levels and crossfades against the plain reference.
#include <cfloat>

#include "e2e/e2e.hpp"
#include "support/reference.hpp"

namespace {

using Formats = EndToEnd;

std::string SoxInfo(const std::filesystem::path& dir, const std::string& flag, const std::string& file) {
  return RunCommand(dir, {"soxi", flag, file}).output;
}

TEST_F(Formats, SoxFilesSpliceToTheSamplesSoxReadsAndBack) {
  if (!HaveSox()) GTEST_SKIP() << "sox not installed: files in the new formats cannot be made";
  struct Kind {
    const char* encoding;
    int bits;
    int channels;
    const char* sox_encoding;  // as soxi -e names it
  };
  const Kind kinds[] = {
      {"floating-point", 32, 2, "Floating Point PCM"},
      {"floating-point", 32, 6, "Floating Point PCM"},
      {"signed-integer", 32, 2, "Signed Integer PCM"},
      {"signed-integer", 32, 1, "Signed Integer PCM"},
      {"signed-integer", 16, 6, "Signed Integer PCM"},
      {"signed-integer", 24, 8, "Signed Integer PCM"},
  };
  for (const Kind& k : kinds) {
    const std::string what = std::string(k.encoding) + " " + std::to_string(k.bits) + " bits, " +
                             std::to_string(k.channels) + " channels";
    // Two takes of different tones, so that a misplaced frame shows.
    for (const char* take : {"a", "b"}) {
      const auto made = RunCommand(dir.path, {"sox", "-n", "-r", "48000", "-e", k.encoding, "-b", std::to_string(k.bits),
                                              "-c", std::to_string(k.channels), std::string(take) + ".wav", "synth",
                                              "0.05", "sine", take[0] == 'a' ? "440" : "1234", "vol", "0.8"});
      ASSERT_EQ(made.status, 0) << made.errors;
    }
    Task("using_samples\nsrc\ta.wav\nxout\t2000\nsrc\tb.wav\nxin\t300\nsrc\ta.wav\nxin\t1000\nins\t500\n"
         "dest\tout.wav\n");
    const auto r = Run();
    ASSERT_EQ(r.status, 0) << what << "\n" << r.output;

    // sox's own splice of the same pieces, sample for sample.
    for (const auto& step : std::vector<std::vector<std::string>>{
             {"sox", "a.wav", "p1.wav", "trim", "0s", "500s"},
             {"sox", "a.wav", "p2.wav", "trim", "1000s", "1400s"},
             {"sox", "a.wav", "p3.wav", "trim", "1900s", "100s"},
             {"sox", "b.wav", "p4.wav", "trim", "300s"},
             {"sox", "p1.wav", "p2.wav", "p3.wav", "p4.wav", "-t", "raw", "sox.raw"},
         }) {
      const auto s = RunCommand(dir.path, step);
      ASSERT_EQ(s.status, 0) << s.errors;
    }
    const Bytes ours = ReadFile(dir / "out.wav");
    EXPECT_EQ(Bytes(ours.begin() + 44, ours.end()), ReadFile(dir / "sox.raw")) << what;
    // And sox reads our file back in its format.
    EXPECT_EQ(SoxInfo(dir.path, "-e", "out.wav"), std::string(k.sox_encoding) + "\n") << what;
    EXPECT_EQ(SoxInfo(dir.path, "-b", "out.wav"), std::to_string(k.bits) + "\n") << what;
    EXPECT_EQ(SoxInfo(dir.path, "-c", "out.wav"), std::to_string(k.channels) + "\n") << what;
    EXPECT_EQ(SoxInfo(dir.path, "-s", "out.wav"), "4100\n") << what;
  }
}

// A run's levels and crossfade of floats with overs and what only floats
// hold, as the plain reference computes them (the arithmetic of every format
// is checked on its own in the level and crossfade tests).
TEST_F(Formats, LevelsAndCrossfadesOfFloatsEndToEnd) {
  const float specials[] = {0.5F, -0.75F, 2.5F, -3.0F, 3.0e38F, FLT_TRUE_MIN, -0.0F, 1e-40F, -FLT_MAX, 0.125F};
  std::vector<float> a;
  std::vector<float> b;
  for (int i = 0; i < 600 * 2; ++i) {
    a.push_back(specials[i % 10] * static_cast<float>(1 + i % 3));
    b.push_back(specials[(i * 3 + 1) % 10]);
  }
  WriteFile(dir / "a.wav", CanonicalFloatWav(8000, 2, a));
  WriteFile(dir / "b.wav", CanonicalFloatWav(8000, 2, b));
  const std::string task = "using_samples\nsrc\ta.wav\nlvl\t6\nsrc\tb.wav\nxin\t100\nlvl\t-2.5\nxf\t5\t3\ndest\tout.wav\n";
  Task(task);
  auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(
      r.output,
      SamplesCountLine(2) +
          SampleBlock({.task = 1, .insert = 0, .file = "a.wav", .start = 0, .length = 600, .level = "6.000"}) +
          SampleBlock({.task = 2, .insert = 600, .file = "b.wav", .start = 100, .length = 500, .level = "-2.500"}) +
          Report("out.wav", "1100 samples", 32, 2, 8000));
  std::vector<float> before;
  for (const float s : a) before.push_back(Leveled(s, 6.0));
  before.resize(1100 * 2, 0.0F);
  std::vector<float> want = before;
  for (size_t i = 0; i < 500 * 2; ++i) want[600 * 2 + i] = Leveled(b[100 * 2 + i], -2.5);
  const auto fade = ReferenceCrossfade(
      before, b, {.insert = 600, .read_start = 100, .width = 40, .curve = 3, .level = -2.5, .channels = 2});
  std::copy(fade.begin(), fade.end(), want.begin() + (600 - 20) * 2);
  const Bytes bytes = ReadFile(dir / "out.wav");
  const Bytes header = CanonicalFloatWav(8000, 2, want);
  EXPECT_EQ(Hex(std::span(bytes).first(44)), Hex(std::span(header).first(44)));
  EXPECT_EQ(FloatBits(UnpackFloats(std::span(bytes).subspan(44))), FloatBits(want));
}

}  // namespace
