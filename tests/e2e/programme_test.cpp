// Whole programmes: entries laid over what lies under them ("mix"), fades
// ("fin", "fout") and chapter markers ("mark"), against the arithmetic
// written out sample by sample and against other programs' readers.
#include <cmath>
#include <sstream>

#include "e2e/e2e.hpp"
#include "support/chunks.hpp"
#include "support/reference.hpp"

namespace {

using Programme = EndToEnd;

constexpr double kQuarterTurn = 1.570796327;

// The envelope at frame i of an entry of `frames` frames.
double Envelope(int i, int frames, int fade_in, int fade_out) {
  double e = 1.0;
  if (i < fade_in) e = std::sin(static_cast<double>(i) / fade_in * kQuarterTurn);
  if (fade_out > 0 && i >= frames - fade_out) {
    e *= std::cos(static_cast<double>(i - (frames - fade_out)) / fade_out * kQuarterTurn);
  }
  return e;
}

struct Format {
  int bits;
  bool floats;
  int channels;
};

constexpr Format kFormats[] = {{16, false, 1}, {16, false, 2}, {24, false, 2}, {32, false, 1}, {32, true, 2}};

// Samples of a format, as integers (or floats scaled by 2^24 into ints for
// the arithmetic below).
Bytes Pack(const Format& f, const std::vector<double>& values) {
  if (f.floats) {
    std::vector<float> floats;
    for (const double v : values) floats.push_back(static_cast<float>(v));
    return PackFloats(floats);
  }
  std::vector<int32_t> ints;
  for (const double v : values) ints.push_back(static_cast<int32_t>(v));
  return PackSamples(f.bits, ints);
}

Bytes Wav(const Format& f, const std::vector<double>& values) {
  if (f.floats) {
    std::vector<float> floats;
    for (const double v : values) floats.push_back(static_cast<float>(v));
    return CanonicalFloatWav(8000, f.channels, floats);
  }
  std::vector<int32_t> ints;
  for (const double v : values) ints.push_back(static_cast<int32_t>(v));
  return CanonicalWav(8000, f.bits, f.channels, ints);
}

// A tone of `frames` frames at a fraction of full scale.
std::vector<double> Tone(const Format& f, int frames, double period, double amplitude) {
  const double full = f.floats ? 1.0 : std::ldexp(1.0, f.bits - 1) - 1;
  std::vector<double> out;
  for (int i = 0; i < frames * f.channels; ++i) {
    out.push_back(std::trunc(full * amplitude * std::sin(i / period)));
    if (f.floats) out.back() = static_cast<float>(full * amplitude * std::sin(i / period));
  }
  return out;
}

// The mix of sample s over d with the weights, as a sample of the format.
double Mixed(const Format& f, double s, double d, double w_in, double w_out, int64_t& clipped) {
  if (f.floats) return static_cast<double>(static_cast<float>(s * w_in + d * w_out));
  const double scale = f.bits == 16 ? 256.0 : 1.0;
  const double m = (s * scale) * w_in + (d * scale) * w_out;
  return Clamp(static_cast<int64_t>(m / scale), f.bits, &clipped);
}

Bytes DataOf(const Bytes& file) {
  for (const FileChunk& chunk : WalkChunks(file)) {
    if (chunk.tag == "data") {
      const auto start = static_cast<long>(chunk.offset + 8);
      return Bytes(file.begin() + start, file.begin() + start + static_cast<long>(chunk.size));
    }
  }
  return {};
}

// A voice laid over a bed, ducking it by 12 dB along the voice's fades, in
// every format, against the formula; the same entry over silence is the
// entry alone, and a signal mixed with its inverse at 0 dB is silence.
TEST_F(Programme, MixesAgainstTheFormula) {
  for (const Format& f : kFormats) {
    const int channels = f.channels;
    const auto bed = Tone(f, 800, 7.0, 0.6);
    const auto voice = Tone(f, 500, 3.0, 0.7);
    WriteFile(dir / "bed.wav", Wav(f, bed));
    WriteFile(dir / "voice.wav", Wav(f, voice));
    // 100 frames of the voice from frame 50, fading in over 4 ms (32 frames)
    // and out over 10 ms (80 frames), at -2 dB, over the bed from frame 300.
    Task(
        "using_samples\nsrc\tbed.wav\nsrc\tvoice.wav\nins\t300\nxin\t50\nxout\t350\nmix\t-12\nfin\t4\nfout\t10\n"
        "lvl\t-2\ndest\tout.wav\n");
    const auto r = Run();
    ASSERT_EQ(r.status, 0) << r.output;
    int64_t clipped = 0;
    std::vector<double> want = bed;
    const double g = std::pow(10.0, -2.0 / 20.0);
    const double v = std::pow(10.0, -12.0 / 20.0);
    for (int i = 0; i < 300; ++i) {
      const double e = Envelope(i, 300, 32, 80);
      for (int c = 0; c < channels; ++c) {
        const size_t at = static_cast<size_t>((300 + i) * channels + c);
        if (at >= want.size()) want.resize(at + 1, 0.0);
        const double under = at < bed.size() ? bed[at] : 0.0;
        want[at] =
            Mixed(f, voice[static_cast<size_t>((50 + i) * channels + c)], under, e * g, 1.0 + (v - 1.0) * e, clipped);
      }
    }
    EXPECT_EQ(DataOf(ReadFile(dir / "out.wav")), Pack(f, want)) << f.bits << " bits, " << channels << " channels";
    EXPECT_NE(r.output.find("\tLevel -2.000 dB\n\tMix under -12.000 dB\n\tFade in 32 samples\n\tFade out 80 samples\n"
                            "\tDone\n"),
              std::string::npos)
        << r.output;

    // Over silence a mixed entry is the entry alone.
    Task("using_samples\nsrc\tvoice.wav\nlvl\t-3\nsrc\tvoice.wav\nins\t1000\nmix\t-40\nlvl\t-3\ndest\tout.wav\n");
    ASSERT_EQ(Run().status, 0);
    const Bytes over = DataOf(ReadFile(dir / "out.wav"));
    const size_t half = over.size() - static_cast<size_t>(500 * channels * f.bits / 8);
    EXPECT_EQ(Bytes(over.begin() + static_cast<long>(half), over.end()),
              Bytes(over.begin(), over.begin() + 500 * channels * f.bits / 8));

    // A signal and its inverse at 0 dB cancel.
    std::vector<double> inverse;
    for (const double s : voice) inverse.push_back(-s);
    WriteFile(dir / "inverse.wav", Wav(f, inverse));
    Task("src\tvoice.wav\nsrc\tinverse.wav\nins\t0\nmix\t0\ndest\tout.wav\n");
    ASSERT_EQ(Run().status, 0);
    EXPECT_EQ(DataOf(ReadFile(dir / "out.wav")), Pack(f, std::vector<double>(voice.size(), 0.0)));
  }
}

// Loud material laid over loud material clips at full scale, and the
// summary counts it.
TEST_F(Programme, OversOfAMixClipAndAreCounted) {
  const Format f{16, false, 1};
  const auto loud = Tone(f, 400, 5.0, 0.9);
  WriteFile(dir / "a.wav", Wav(f, loud));
  Task("using_samples\nsrc\ta.wav\nsrc\ta.wav\nins\t0\nmix\t0\ndest\tout.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  int64_t clipped = 0;
  std::vector<double> want;
  for (const double s : loud) want.push_back(Mixed(f, s, s, 1.0, 1.0, clipped));
  ASSERT_GT(clipped, 100);
  EXPECT_EQ(DataOf(ReadFile(dir / "out.wav")), Pack(f, want));
  EXPECT_NE(r.output.find("\tMix under 0.000 dB\n\tClipped " + std::to_string(clipped) + " samples\n\tDone\n"),
            std::string::npos)
      << r.output;
}

// Fades on a plain entry: silence at the first frame, the product of both
// where they overlap, widths past the entry cut at its length, none for NaN
// or 0 or less, the whole entry for infinity, always milliseconds; and a
// fade-in gives way to a crossfade, which brings the entry in.
TEST_F(Programme, FadesAndTheirWidths) {
  const Format f{24, false, 1};
  const auto tone = Tone(f, 1000, 4.0, 0.5);
  WriteFile(dir / "a.wav", Wav(f, tone));
  struct Case {
    const char* fades;
    int fade_in;
    int fade_out;
    const char* lines;
  };
  const Case cases[] = {
      {"fin\t10\n", 80, 0, "\tFade in 80 samples\n"},
      {"fin\t60\nfout\t70\n", 480, 560, "\tFade in 480 samples\n\tFade out 560 samples\n"},
      {"fout\t1e9\n", 0, 600, "\tFade out 600 samples\n"},
      {"fin\tinf\nfout\tnan\n", 600, 0, "\tFade in 600 samples\n"},
      {"fin\t0.1\nfout\t-5\n", 0, 0, ""},  // 0.8 frames: nothing
  };
  for (const Case& c : cases) {
    Task(std::string("using_samples\nsrc\ta.wav\nxin\t100\nxout\t700\n") + c.fades + "dest\tout.wav\n");
    const auto r = Run();
    ASSERT_EQ(r.status, 0) << r.output;
    int64_t clipped = 0;
    std::vector<double> want;
    for (int i = 0; i < 600; ++i) {
      want.push_back(
          Mixed(f, tone[static_cast<size_t>(100 + i)], 0.0, Envelope(i, 600, c.fade_in, c.fade_out), 0.0, clipped));
    }
    EXPECT_EQ(DataOf(ReadFile(dir / "out.wav")), Pack(f, want)) << c.fades;
    EXPECT_NE(r.output.find("\tLevel 0.000 dB\n" + std::string(c.lines) + "\tDone\n"), std::string::npos) << r.output;
  }
  // With a crossfade the fade-in is ignored (the fade-out stays).
  Task("using_samples\nsrc\ta.wav\nxout\t500\nsrc\ta.wav\nxin\t500\nxf\t2\t2\nfin\t20\nfout\t2\ndest\tout.wav\n");
  const auto r = Run();
  EXPECT_NE(r.output.find("\tLevel 0.000 dB\n\tFade out 16 samples\n\tDone\n"), std::string::npos) << r.output;
}

// The outgoing take carried on under a crossfade keeps its envelope and its
// level: silent before a take that fades in, where the window reaches before
// it, and past one that fades out. A crossfade the plan knows will not be
// made (too little source before the copy start, not laid over its splice,
// too wide to render) leaves the fade-in in force, and the check agrees.
// Both against the crossfade reference and the fade formula.
TEST_F(Programme, CrossfadesKeepTheOutgoingEnvelopeAndUnmadeOnesTheFadeIn) {
  const Format f{16, false, 1};
  std::vector<int32_t> a;
  std::vector<int32_t> b;
  for (const double v : Tone(f, 400, 5.0, 0.6)) a.push_back(static_cast<int32_t>(v));
  for (const double v : Tone(f, 300, 3.0, 0.5)) b.push_back(static_cast<int32_t>(v));
  Source("a.wav", 8000, 16, 1, a);
  Source("b.wav", 8000, 16, 1, b);
  // Ten frames of a at 100, fading over 8 frames; b appended at 110 with a
  // window of 40 frames (90 to 130) that no other entry covers.
  for (const bool fade_in : {false, true}) {
    for (const bool fade_out : {false, true}) {
      for (const double level : {0.0, -3.0}) {
        Task("using_samples\nsrc\ta.wav\nins\t100\nxin\t50\nxout\t60\nlvl\t" + std::to_string(level) + "\n" +
             (fade_in ? "fin\t1\n" : "") + (fade_out ? "fout\t1\n" : "") +
             "src\tb.wav\nxin\t100\nxf\t5\t2\ndest\tout.wav\n");
        const auto r = Run();
        ASSERT_EQ(r.status, 0) << r.output;
        int64_t clipped = 0;
        std::vector<int32_t> outgoing(130, 0);
        for (int i = 0; i < 10; ++i) {
          const double e = Envelope(i, 10, fade_in ? 8 : 0, fade_out ? 8 : 0);
          outgoing[static_cast<size_t>(100 + i)] = static_cast<int32_t>(
              Mixed(f, a[static_cast<size_t>(50 + i)], 0.0, e * std::pow(10.0, level / 20), 0.0, clipped));
        }
        for (int frame = 90; frame < 130; ++frame) {
          if (frame >= 100 && frame < 110) continue;
          const bool silent = (frame < 100 && fade_in) || (frame >= 110 && fade_out);
          outgoing[static_cast<size_t>(frame)] = silent ? 0 : Leveled(a[static_cast<size_t>(frame - 50)], level, 16);
        }
        std::vector<int32_t> want(310, 0);
        Overlay(want, 1, 100, Frames(outgoing, 1, 100, 10));
        Overlay(want, 1, 110, Frames(b, 1, 100, 200));
        Overlay(want, 1, 90,
                ReferenceCrossfade(outgoing, b,
                                   {.insert = 110, .read_start = 100, .width = 40, .curve = 2, .channels = 1}));
        EXPECT_EQ(Samples("out.wav", 8000, 16, 1), want) << "fin " << fade_in << ", fout " << fade_out << ", " << level;
      }
    }
  }

  struct Unmade {
    const char* task;
    int insert;
    int start;
    const char* messages;
    const char* why;
  };
  const Unmade cases[] = {
      {"src\ta.wav\nxout\t100\nsrc\tb.wav\nxf\t10\t1\n", 100, 0,
       "Invalid crossfade for source file\nCould not generate crossfade\n", "the source lacks 40 samples"},
      {"src\tb.wav\nins\t40\nxin\t40\nxf\t10\t1\n", 40, 40, "", "it would start at the destination's first frame"},
      {"src\ta.wav\nxout\t100\nsrc\tb.wav\nxf\t1e9\t1\n", 100, 0, "Could not generate crossfade\n",
       "the width is too large"},
  };
  for (const Unmade& c : cases) {
    Task(std::string("using_samples\n") + c.task + "fin\t5\ndest\tout.wav\n");
    const auto r = Run();
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("\tLevel 0.000 dB\n\tFade in 40 samples\n" + std::string(c.messages) + "\tDone\n"),
              std::string::npos)
        << r.output;
    const auto samples = Samples("out.wav", 8000, 16, 1);
    const int length = 300 - c.start;
    ASSERT_EQ(samples.size(), static_cast<size_t>(c.insert + length)) << c.task;
    int64_t clipped = 0;
    for (int i = 0; i < length; ++i) {
      const double want = Mixed(f, b[static_cast<size_t>(c.start + i)], 0.0, Envelope(i, length, 40, 0), 0.0, clipped);
      ASSERT_EQ(samples[static_cast<size_t>(c.insert + i)], want) << c.task << " frame " << i;
    }
    const auto check = Run({"--check"});
    EXPECT_NE(check.output.find("\tFade in 40 samples\n"), std::string::npos) << check.output;
    EXPECT_NE(check.output.find(std::string("not made: ") + c.why), std::string::npos) << check.output;
    EXPECT_EQ(check.output.find("fade-in"), std::string::npos) << check.output;
  }
}

// The podcast of the README, as written there, does what its text says: the
// bed fades in, ducks 12 dB under the intro and has faded out when the
// interview starts; both crossfades are made; every marker is there; --check
// finds nothing to warn about.
TEST_F(Programme, TheReadmePodcastDoesWhatItSays) {
  std::istringstream readme(ReadText(std::filesystem::path(WAVSPLICE_SOURCE_DIR) / "README.md"));
  std::string task;
  bool in_example = false;
  for (std::string line; std::getline(readme, line);) {
    if (line.starts_with("A podcast:")) in_example = true;
    if (!in_example) continue;
    if (line.starts_with("    ")) {
      task += line.substr(4) + "\n";
    } else if (!task.empty()) {
      break;
    }
  }
  ASSERT_NE(task.find("dest\tepisode.wav\n"), std::string::npos) << task;
  const Format f{16, false, 1};
  const auto tone = [&](const std::string& name, int seconds, double period, double amplitude) {
    std::vector<int32_t> samples;
    for (const double v : Tone(f, seconds * 8000, period, amplitude)) samples.push_back(static_cast<int32_t>(v));
    Source(name, 8000, 16, 1, samples);
    return samples;
  };
  const auto bed = tone("bed.wav", 20, 9.0, 0.5);
  const auto intro = tone("intro.wav", 10, 4.0, 0.4);
  const auto interview = tone("interview.wav", 660, 6.0, 0.4);
  tone("outro.wav", 6, 5.0, 0.4);
  Task(task);

  const auto check = Run({"--check"});
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_TRUE(check.output.ends_with("\nNo warnings\n")) << check.output;
  EXPECT_EQ(check.output.find("not made"), std::string::npos) << check.output;

  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.errors, "");
  EXPECT_EQ(r.output.find("crossfade"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\tMix under -12.000 dB\n\tFade in 0.200 sec\n\tFade out 0.200 sec\n\tMarker Intro\n"),
            std::string::npos)
      << r.output;
  const auto out = UnpackSamples(16, DataOf(ReadFile(dir / "episode.wav")));
  ASSERT_GT(out.size(), 4149600u);
  EXPECT_EQ(out[0], 0);  // the bed fades in
  EXPECT_EQ(Frames(out, 1, 8000, 8000), Frames(bed, 1, 8000, 8000));
  // Under the intro (past its fades, before the bed's) the bed is 12 dB down.
  int64_t clipped = 0;
  const double duck = std::pow(10.0, -12.0 / 20);
  for (int i = 17600; i < 94400; ++i) {
    const double want =
        Mixed(f, intro[static_cast<size_t>(i - 16000)], bed[static_cast<size_t>(i)], 1.0, duck, clipped);
    ASSERT_EQ(out[static_cast<size_t>(i)], want) << "frame " << i;
  }
  // The bed has faded out when the interview takes over at 18 s.
  EXPECT_LE(std::abs(out[143999]), 2);
  EXPECT_EQ(Frames(out, 1, 144000, 8000), Frames(interview, 1, 500000, 8000));
  EXPECT_LE(std::abs(out.back()), 2);  // the outro fades out
  const auto cues = CuePointsOf(ReadFile(dir / "episode.wav"));
  ASSERT_EQ(cues.size(), 3u);
  const std::pair<uint32_t, std::string> markers[] = {{16000, "Intro"}, {144000, "Interview"}, {4149600, "Outro"}};
  for (size_t i = 0; i < cues.size(); ++i) {
    EXPECT_EQ(cues[i].sample_offset, markers[i].first);
    EXPECT_EQ(cues[i].label, markers[i].second);
  }
}

// Markers: cue points at their entries' insert frames in order of frame
// (ties in task-file order), labels in LIST/adtl, after the data chunk and its
// pad byte; the header's sizes count them, and other readers find them.
TEST_F(Programme, MarkersAfterTheSamples) {
  Source("ch1.wav", 8000, 16, 1, Ramp(801, 1, 16));
  Source("ch2.wav", 8000, 16, 1, Ramp(400, 1, 16, 5));
  Task(
      "using_samples\nsrc\tch1.wav\nmark\tOpening credits\nmark\tChapter 1\nsrc\tch2.wav\nmark\tChapter 2\n"
      "src\tch2.wav\nins\t100\nxout\t1\nmark\tA note\ndest\tbook.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("\tLevel 0.000 dB\n\tMarker Opening credits\n\tMarker Chapter 1\n\tDone\n"),
            std::string::npos);
  const Bytes file = ReadFile(dir / "book.wav");
  const auto cues = CuePointsOf(file);
  ASSERT_EQ(cues.size(), 4u);
  const std::pair<uint32_t, std::string> want[] = {
      {0, "Opening credits"}, {0, "Chapter 1"}, {100, "A note"}, {801, "Chapter 2"}};
  for (size_t i = 0; i < cues.size(); ++i) {
    EXPECT_EQ(cues[i].id, i + 1);
    EXPECT_EQ(cues[i].position, want[i].first);
    EXPECT_EQ(cues[i].sample_offset, want[i].first);
    EXPECT_EQ(cues[i].label, want[i].second);
  }
  // The 44-byte header stays; 1201 frames of 2 bytes: a pad byte, then the
  // chunks, all counted in the RIFF size.
  const auto chunks = WalkChunks(file);
  ASSERT_EQ(chunks.size(), 4u);
  EXPECT_EQ(chunks[1].tag, "data");
  EXPECT_EQ(chunks[1].offset, 36u);
  EXPECT_EQ(chunks[1].size, 2402u);
  EXPECT_EQ(chunks[2].offset, 44u + 2402);
  EXPECT_EQ(chunks[3].offset + 8 + chunks[3].size + (chunks[3].size & 1), file.size());
  EXPECT_EQ(uint32_t{file[4]} | uint32_t{file[5]} << 8 | uint32_t{file[6]} << 16, file.size() - 8);
  // Other programs' readers find them: libsndfile's and ffmpeg's.
  if (!HaveCommand("sndfile-info")) GTEST_SKIP() << "sndfile-info not installed: the read-back is skipped";
  const auto info = RunCommand(dir.path, {"sndfile-info", "book.wav"}).output;
  EXPECT_NE(info.find("Count : 4"), std::string::npos) << info;
  EXPECT_NE(info.find("labl : 4 : Chapter 2"), std::string::npos) << info;
  EXPECT_NE(info.find("Frames      : 1201"), std::string::npos) << info;
  if (!HaveCommand("ffprobe")) GTEST_SKIP() << "ffprobe not installed: its read-back is skipped";
  const auto chapters = RunCommand(dir.path, {"ffprobe", "-v", "error", "-show_chapters", "book.wav"}).output;
  EXPECT_NE(chapters.find("start=801\nstart_time=0.100125\nend=1201\nend_time=0.150125\nTAG:title=Chapter 2"),
            std::string::npos)
      << chapters;
}

}  // namespace
