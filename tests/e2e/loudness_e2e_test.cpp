// Loudness of whole programmes: what --loudness reports against ffmpeg's
// ebur128 filter (an independent meter), and "loud", "peak" and "lufs"
// measured back by it; the gain pass against a plain reference of a level
// change; the bext's loudness fields by the tests' own chunk reader; and a
// check that builds and measures the programme without a trace in any folder.
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <tuple>

#include "e2e/e2e.hpp"
#include "support/chunks.hpp"
#include "support/reference.hpp"

namespace {

using nlohmann::json;

// What ffmpeg's ebur128 filter measures, to the precision of its metadata
// (the summary it prints rounds to one decimal).
struct Oracle {
  double integrated = 0.0;  // LUFS
  double range = 0.0;       // LU
  double true_peak = 0.0;   // dBTP
};

// ffmpeg's measurement of frames [from, to) of a file (to 0: its end).
std::optional<Oracle> Ffmpeg(const std::filesystem::path& dir, const std::string& name, int64_t from = 0,
                             int64_t to = 0) {
  std::string filter = "ebur128=peak=true:metadata=1,ametadata=mode=print:file=-";
  if (from != 0 || to != 0) {
    filter = "atrim=start_sample=" + std::to_string(from) + (to != 0 ? ":end_sample=" + std::to_string(to) : "") + "," +
             filter;
  }
  const ProgramResult r =
      RunCommand(dir, {"ffmpeg", "-nostdin", "-v", "error", "-i", name, "-af", filter, "-f", "null", "-"});
  EXPECT_EQ(r.status, 0) << r.errors;
  std::map<std::string, double> last;
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    if (line.rfind("lavfi.r128.", 0) == 0 && equals != std::string::npos) {
      last[line.substr(11, equals - 11)] = std::strtod(line.c_str() + equals + 1, nullptr);
    }
  }
  if (!last.count("I") || !last.count("true_peak")) return std::nullopt;
  return Oracle{last["I"], last["LRA"], 20.0 * std::log10(last["true_peak"])};
}

json Document(const ProgramResult& r) {
  try {
    return json::parse(r.output);
  } catch (const json::exception& e) {
    ADD_FAILURE() << e.what() << ": " << r.output;
    return json::object();
  }
}

// A recording of random pieces (silence, tones, bursts of low-passed noise),
// each channel at its own level; with `lfe`, its fourth channel carries a
// loud low tone throughout, which must count for nothing.
std::vector<double> Recording(std::mt19937& random, int channels, uint32_t rate, double seconds, bool lfe) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto total = static_cast<size_t>(seconds * rate);
  const auto n = static_cast<size_t>(channels);
  std::vector<double> out(total * n, 0.0);
  uint32_t state = 34;  // the noise's own generator: cheap, and the same every time
  for (size_t at = 0; at < total;) {
    const size_t length = std::min(total - at, static_cast<size_t>((0.5 + 4.0 * unit(random)) * rate));
    const int kind = static_cast<int>(unit(random) * 4);  // silence, tone, noise, noise
    const double level = -40.0 + 36.0 * unit(random);
    const double frequency = lfe ? 45.0 : 50.0 * std::pow(60.0, unit(random));
    for (size_t c = 0; c < n; ++c) {
      const bool low_tone = lfe && c == 3;
      const double gain = low_tone ? 0.6 : std::pow(10.0, (level - 10.0 * unit(random)) / 20.0);
      // A tone as a turning phasor; noise through two low-pass stages, so
      // that, as in a programme, its loudness lies well below the Nyquist
      // frequency.
      const double step = 2 * M_PI * (low_tone ? 45.0 : frequency) / rate;
      double re = std::cos(static_cast<double>(c)), im = std::sin(static_cast<double>(c));
      double low = 0.0, lower = 0.0;
      for (size_t i = 0; i < length; ++i) {
        double v = 0.0;
        if (low_tone || kind == 1) {
          v = gain * im;
          const double turned = re * std::cos(step) - im * std::sin(step);
          im = re * std::sin(step) + im * std::cos(step);
          re = turned;
        } else if (kind >= 2) {
          state ^= state << 13;
          state ^= state >> 17;
          state ^= state << 5;
          low += 0.25 * (state / 2147483648.0 - 1.0 - low);
          lower += 0.25 * (low - lower);
          v = std::clamp(gain * 5.0 * lower, -0.95, 0.95);
        }
        out[(at + i) * n + c] = v;
      }
    }
    at += length;
  }
  return out;
}

// The samples in a WAV file's bytes: integers of `bits` or floats, with a
// classic format chunk, or an extensible one with this channel mask.
Bytes Wav(const std::vector<double>& samples, uint32_t rate, int bits, bool floats, int channels,
          std::optional<uint32_t> mask = std::nullopt) {
  const std::vector<float> floated(samples.begin(), samples.end());
  std::vector<int32_t> integers;
  const double scale = std::ldexp(1.0, bits - 1);
  for (const double s : samples)
    integers.push_back(static_cast<int32_t>(std::clamp(std::round(s * scale), -scale, scale - 1)));
  if (!mask) return floats ? CanonicalFloatWav(rate, channels, floated) : CanonicalWav(rate, bits, channels, integers);
  const Bytes data = floats ? PackFloats(floated) : PackSamples(bits, integers);
  Bytes format;
  const uint32_t code = floats ? 3 : 1;
  for (const uint32_t v : {0xFFFEU, static_cast<uint32_t>(channels)}) Append16(format, v);
  Append32(format, rate);
  Append32(format, rate * static_cast<uint32_t>(bits / 8 * channels));
  for (const int v : {bits / 8 * channels, bits, 22, bits}) Append16(format, static_cast<uint32_t>(v));
  Append32(format, *mask);
  Append16(format, code);
  for (const unsigned char b : {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}) format.push_back(b);
  return Riff({Chunk("fmt ", format), Chunk("data", data)});
}

class ProgrammeLoudness : public EndToEnd {
 protected:
  void SetUp() override {
    if (!HaveCommand("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed: its ebur128 filter is the oracle";
  }
  // Sources of random programme material in one format.
  void Sources(int channels, uint32_t rate, int bits, bool floats, std::optional<uint32_t> mask = std::nullopt,
               unsigned seed = 34, double seconds = 25.0) {
    std::mt19937 random(seed);
    const bool lfe = channels == 6;
    for (const auto& [name, length] :
         {std::pair{"talk.wav", seconds}, {"more.wav", seconds}, {"bed.wav", 0.6 * seconds}}) {
      WriteFile(dir / name, Wav(Recording(random, channels, rate, length, lfe), rate, bits, floats, channels, mask));
    }
  }
  // A programme of them: two takes joined by a crossfade, a bed laid under
  // the first with fades, and what is given.
  static std::string Programme(const std::string& more) {
    return "src\ttalk.wav\nsrc\tmore.wav\nxin\t0.5\nxf\t300\t1\nsrc\tbed.wav\nins\t10\nmix\t-12\nfin\t2000\nfout\t"
           "2000\n" +
           more + "dest\tout.wav\n";
  }
};

// --loudness reports what ffmpeg measures, in mono, stereo, 5.1 and quad
// (by the destination's own channel mask), in every sample format; the text
// report says the values of the document.
TEST_F(ProgrammeLoudness, ReportedAsFfmpegMeasuresIt) {
  struct Case {
    int channels;
    int bits;
    bool floats;
    std::optional<uint32_t> mask;
  };
  const Case cases[] = {{1, 16, false, {}}, {2, 24, false, {}}, {2, 32, false, {}},
                        {2, 32, true, {}},  {6, 24, false, {}}, {4, 32, true, 0x33}};
  // ffmpeg's filter measures at 48 kHz (it resamples other rates), where the
  // weighting is defined: the meter's weighting made for a lower rate reads
  // a few hundredths of a LU apart from it.
  const uint32_t rate = 48000;
  for (const Case& c : cases) {
    const std::string where =
        std::to_string(c.channels) + " channels, " + std::to_string(c.bits) + (c.floats ? " float" : " bits");
    Sources(c.channels, rate, c.bits, c.floats, c.mask, 34, 20.0);
    Task(Programme(c.mask ? "meta\t1\n" : ""));
    const ProgramResult r = Run({"--json", "--loudness"});
    ASSERT_EQ(r.status, 0) << where << ": " << r.output;
    const json measured = Document(r)["destination"]["loudness"];
    const std::optional<Oracle> want = Ffmpeg(dir.path, "out.wav");
    ASSERT_TRUE(want) << where;
    EXPECT_NEAR(measured["integrated_lufs"].get<double>(), want->integrated, 0.1) << where;
    EXPECT_NEAR(measured["range_lu"].get<double>(), want->range, 0.5) << where;
    EXPECT_NEAR(measured["true_peak_dbtp"].get<double>(), want->true_peak, 0.2) << where;
    for (const auto& [key, value] : measured["as_built"].items()) EXPECT_EQ(measured[key], value) << where << key;
    EXPECT_EQ(measured["gain_db"], 0.0) << where;
  }
}

// "loud", "peak" and "lufs" as ffmpeg measures their results: the target
// met, the ceiling holding the gain back (said, and refused with --strict),
// an integer ceiling taken as 0, a ceiling alone that lowers and otherwise
// leaves every byte alone. The gain scales every sample exactly as a level
// change does.
TEST_F(ProgrammeLoudness, TargetsAsFfmpegMeasuresThem) {
  struct Case {
    const char* name;
    int bits;
    bool floats;
    std::string more;                // the task's lines
    std::optional<double> loudness;  // what ffmpeg must measure (LUFS); nothing: as built plus the gain
    double true_peak_at_most;        // dBTP, ffmpeg's reading within 0.2 dB
    bool held;
  };
  const Case cases[] = {
      {"podcast", 24, false, "loud\t-16\n", -16.0, -1.0, false},
      {"broadcast", 32, true, "loud\t-23\n", -23.0, -1.0, false},
      {"held by the ceiling", 24, false, "loud\t-6\npeak\t-3\n", {}, -3.0, true},
      {"integer ceiling over 0", 16, false, "loud\t-10\npeak\t1.5\n", {}, 0.0, true},
      {"float ceiling over 0", 32, true, "loud\t-10.5\npeak\t1.5\n", -10.5, 1.5, false},
      {"ceiling alone", 24, false, "peak\t-6\n", {}, -6.0, false},
  };
  for (const Case& c : cases) {
    Sources(2, 48000, c.bits, c.floats, std::nullopt, 7, 12.0);
    Task(Programme(""));
    ASSERT_EQ(Run().status, 0) << c.name;
    const Bytes plain = ReadFile(dir / "out.wav");
    Task(Programme(c.more));
    const ProgramResult r = Run({"--json"});
    ASSERT_EQ(r.status, 0) << c.name << ": " << r.output;
    const json doc = Document(r);
    const json& measured = doc["destination"]["loudness"];
    const double gain = measured["gain_db"].get<double>();
    const std::optional<Oracle> got = Ffmpeg(dir.path, "out.wav");
    ASSERT_TRUE(got) << c.name;
    const double built = measured["as_built"]["integrated_lufs"].get<double>();
    EXPECT_NEAR(got->integrated, c.loudness.value_or(built + gain), 0.1) << c.name;
    EXPECT_NEAR(measured["integrated_lufs"].get<double>(), got->integrated, 0.1) << c.name;
    EXPECT_LE(measured["true_peak_dbtp"].get<double>(), c.true_peak_at_most + 1e-6) << c.name;
    EXPECT_LE(got->true_peak, c.true_peak_at_most + 0.2) << c.name;
    if (c.held || !c.loudness) {
      EXPECT_NEAR(got->true_peak, c.true_peak_at_most, 0.2) << c.name;
    }
    EXPECT_EQ(measured["target_met"], c.more.starts_with("loud") ? json(!c.held) : json(nullptr)) << c.name;
    EXPECT_EQ(measured["short_lu"].get<double>() > 0.05, c.held) << c.name;
    const bool lowered = c.bits != 32 && c.more.find("peak\t1.5") != std::string::npos;
    EXPECT_EQ(doc["warnings"].size(), (c.held ? 1U : 0U) + (lowered ? 1U : 0U)) << c.name << doc["warnings"];
    if (lowered) {
      EXPECT_EQ(measured["ceiling_dbtp"], 0.0) << c.name;
    }

    // Every sample is the plain programme's, scaled as "lvl" scales.
    int64_t clipped = 0;
    const Bytes loud = ReadFile(dir / "out.wav");
    ASSERT_EQ(loud.size(), plain.size()) << c.name;
    if (c.floats) {
      const std::vector<float> before = UnpackFloats(std::span(plain).subspan(44));
      std::vector<float> want;
      for (const float v : before) want.push_back(Leveled(v, gain));
      EXPECT_EQ(FloatBits(UnpackFloats(std::span(loud).subspan(44))), FloatBits(want)) << c.name;
    } else {
      const std::vector<int32_t> before = UnpackSamples(c.bits, std::span(plain).subspan(44));
      std::vector<int32_t> want;
      for (const int32_t v : before) want.push_back(Leveled(v, gain, c.bits, &clipped));
      EXPECT_EQ(UnpackSamples(c.bits, std::span(loud).subspan(44)), want) << c.name;
    }
    EXPECT_EQ(measured["clipped"].get<int64_t>(), clipped) << c.name;

    // In text, the gain held is said and warned of; --strict keeps the old
    // destination.
    if (!c.held) continue;
    const ProgramResult text = Run();
    EXPECT_NE(text.output.find(", held by the ceiling: "), std::string::npos) << text.output;
    EXPECT_NE(text.errors.find("LUFS is not met: the true-peak ceiling of"), std::string::npos) << text.errors;
    WriteText(dir / "out.wav", "old");
    EXPECT_EQ(Run({"--strict"}).status, 3) << c.name;
    EXPECT_EQ(ReadText(dir / "out.wav"), "old") << c.name;
  }

  // A ceiling alone over a quiet programme: no gain, not a byte changed.
  Sources(2, 48000, 24, false, std::nullopt, 7, 12.0);
  Task(Programme(""));
  ASSERT_EQ(Run().status, 0);
  const Bytes plain = ReadFile(dir / "out.wav");
  Task(Programme("peak\t6\n"));
  const ProgramResult quiet = Run();
  ASSERT_EQ(quiet.status, 0);
  EXPECT_NE(quiet.output.find("\tNo gain for peak 0.0 dBTP: the true peak lies at or under the ceiling\n"),
            std::string::npos)
      << quiet.output;
  EXPECT_EQ(ReadFile(dir / "out.wav"), plain);
}

// "lufs" brings each entry's copy to its loudness, as ffmpeg measures the
// part of the destination it lands in; a "lvl" beside it is ignored (a check
// says so); copies too short, silent, or needing 24 dB or more keep their
// level, and a run says so on standard error.
TEST_F(ProgrammeLoudness, EntriesBroughtToTheirLoudness) {
  std::mt19937 random(3);
  const auto recording = [&](double seconds, double gain) {
    std::vector<double> samples = Recording(random, 2, 48000, seconds, false);
    for (double& v : samples) v *= gain;
    return Wav(samples, 48000, 24, false, 2);
  };
  WriteFile(dir / "loud.wav", recording(20, 1.0));
  WriteFile(dir / "soft.wav", recording(20, 0.05));
  WriteFile(dir / "blip.wav", recording(0.3, 1.0));
  WriteFile(dir / "silence.wav", CanonicalWav(48000, 24, 2, std::vector<int32_t>(48000 * 2 * 2, 0)));
  WriteFile(dir / "hiss.wav", recording(5, 0.005));
  Task(
      "src\tloud.wav\nlufs\t-20\nsrc\tsoft.wav\nlvl\t5\nlufs\t-26\nsrc\tblip.wav\nlufs\t-20\nlvl\t-3\n"
      "src\tsilence.wav\nlufs\t-20\nsrc\thiss.wav\nlufs\t-20\ndest\tout.wav\n");
  const ProgramResult r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  const int64_t second = 48000 * 20;
  for (const auto& [from, to, want] : {std::tuple{int64_t{0}, second, -20.0}, {second, 2 * second, -26.0}}) {
    const std::optional<Oracle> got = Ffmpeg(dir.path, "out.wav", from, to);
    ASSERT_TRUE(got);
    EXPECT_NEAR(got->integrated, want, 0.1) << from;
  }
  EXPECT_NE(r.output.find("\tLevel for -26.0 LUFS: its copy measures "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\tLevel -3.000 dB\n\tLevel kept, not for -20.0 LUFS: its copy is under 400 ms, too short to "
                          "measure\n"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.errors,
            "wavsplice: line 7: task 3 keeps its level of -3.000 dB, not one for -20.0 LUFS: its copy is under 400 ms, "
            "too short to measure\n"
            "wavsplice: line 10: task 4 keeps its level of 0.000 dB, not one for -20.0 LUFS: its copy measures nothing "
            "above the gates\n"
            "wavsplice: line 12: task 5 keeps its level of 0.000 dB, not one for -20.0 LUFS: its copy measures "
            "-59.5 LUFS and would need +39.475 dB (less than 24 dB is allowed)\n");
  const ProgramResult check = Run({"--check", "--loudness"});
  EXPECT_EQ(check.status, 3);
  EXPECT_NE(check.output.find("line 4: the level of task 2 is ignored: \"lufs\" -26.0 sets it to "), std::string::npos)
      << check.output;
  EXPECT_NE(check.output.find("\tLevel kept, not for -20.0 LUFS: its copy measures nothing above the gates\n\tIts copy "
                              "measured: loudness not measurable, range not measurable, true peak none (digital "
                              "silence)\n"),
            std::string::npos)
      << check.output;
}

// With "meta" and a measured loudness, the destination's bext becomes
// version 2 with what was measured, in hundredths; unmeasured, it stays as it
// was; silence measures nothing.
TEST_F(ProgrammeLoudness, BextCarriesWhatWasMeasured) {
  const auto bext_of = [](const Bytes& file) {
    for (const FileChunk& c : WalkChunks(file)) {
      if (c.tag == "bext") return c.body;
    }
    return Bytes{};
  };
  std::mt19937 random(5);
  const std::vector<double> samples = Recording(random, 2, 48000, 12, false);
  for (const bool silent : {false, true}) {
    Bytes bext(602, 0);
    AppendText(bext, "A=PCM,F=48000,W=24,M=stereo\r\n");
    bext.push_back(0);  // an even size: the chunks that follow keep their places
    const Bytes wav = Wav(samples, 48000, 24, false, 2);
    const Bytes data(wav.begin() + 44, wav.end());
    WriteFile(dir / "master.wav", Riff({FormatChunk(48000, 24, 2), Chunk("bext", bext),
                                        Chunk("data", silent ? Bytes(data.size(), 0) : data)}));
    for (const std::string options : {"", "--loudness", "loud"}) {
      Task(std::string("src\tmaster.wav\nmeta\t1\n") + (options == "loud" ? "loud\t-20\n" : "") + "dest\tout.wav\n");
      const ProgramResult r =
          RunWavsplice(dir.path, options == "--loudness" ? std::vector<std::string>{"--json", options}
                                                         : std::vector<std::string>{"--json"});
      ASSERT_EQ(r.status, 0) << r.output;
      const Bytes written = bext_of(ReadFile(dir / "out.wav"));
      ASSERT_GE(written.size(), 602U);
      const std::string where = options + (silent ? ", silence" : "");
      if (options.empty()) {
        EXPECT_EQ(Get16(written, 346), 0U) << where;
        EXPECT_EQ(Hex(std::span(written).subspan(412, 10)), "00 00 00 00 00 00 00 00 00 00") << where;
        continue;
      }
      EXPECT_EQ(Get16(written, 346), 2U) << where;
      const json m = Document(r)["destination"]["loudness"];
      const char* keys[] = {"integrated_lufs", "range_lu", "true_peak_dbtp", "max_momentary_lufs",
                            "max_short_term_lufs"};
      for (size_t k = 0; k < 5; ++k) {
        const uint32_t want =
            m[keys[k]].is_null()
                ? 0x7FFFU
                : static_cast<uint16_t>(static_cast<int16_t>(std::lround(m[keys[k]].get<double>() * 100)));
        EXPECT_EQ(Get16(written, 412 + 2 * k), want) << where << " " << keys[k];
        EXPECT_EQ(m[keys[k]].is_null(), silent) << where << " " << keys[k];
      }
      if (options == "loud") {
        EXPECT_EQ(Document(r)["warnings"].size(), silent ? 1U : 0U) << where;
      }
    }
  }
}

// A check with "loud" builds and measures the programme as a run does, the
// numbers to the bit, and leaves every folder as it was: the programme and
// its crossfade's work file never have names (a work file left by a killed
// run stays untouched). Where no file without a name can be made, it says
// it cannot measure.
TEST_F(ProgrammeLoudness, CheckMeasuresWithoutATrace) {
  Sources(2, 48000, 24, false);
  Task(Programme("loud\tinf\nloud\t-18\npeak\t-2\npeak\t-1.5\n"));
  WriteText(dir / "xfade_temp.wav", "left by a killed run");
  const auto before = Snapshot(dir.path);
  const ProgramResult check = Run({"--check", "--json"});
  EXPECT_EQ(check.status, 3);
  EXPECT_EQ(Snapshot(dir.path), before);
  const json checked = Document(check);
  std::vector<std::string> warnings;
  for (const json& w : checked["warnings"])
    warnings.push_back(std::to_string(w["line"].get<int>()) + ": " + w["text"].get<std::string>());
  EXPECT_EQ(warnings, (std::vector<std::string>{
                          "4: the crossfade of task 2 fades task 1 out into silence for 0.150 sec past the splice: "
                          "talk.wav has no more after its copy",
                          "10: a value of inf for \"loud\" is not a finite number: it is ignored",
                          "11: \"loud\" is given again (line 10 gave one): the last one counts",
                          "13: \"peak\" is given again (line 12 gave one): the last one counts"}));
  const ProgramResult text = Run({"--check"});
  EXPECT_NE(text.output.find("\tLength 49.500 sec\n\tA new file\n\tLoudness as built "), std::string::npos)
      << text.output;
  EXPECT_NE(text.output.find("LUFS, peak -1.5 dBTP\n\tLoudness -18.0 LUFS\n"), std::string::npos) << text.output;
  EXPECT_EQ(Snapshot(dir.path), before);

  std::filesystem::remove(dir / "xfade_temp.wav");
  const ProgramResult run = Run({"--json"});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(Document(run)["destination"]["loudness"], checked["destination"]["loudness"]);

  std::filesystem::remove(dir / "out.wav");
  const auto left = Snapshot(dir.path);
  const ProgramResult unnamed = Run({"--check"}, RunOptions{.no_unnamed_files = true});
  EXPECT_EQ(unnamed.status, 3);
  EXPECT_NE(unnamed.output.find("line 11: the programme's loudness cannot be measured by a check here"),
            std::string::npos)
      << unnamed.output;
  EXPECT_EQ(Snapshot(dir.path), left);
}

}  // namespace
