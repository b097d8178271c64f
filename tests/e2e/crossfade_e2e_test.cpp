#include <cmath>

#include "e2e/e2e.hpp"
#include "support/reference.hpp"

namespace {

class Crossfades : public EndToEnd {
 protected:
  void TearDown() override {
    EXPECT_FALSE(std::filesystem::exists(dir / "xfade_temp.wav")) << "the work file was left behind";
  }
};

// A followed by B from its frame 40, appended at frame 200 with a crossfade.
struct Splice {
  int bits;
  int channels;
  int type;
  double level;
  std::string width_ms;  // at 8000 Hz: 1 ms is 8 frames
  int width;
};

TEST_F(Crossfades, EveryCurveAtEveryFormatExactlyPlaced) {
  const Splice cases[] = {
      {16, 1, 1, 0.0, "2", 16},   {16, 2, 2, -6.0, "1.125", 9}, {24, 1, 3, 3.0, "4", 32},
      {24, 2, 4, 0.0, "2.5", 20}, {16, 2, 1, -2.5, "0.125", 1}, {24, 1, 2, 0.0, "3.75", 30},
      {16, 1, 3, 0.0, "1", 8},    {24, 2, 1, -1.0, "5", 40},
  };
  for (const Splice& c : cases) {
    const int full = c.bits == 16 ? 32767 : 8388607;
    const auto a = Ramp(200, c.channels, c.bits, -full / 2, full / 150);
    const auto b = Ramp(150, c.channels, c.bits, full / 3, -(full / 90));
    Source("a.wav", 8000, c.bits, c.channels, a);
    Source("b.wav", 8000, c.bits, c.channels, b);
    char level[32];
    std::snprintf(level, sizeof level, "%g", c.level);
    Task("using_samples\nsrc\ta.wav\nsrc\tb.wav\nxin\t40\nlvl\t" + std::string(level) + "\nxf\t" + c.width_ms +
         "\t" + std::to_string(c.type) + "\ndest\tout.wav\n");
    const auto r = Run();
    ASSERT_EQ(r.status, 0) << r.output;

    // a ends where it is copied, so carried on past the splice it is silence.
    std::vector<int32_t> before(310 * c.channels, 0);
    Overlay(before, c.channels, 0, a);
    std::vector<int32_t> want = before;
    std::vector<int32_t> segment;
    int64_t clipped = 0;
    for (int32_t s : Frames(b, c.channels, 40, 110)) {
      segment.push_back(c.level == 0.0 ? s : Leveled(s, c.level, c.bits, &clipped));
    }
    Overlay(want, c.channels, 200, segment);
    Overlay(want, c.channels, 200 - c.width / 2,
            ReferenceCrossfade(before, b,
                               {.insert = 200,
                                .read_start = 40,
                                .width = c.width,
                                .curve = c.type,
                                .level = c.level,
                                .channels = c.channels,
                                .bits = c.bits,
                                .clipped = &clipped}));
    char level_text[32];
    std::snprintf(level_text, sizeof level_text, "%.3f", c.level);
    const std::string clip_line = clipped > 0 ? "\tClipped " + std::to_string(clipped) + " samples\n" : "";
    EXPECT_EQ(r.output, SamplesCountLine(2) +
                            SampleBlock({.task = 1, .insert = 0, .file = "a.wav", .start = 0, .length = 200}) +
                            SampleBlock({.task = 2,
                                         .insert = 200,
                                         .file = "b.wav",
                                         .start = 40,
                                         .length = 110,
                                         .level = level_text,
                                         .extra = clip_line}) +
                            Report("out.wav", "310 samples", c.bits, c.channels, 8000));
    EXPECT_EQ(Samples("out.wav", 8000, c.bits, c.channels), want)
        << c.bits << " bits, " << c.channels << " channels, type " << c.type;
  }
}

// An appended crossfade fades the previous take out under the new one: past
// its stop the outgoing side is its source carried on, with its level; where
// an entry written earlier lies under the window, the destination is read.
TEST_F(Crossfades, AppendedCrossfadesCarryThePreviousTakeOn) {
  for (const int bits : {16, 24}) {
    const int channels = bits == 16 ? 2 : 1;
    const int full = bits == 16 ? 32767 : 8388607;
    const auto a = Ramp(400, channels, bits, -full / 3, full / 500);
    const auto b = Ramp(300, channels, bits, full / 4, -(full / 400));
    const auto c = Ramp(230, channels, bits, 1000, 7);
    Source("a.wav", 8000, bits, channels, a);
    Source("b.wav", 8000, bits, channels, b);
    Source("c.wav", 8000, bits, channels, c);
    // a's frame 50 + f is what it would write at destination frame f.
    std::vector<int32_t> carried(400 * channels, 0);
    for (int f = 0; f + 50 < 400; ++f) {
      for (int k = 0; k < channels; ++k) carried[f * channels + k] = Leveled(a[(f + 50) * channels + k], -3.0, bits);
    }
    for (const bool under : {false, true}) {
      for (const int type : {1, 2, 3, 4}) {
        for (const char* width_ms : {"0.125", "0.25", "0.625", "2", "8", "25"}) {
          const int width = static_cast<int>(std::stod(width_ms) * 8);
          // With `under`, c is written first (ins 0, before a of the same
          // insert point) and still holds frames 200 to 229 when b comes.
          Task(std::string("using_samples\n") + (under ? "src\tc.wav\nins\t0\n" : "") +
               "src\ta.wav\nins\t0\nxin\t50\nxout\t250\nlvl\t-3\nsrc\tb.wav\nxin\t100\nxf\t" + width_ms + "\t" +
               std::to_string(type) + "\ndest\tout.wav\n");
          const auto r = Run();
          ASSERT_EQ(r.status, 0) << r.output;
          std::vector<int32_t> outgoing = carried;
          if (under) Overlay(outgoing, channels, 200, Frames(c, channels, 200, 30));
          std::vector<int32_t> want(400 * channels, 0);
          Overlay(want, channels, 0, Frames(carried, channels, 0, 200));
          Overlay(want, channels, 200, Frames(b, channels, 100, 200));
          Overlay(want, channels, 200 - width / 2,
                  ReferenceCrossfade(outgoing, b,
                                     {.insert = 200,
                                      .read_start = 100,
                                      .width = width,
                                      .curve = type,
                                      .channels = channels,
                                      .bits = bits}));
          EXPECT_EQ(Samples("out.wav", 8000, bits, channels), want)
              << bits << " bits, type " << type << ", " << width << " frames" << (under ? ", c under it" : "");
        }
      }
    }
  }
}

// A take joined to its own continuation with a linear crossfade gives back
// the take: no step where the first copy stops.
TEST_F(Crossfades, ATakeCrossfadedIntoItsOwnContinuationIsUnchanged) {
  std::vector<int32_t> tone;
  for (int i = 0; i < 48000; ++i) tone.push_back(static_cast<int32_t>(20000 * std::sin(i * 0.0571)));
  Source("take.wav", 48000, 16, 1, tone);
  Task("src\ttake.wav\nxout\t0.5\nsrc\ttake.wav\nxin\t0.5\nxf\t80\t2\ndest\tout.wav\n");
  ASSERT_EQ(Run().status, 0);
  const auto out = Samples("out.wav", 48000, 16, 1);
  ASSERT_EQ(out.size(), tone.size());
  for (size_t i = 0; i < tone.size(); ++i) ASSERT_NEAR(out[i], tone[i], 1) << "frame " << i;
}

TEST_F(Crossfades, TooCloseToTheStartIsRenderedButNotPlaced) {
  const auto a = Ramp(100, 1, 16, 100, 1);
  Source("a.wav", 8000, 16, 1, a);
  // Width 16 frames, half 8: an insert point at 8 leaves no frame before the window.
  Task("using_samples\nsrc\ta.wav\nxin\t50\nins\t8\nxf\t2\t1\ndest\tout.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, SamplesCountLine(1) +
                          SampleBlock({.task = 1, .insert = 8, .file = "a.wav", .start = 50, .length = 50}) +
                          Report("out.wav", "58 samples", 16, 1, 8000));
  std::vector<int32_t> want(58, 0);
  Overlay(want, 1, 8, Frames(a, 1, 50, 50));
  EXPECT_EQ(Samples("out.wav", 8000, 16, 1), want);
}

TEST_F(Crossfades, ReadStartShorterThanHalfTheWidthSkipsTheCrossfade) {
  const auto a = Ramp(100, 2, 24, 100, 1);
  Source("a.wav", 8000, 24, 2, a);
  Task("using_samples\nsrc\ta.wav\nsrc\ta.wav\nxin\t7\nxf\t2\t2\ndest\tout.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, SamplesCountLine(2) +
                          SampleBlock({.task = 1, .insert = 0, .file = "a.wav", .start = 0, .length = 100}) +
                          SampleBlock({.task = 2,
                                       .insert = 100,
                                       .file = "a.wav",
                                       .start = 7,
                                       .length = 93,
                                       .level = "0.000",
                                       .extra = "Invalid crossfade for source file\nCould not generate crossfade\n"}) +
                          Report("out.wav", "193 samples", 24, 2, 8000));
  std::vector<int32_t> want = a;
  const auto rest = Frames(a, 2, 7, 93);
  want.insert(want.end(), rest.begin(), rest.end());
  EXPECT_EQ(Samples("out.wav", 8000, 24, 2), want);
}

TEST_F(Crossfades, AtTheDestinationsEndTheFileKeepsItsLength) {
  const auto a = Ramp(100, 1, 24, 5000, 3);
  const auto b = Ramp(60, 1, 24, -7000, 11);
  Source("a.wav", 8000, 24, 1, a);
  Source("b.wav", 8000, 24, 1, b);
  // B adds 4 frames after A; the 40-frame crossfade reaches 16 frames past
  // the destination's end, where it reads silence and writes nothing.
  Task("using_samples\nsrc\ta.wav\nsrc\tb.wav\nxin\t56\nxf\t5\t3\ndest\tout.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<int32_t> before(104, 0);
  Overlay(before, 1, 0, a);
  std::vector<int32_t> want = before;
  Overlay(want, 1, 100, Frames(b, 1, 56, 4));
  auto fade = ReferenceCrossfade(before, b,
                                 {.insert = 100, .read_start = 56, .width = 40, .curve = 3, .channels = 1, .bits = 24});
  fade.resize(24);
  Overlay(want, 1, 80, fade);
  EXPECT_EQ(Samples("out.wav", 8000, 24, 1), want);
  EXPECT_EQ(ReadFile(dir / "out.wav").size(), 44u + 104 * 3);
}

TEST_F(Crossfades, WidthOfZeroMillisecondsUsesTheDefault4410Frames) {
  const auto a = Ramp(10000, 1, 16, 1, 3);
  Source("a.wav", 48000, 16, 1, a);
  Task("using_samples\nsrc\ta.wav\nxout\t5000\nsrc\ta.wav\nxin\t5000\nxf\t0\t2\ndest\tout.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  // The first take carried on past its stop is the rest of a.
  std::vector<int32_t> want = a;
  Overlay(want, 1, 5000 - 2205,
          ReferenceCrossfade(
              a, a, {.insert = 5000, .read_start = 5000, .width = 4410, .curve = 2, .channels = 1, .bits = 16}));
  EXPECT_EQ(Samples("out.wav", 48000, 16, 1), want);
}

TEST_F(Crossfades, WidthsThatCannotBeRenderedAreSkipped) {
  Source("a.wav", 48000, 16, 2, Ramp(100, 2, 16));
  // 1e9 ms is 4.8e10 frames; 2e7 ms is 9.6e8 frames, 3.8 GB of work file.
  for (const char* width : {"1e9", "2e7", "inf"}) {
    Task(std::string("using_samples\nsrc\ta.wav\nsrc\ta.wav\nxin\t50\nxf\t") + width + "\t1\ndest\tout.wav\n");
    const auto r = Run();
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("\tLevel 0.000 dB\nCould not generate crossfade\n\tDone\n"), std::string::npos) << width;
  }
}

TEST_F(Crossfades, WorkFileNamedAsATrackIsRefused) {
  Source("a.wav", 8000, 16, 1, Ramp(100, 1, 16));
  Source("xfade_temp.wav", 8000, 16, 1, Ramp(100, 1, 16));
  const Bytes kept = ReadFile(dir / "xfade_temp.wav");
  for (const char* task : {"src\ta.wav\nsrc\txfade_temp.wav\nxin\t0.005\nxf\t1\t1\ndest\tout.wav\n",
                           "src\ta.wav\nsrc\ta.wav\nxin\t0.005\nxf\t1\t1\ndest\t./xfade_temp.wav\n"}) {
    Task(task);
    const auto r = Run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, CountLine(2) + "Crossfade work file xfade_temp.wav is also named as a track\n");
    EXPECT_EQ(ReadFile(dir / "xfade_temp.wav"), kept);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
  }
  std::filesystem::remove(dir / "xfade_temp.wav");
  // Without a crossfade the name is an ordinary destination.
  Task("src\ta.wav\ndest\txfade_temp.wav\n");
  EXPECT_EQ(Run().status, 0);
  std::filesystem::remove(dir / "xfade_temp.wav");
}

}  // namespace
