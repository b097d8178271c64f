#include <cmath>

#include "e2e/e2e.hpp"
#include "support/reference.hpp"

namespace {

using Execute = EndToEnd;

TEST_F(Execute, WriteOrderDecidesWhichEntryWinsAnOverlap) {
  std::vector<std::vector<int32_t>> sources;
  std::string task = "using_samples\n";
  const char* placement[] = {"", "ins\t200\n", "", "ins\t100\n", "", "ins\t100\n"};
  for (int i = 0; i < 6; ++i) {
    const std::string name = std::string("s").append(std::to_string(i)).append(".wav");
    sources.push_back(Ramp(60, 1, 16, 1000 * (i + 1), 1));
    Source(name, 8000, 16, 1, sources.back());
    task.append("src\t").append(name).append("\n").append(placement[i]);
  }
  Task(task + "dest\tout.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  // Write order 0, 3, 4, 5, 1, 2; appended entries follow the entry above
  // them in the task file: 2 at 200 + 60, 4 at 100 + 60.
  EXPECT_EQ(r.output, SamplesCountLine(6) +
                          SampleBlock({.task = 1, .insert = 0, .file = "s0.wav", .start = 0, .length = 60}) +
                          SampleBlock({.task = 4, .insert = 100, .file = "s3.wav", .start = 0, .length = 60}) +
                          SampleBlock({.task = 5, .insert = 160, .file = "s4.wav", .start = 0, .length = 60}) +
                          SampleBlock({.task = 6, .insert = 100, .file = "s5.wav", .start = 0, .length = 60}) +
                          SampleBlock({.task = 2, .insert = 200, .file = "s1.wav", .start = 0, .length = 60}) +
                          SampleBlock({.task = 3, .insert = 260, .file = "s2.wav", .start = 0, .length = 60}) +
                          Report("out.wav", "320 samples", 16, 1, 8000));
  std::vector<int32_t> want(320, 0);
  const int order[] = {0, 3, 4, 5, 1, 2};
  const int at[] = {0, 200, 260, 100, 160, 100};
  for (const int e : order) Overlay(want, 1, at[e], sources[e]);
  EXPECT_EQ(Samples("out.wav", 8000, 16, 1), want);
}

TEST_F(Execute, AppendAfterAStopBeyondTheSourceLeavesSilence) {
  const auto a = Ramp(60, 2, 24, -500, 3);
  const auto b = Ramp(40, 2, 24, 900, -7);
  Source("a.wav", 48000, 24, 2, a);
  Source("b.wav", 48000, 24, 2, b);
  // a is cut at its end (frame 60) but b follows at the stop as written, 100.
  // An entry whose start lies past its source's end copies nothing.
  Task("using_samples\nsrc\ta.wav\nxin\t10\nxout\t100\nsrc\tb.wav\nsrc\ta.wav\nxin\t70\nxout\t80\nins\t5\n"
       "dest\tout.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, SamplesCountLine(3) +
                          SampleBlock({.task = 1, .insert = 0, .file = "a.wav", .start = 10, .length = 50}) +
                          SampleBlock({.task = 2, .insert = 90, .file = "b.wav", .start = 0, .length = 40}) +
                          SampleBlock({.task = 3, .insert = 5, .file = "a.wav", .start = 70, .length = -10}) +
                          Report("out.wav", "130 samples", 24, 2, 48000));
  std::vector<int32_t> want(130 * 2, 0);
  Overlay(want, 2, 0, Frames(a, 2, 10, 50));
  Overlay(want, 2, 90, b);
  EXPECT_EQ(Samples("out.wav", 48000, 24, 2), want);
}

// Loud integer material made louder clips at full scale instead of wrapping
// to the other sign, and the summary counts what clipped.
TEST_F(Execute, LevelsOnEveryFormatClipAndCountTheirOvers) {
  for (const int bits : {16, 24, 32}) {
    for (const int channels : {1, 2}) {
      const int64_t range = int64_t{1} << bits;
      const auto quiet =
          Ramp(1500, channels, bits, static_cast<int32_t>(-range / 2), static_cast<int32_t>(range / 1500 + 1));
      const auto loud =
          Ramp(1500, channels, bits, static_cast<int32_t>(range / 2 - 1), static_cast<int32_t>(-(range / 1500) - 3));
      Source("quiet.wav", 44100, bits, channels, quiet);
      Source("loud.wav", 44100, bits, channels, loud);
      Task("using_samples\nsrc\tquiet.wav\nlvl\t-6\nsrc\tloud.wav\nlvl\t4.5\nxin\t100\ndest\tout.wav\n");
      const auto r = Run();
      ASSERT_EQ(r.status, 0) << r.output;
      std::vector<int32_t> want;
      for (const int32_t s : quiet) want.push_back(Leveled(s, -6.0, bits));
      int64_t clipped = 0;
      for (size_t i = 100 * channels; i < loud.size(); ++i) want.push_back(Leveled(loud[i], 4.5, bits, &clipped));
      EXPECT_GT(clipped, 500 * channels);
      EXPECT_EQ(r.output,
                SamplesCountLine(2) +
                    SampleBlock(
                        {.task = 1, .insert = 0, .file = "quiet.wav", .start = 0, .length = 1500, .level = "-6.000"}) +
                    SampleBlock({.task = 2,
                                 .insert = 1500,
                                 .file = "loud.wav",
                                 .start = 100,
                                 .length = 1400,
                                 .level = "4.500",
                                 .extra = "\tClipped " + std::to_string(clipped) + " samples\n"}) +
                    Report("out.wav", "2900 samples", bits, channels, 44100));
      EXPECT_EQ(Samples("out.wav", 44100, bits, channels), want) << bits << " bits, " << channels << " channels";
    }
  }
}

TEST_F(Execute, SecondsSummariesUseSinglePrecision) {
  Source("a.wav", 22050, 16, 1, Ramp(22050, 1, 16));
  // 1/3 s at 22050 Hz is frame 7350; 0.1 s is 2205 frames.
  Task("src\ta.wav\nxin\t0.1\nxout\t0.4\nins\t0.3333333333\nlvl\t-0.0001\ndest\tout.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, CountLine(1) +
                          "Task 1\tInsert point 0.333 sec\n\tFile a.wav\n\tRead start 0.100 sec\n"
                          "\tRead length 0.300 sec\n\tLevel -0.000 dB\n\tDone\n\n" +
                          Report("out.wav", "0.633 sec", 16, 1, 22050));
}

TEST_F(Execute, PlainSpliceMatchesSox) {
  if (!HaveSox()) GTEST_SKIP() << "sox not installed: the comparison with an independent splice is skipped";
  Source("a.wav", 48000, 24, 2, Ramp(3000, 2, 24, -4000000, 2731));
  Source("b.wav", 48000, 24, 2, Ramp(2000, 2, 24, 3000000, -1999));
  Task("using_samples\nsrc\ta.wav\nxin\t100\nxout\t600\nsrc\tb.wav\nxin\t50\nxout\t1050\nsrc\ta.wav\nxout\t300\n"
       "dest\tout.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  for (const auto& step : std::vector<std::vector<std::string>>{
           {"sox", "-D", "a.wav", "p1.wav", "trim", "100s", "500s"},
           {"sox", "-D", "b.wav", "p2.wav", "trim", "50s", "1000s"},
           {"sox", "-D", "a.wav", "p3.wav", "trim", "0s", "300s"},
           {"sox", "-D", "p1.wav", "p2.wav", "p3.wav", "-t", "s24", "sox.raw"},
       }) {
    const auto s = RunCommand(dir.path, step);
    ASSERT_EQ(s.status, 0) << s.errors;
  }
  const Bytes ours = ReadFile(dir / "out.wav");
  EXPECT_EQ(Bytes(ours.begin() + 44, ours.end()), ReadFile(dir / "sox.raw"));
}

}  // namespace

namespace {

// Segments far longer than the program's I/O runs, starting and ending at odd
// frames, plain and with levels, in every format: the grouping of the I/O must
// not show in a single byte. (Levels are stored in single precision.)
TEST_F(Execute, LongSegmentsAtOddFramesInEveryFormat) {
  for (const int bits : {16, 24}) {
    for (const int channels : {1, 2}) {
      const auto a = Ramp(300007, channels, bits, -77777, 13);
      const auto b = Ramp(250001, channels, bits, 55555, -7);
      Source("a.wav", 48000, bits, channels, a);
      Source("b.wav", 48000, bits, channels, b);
      Task("using_samples\nsrc\ta.wav\nxin\t12345\nxout\t290001\nsrc\tb.wav\nxin\t3\nlvl\t-3.3\n"
           "src\ta.wav\nins\t100003\nxin\t99\nxout\t231072\nlvl\t1.7\ndest\tout.wav\n");
      const auto r = Run();
      ASSERT_EQ(r.status, 0) << r.output;
      std::vector<int32_t> want(static_cast<size_t>(277656 + 249998) * channels, 0);
      Overlay(want, channels, 0, Frames(a, channels, 12345, 277656));
      std::vector<int32_t> segment;
      for (const int32_t s : Frames(b, channels, 3, 249998)) segment.push_back(Leveled(s, static_cast<double>(-3.3F), bits));
      Overlay(want, channels, 277656, segment);
      segment.clear();
      for (const int32_t s : Frames(a, channels, 99, 230973)) segment.push_back(Leveled(s, static_cast<double>(1.7F), bits));
      Overlay(want, channels, 100003, segment);
      EXPECT_EQ(Samples("out.wav", 48000, bits, channels), want) << bits << " bits, " << channels << " channels";
    }
  }
}

}  // namespace
