#include <unistd.h>

#include <array>
#include <random>

#include "e2e/e2e.hpp"

namespace {

using Plan = EndToEnd;

TEST_F(Plan, WorkedExampleInSeconds) {
  const auto a = Ramp(441000, 1, 16, 0, 1);
  const auto b = Ramp(441000, 1, 16, 1000, 3);
  const auto c = Ramp(441000, 1, 16, -5000, 5);
  Source("a.wav", 44100, 16, 1, a);
  Source("b.wav", 44100, 16, 1, b);
  Source("c.wav", 44100, 16, 1, c);
  Task("src\ta.wav\nxin\t1\nxout\t3\nsrc\tb.wav\nxin\t2\ntrim\t-1\nsrc\tc.wav\nins\t5.5\nxin\t0\nxout\t1\ndest\tout.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, CountLine(3) +
                          "Task 1\tInsert point 0.000 sec\n\tFile a.wav\n\tRead start 1.000 sec\n"
                          "\tRead length 2.000 sec\n\tLevel 0.000 dB\n\tDone\n\n"
                          "Task 2\tInsert point 2.000 sec\n\tFile b.wav\n\tRead start 2.000 sec\n"
                          "\tRead length 7.000 sec\n\tLevel 0.000 dB\n\tDone\n\n"
                          "Task 3\tInsert point 5.500 sec\n\tFile c.wav\n\tRead start 0.000 sec\n"
                          "\tRead length 1.000 sec\n\tLevel 0.000 dB\n\tDone\n\n" +
                          Report("out.wav", "9.000 sec", 16, 1, 44100));
  std::vector<int32_t> want(396900, 0);
  Overlay(want, 1, 0, Frames(a, 1, 44100, 88200));
  Overlay(want, 1, 88200, Frames(b, 1, 88200, 308700));
  Overlay(want, 1, 242550, Frames(c, 1, 0, 44100));
  EXPECT_EQ(Samples("out.wav", 44100, 16, 1), want);
}

TEST_F(Plan, SecondsAreTruncatedAndTrimCountsFromTheEnd) {
  const auto a = Ramp(44100, 2, 24, 7, 11);
  Source("a.wav", 44100, 24, 2, a);
  // xin 0.00001 s is frame 0.441 -> 0; trim -0.5 stops 22050 frames early;
  // an explicit xout of 0 means the source's end.
  Task("src\ta.wav\nxin\t0.00001\nxout\t0\ntrim\t-0.5\ndest\tout.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(Samples("out.wav", 44100, 24, 2), Frames(a, 2, 0, 22050));
}

// Times are the numbers as written, not the doubles nearest them: 0.29 s at
// 100 Hz is frame 29 (28.999999999999996 in doubles), and chains of appended
// decimal times add up exactly, in seconds and in samples.
TEST_F(Plan, TimesLandOnTheFrameTheyWrite) {
  const auto a = Ramp(1000, 1, 16, 1, 1);  // sample value = frame + 1
  Source("a.wav", 100, 16, 1, a);
  struct Case {
    std::string task;
    std::vector<std::array<int, 3>> entries;  // insert, start, length
  };
  const Case cases[] = {
      {"src\ta.wav\nxin\t0.29\nxout\t0.58\nsrc\ta.wav\nxin\t0.3\nxout\t0.7\nsrc\ta.wav\nxin\t0.1\nxout\t0.2\n",
       {{0, 29, 29}, {29, 30, 40}, {69, 10, 10}}},
      {"src\ta.wav\nxout\t0.7\ntrim\t-0.41\nsrc\ta.wav\nins\t0.57\nxin\t1.1\nxout\t1.2\n", {{0, 0, 29}, {57, 110, 10}}},
      {"using_samples\nsrc\ta.wav\nxin\t0.3\nxout\t10.7\nsrc\ta.wav\nxin\t1.5\nxout\t7.1\nsrc\ta.wav\nxout\t3\n",
       {{0, 0, 10}, {10, 1, 6}, {16, 0, 3}}},
  };
  for (const Case& c : cases) {
    Task(c.task + "dest\tout.wav\n");
    const auto r = Run();
    ASSERT_EQ(r.status, 0) << r.output;
    std::vector<int32_t> want;
    for (const auto& [insert, start, length] : c.entries) {
      want.resize(std::max<size_t>(want.size(), static_cast<size_t>(insert + length)), 0);
      Overlay(want, 1, insert, Frames(a, 1, start, length));
    }
    EXPECT_EQ(Samples("out.wav", 100, 16, 1), want) << c.task;
  }
  // Widths too: 258.39 ms at 44100 Hz is 11394.999 frames (11395 in single
  // precision).
  Source("b.wav", 44100, 16, 1, Ramp(44100, 1, 16));
  Task("using_samples\nsrc\tb.wav\nxout\t20000\nsrc\tb.wav\nxin\t20000\nxf\t258.39\t1\ndest\tout.wav\n");
  const auto check = Run({"--check"});
  EXPECT_NE(check.output.find("Crossfade 258.39 ms (11394 samples)"), std::string::npos) << check.output;
}

// Appended takes butt-join. Over random chains of decimal times (1 to 5
// decimals) at the usual rates, with trims, stops past the source's end and
// inserted entries that start new chains, every take lands right after the
// one before and holds exactly the frames its times name, against frames
// worked out on the decimals as integer fractions.
TEST_F(Plan, AppendedTakesButtJoinOverRandomChains) {
  std::mt19937 random(32);
  const auto uniform = [&](int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(random);
  };
  // A decimal with `places` decimals: its text and its value as numerator / 10^places.
  struct Decimal {
    std::string text;
    int64_t numerator;
    int64_t denominator;
  };
  const auto decimal = [&](int64_t numerator, int places) {
    int64_t denominator = 1;
    for (int i = 0; i < places; ++i) denominator *= 10;
    const int64_t magnitude = numerator < 0 ? -numerator : numerator;
    std::string fraction = std::to_string(magnitude % denominator);
    fraction.insert(0, static_cast<size_t>(places) - fraction.size(), '0');
    std::string text = numerator < 0 ? "-" : "";
    text += std::to_string(magnitude / denominator);
    text += '.';
    text += fraction;
    return Decimal{text, numerator, denominator};
  };
  // A random time of up to `seconds` seconds.
  const auto time = [&](double seconds, bool negative = false) {
    const int places = static_cast<int>(uniform(1, 5));
    Decimal d = decimal(0, places);
    const auto most = static_cast<int64_t>(seconds * static_cast<double>(d.denominator));
    const int64_t numerator = uniform(negative ? -most : 0, most);
    return decimal(numerator, places);
  };
  // trunc(value x rate), as the frames of a time are.
  const auto frames = [](const Decimal& d, uint32_t rate) { return d.numerator * rate / d.denominator; };

  struct Chain {
    uint32_t rate;
    std::string task;
    std::vector<std::array<int64_t, 3>> entries;  // insert, start, length
  };
  std::vector<Chain> chains;
  // At 44.1 kHz xout 1.00002 with trim 0.00002 reads 44100 frames: the next take starts there.
  chains.push_back({44100,
                    "src\ta.wav\nxout\t1.00002\ntrim\t0.00002\nsrc\ta.wav\nxin\t0.5\nxout\t0.6\n",
                    {{0, 0, 44100}, {44100, 22050, 4410}}});
  const uint32_t rates[] = {22050, 44100, 48000, 96000};
  for (int n = 0; n < 48; ++n) {
    Chain chain{rates[n % 4], "", {}};
    const int64_t length = chain.rate;  // every source holds one second
    int64_t next = 0;                   // where the next appended take lands
    int64_t end = 0;                    // of the destination so far
    const int count = static_cast<int>(uniform(2, 6));
    for (int e = 0; e < count; ++e) {
      std::string text = "src\ta.wav\n";
      if (uniform(0, 4) == 0) {
        // A new chain past every take so far: write order cannot matter.
        const Decimal ins = decimal(uniform(0, 30000) + (end * 100000 + chain.rate - 1) / chain.rate, 5);
        text += "ins\t" + ins.text + "\n";
        next = frames(ins, chain.rate);
      }
      int64_t start = 0;
      int64_t stop = 0;
      do {
        std::string times;
        const Decimal xin = time(0.9);
        times += "xin\t" + xin.text + "\n";
        start = frames(xin, chain.rate);
        stop = length;
        if (uniform(0, 5) > 0) {
          // Some stops lie past the source's end.
          const Decimal xout = time(1.3);
          times += "xout\t" + xout.text + "\n";
          stop = xout.numerator == 0 ? length : frames(xout, chain.rate);
        }
        if (uniform(0, 1) == 0) {
          const Decimal trim = time(0.05, true);
          times += "trim\t" + trim.text + "\n";
          stop += frames(trim, chain.rate);
        }
        if (stop > start) text += times;
      } while (stop <= start);
      chain.task += text;
      const int64_t read = std::min(stop, length) - start;
      chain.entries.push_back({next, start, read});
      end = std::max(end, next + read);
      next += stop - start;
    }
    chains.push_back(std::move(chain));
  }
  for (const Chain& chain : chains) {
    const auto a = Ramp(static_cast<int>(chain.rate), 1, 16, 1, 7);
    Source("a.wav", chain.rate, 16, 1, a);
    Task(chain.task + "dest\tout.wav\n");
    const auto r = Run();
    ASSERT_EQ(r.status, 0) << chain.task << r.output;
    std::vector<int32_t> want;
    for (const auto& [insert, start, length] : chain.entries) {
      want.resize(std::max<size_t>(want.size(), static_cast<size_t>(insert + length)), 0);
      Overlay(want, 1, static_cast<int>(insert), Frames(a, 1, static_cast<int>(start), static_cast<int>(length)));
    }
    ASSERT_EQ(Samples("out.wav", chain.rate, 16, 1), want) << chain.rate << " Hz\n" << chain.task;
  }
}

TEST_F(Plan, MismatchListingsForEveryDifferingEntry) {
  Source("a44.wav", 44100, 16, 2, Ramp(10, 2, 16));
  Source("b48.wav", 48000, 16, 2, Ramp(10, 2, 16));
  Source("c48.wav", 48000, 16, 2, Ramp(10, 2, 16));
  Source("odd.wav", 48000, 24, 1, Ramp(10, 1, 24));
  Source("int.wav", 48000, 32, 2, Ramp(10, 2, 32));
  WriteFile(dir / "float.wav", CanonicalFloatWav(48000, 2, std::vector<float>(20, 0.5F)));
  Source("short.wav", 48000, 16, 2, Ramp(10, 2, 16));
  const std::string rates =
      "Sample rates do not match for source tracks:\na44.wav\t44100 Hz\nb48.wav\t48000 Hz\nc48.wav\t48000 Hz\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"a44.wav", "b48.wav", "c48.wav"}, rates + rates},
      {{"a44.wav", "odd.wav"},
       "Sample rates do not match for source tracks:\na44.wav\t44100 Hz\nodd.wav\t48000 Hz\n"
       "Number of channels do not match for source tracks:\na44.wav\t2 channels\nodd.wav\t1 channels\n"
       "Number of bits do not match for source tracks:\na44.wav\t16\nodd.wav\t24\n"},
      // Integers and floats: the sample types are listed before the widths.
      {{"int.wav", "float.wav", "short.wav"},
       "Sample types do not match for source tracks:\nint.wav\tinteger\nfloat.wav\tfloat\nshort.wav\tinteger\n"
       "Number of bits do not match for source tracks:\nint.wav\t32\nfloat.wav\t32\nshort.wav\t16\n"},
  };
  for (const auto& [sources, listing] : cases) {
    std::string task;
    for (const std::string& name : sources) task += "src\t" + name + "\n";
    Task(task + "dest\tout.wav\n");
    const auto r = Run();
    EXPECT_EQ(r.status, 1) << sources[0];
    EXPECT_EQ(r.output, CountLine(static_cast<int>(sources.size())) + listing);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
  }
}

TEST_F(Plan, SourceErrorsEndTheRunWithStatus2) {
  Source("a.wav", 44100, 16, 2, Ramp(10, 2, 16));
  Task("src\ta.wav\nsrc\tgone.wav\ndest\tout.wav\n");
  auto r = Run();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output, CountLine(2) + "Cannot find file in track list called gone.wav!!\n");
  WriteFile(dir / "text.wav", Bytes(200, 'z'));
  Task("src\ta.wav\nsrc\ttext.wav\ndest\tout.wav\n");
  r = Run();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output, CountLine(2) + "Can't find format chunk in wave file!\nCan't find data block in wave file!\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
}

TEST_F(Plan, ImpossibleEditsAreRefusedBeforeAnyFileIsCreated) {
  Source("a.wav", 1000, 16, 1, Ramp(1000, 1, 16));
  const char* refused[] = {
      "src\ta.wav\nxin\t1\n",                      // start at the end, no xout
      "src\ta.wav\nxin\t0.5\nxout\t0.4\n",         // stop before start
      "src\ta.wav\nxin\t-0.1\nxout\t0.4\n",        // before the first frame
      "src\ta.wav\nins\t-0.001\n",                 // before the destination's first frame
      "src\ta.wav\nxin\tnan\n",                    // not a number
      "src\ta.wav\nxout\tinf\n",                   // infinite
      "src\ta.wav\ntrim\t-inf\n",
      "src\ta.wav\nins\tinf\n",
      "src\ta.wav\nxout\t3e6\n",                   // past the 32-bit frame range
      "src\ta.wav\nsrc\ta.wav\nxin\t0.5\nins\t-1\n",  // the second entry, named by its source
      "src\ta.wav\nxout\t-1e300\ntrim\t1e300\n",
  };
  for (const char* text : refused) {
    Task(std::string(text) + "dest\tout.wav\n");
    const auto r = Run();
    EXPECT_EQ(r.status, 1) << text;
    EXPECT_NE(r.output.find("Edit start/stop set incorrectly for a.wav\n"), std::string::npos) << text;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav")) << text;
  }
}

TEST_F(Plan, AppendedEntryBeyondTheFrameRangeIsRefused) {
  Source("a.wav", 1000, 16, 1, Ramp(1000, 1, 16));
  // Each entry alone is fine; the third is appended past 2^31 frames.
  Task("src\ta.wav\nins\t1000000\nxout\t1000000\nsrc\ta.wav\nxout\t148000\nsrc\ta.wav\ndest\tout.wav\n");
  const auto r = Run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, CountLine(3) + "Edit start/stop set incorrectly for a.wav\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
}

TEST_F(Plan, DestinationLongerThanTheFrameRangeIsRefused) {
  Source("a.wav", 48000, 24, 2, Ramp(10, 2, 24));
  // 2,147,483,640 + 10 frames is 3 frames past 2^31 - 1.
  Task("using_samples\nsrc\ta.wav\nins\t2147483640\ndest\tbig.wav\n");
  const auto r = Run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, SamplesCountLine(1) + "Destination file would be too large\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "big.wav"));
}

TEST_F(Plan, DestinationThatIsAlsoASourceIsRefused) {
  const auto a = Ramp(50, 2, 16);
  Source("a.wav", 44100, 16, 2, a);
  const Bytes before = ReadFile(dir / "a.wav");
  ASSERT_EQ(symlink("a.wav", (dir / "link.wav").c_str()), 0);
  std::filesystem::create_directory(dir / "sub");
  for (const char* destination : {"a.wav", "./a.wav", "link.wav", "sub/../a.wav"}) {
    Task(std::string("src\ta.wav\ndest\t") + destination + "\n");
    const auto r = Run();
    EXPECT_EQ(r.status, 1) << destination;
    EXPECT_EQ(r.output, CountLine(1) + "Destination " + destination + " is also a source track\n");
    EXPECT_EQ(ReadFile(dir / "a.wav"), before);
  }
}

TEST_F(Plan, DestinationWithoutSourcesIsAnEmptyCdStereoFile) {
  Task("dest\tempty.wav\n");
  const auto r = Run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, CountLine(0) + Report("empty.wav", "0.000 sec", 16, 2, 44100));
  EXPECT_EQ(ReadFile(dir / "empty.wav"), CanonicalWav(44100, 16, 2, {}));
}

TEST_F(Plan, MissingDestinationIsRefusedBeforeSourcesAreOpened) {
  Task("src\tnot-there.wav\n");
  const auto r = Run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, CountLine(1) + "Your destination name appears to be too short or missing\n");
  EXPECT_EQ(Files(), std::vector<std::string>{"task.txt"});
}

}  // namespace
