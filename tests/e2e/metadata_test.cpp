// Broadcast and archive metadata through an edit ("meta"): bext, iXML, axml,
// LIST/INFO and cue points taken over from a source, with the time reference
// and the markers moved with the audio. Masters made by other programs, read
// back by ffprobe and by the tests' own chunk reader; the samples always the
// same as without "meta".
#include <map>

#include "e2e/e2e.hpp"
#include "support/chunks.hpp"

namespace {

using CarriedMetadata = EndToEnd;

std::vector<std::string> TagsOf(const Bytes& file) {
  std::vector<std::string> tags;
  for (const FileChunk& c : WalkChunks(file)) tags.push_back(c.tag);
  return tags;
}

Bytes BodyOf(const Bytes& file, const std::string& tag) {
  for (const FileChunk& c : WalkChunks(file)) {
    if (c.tag == tag) return c.body;
  }
  return {};
}

Bytes DataOf(const Bytes& file) {
  for (const FileChunk& c : WalkChunks(file)) {
    if (c.tag == "data") {
      return Bytes(file.begin() + static_cast<long>(c.offset + 8),
                   file.begin() + static_cast<long>(std::min<uint64_t>(c.offset + 8 + c.size, file.size())));
    }
  }
  return {};
}

// A chunk with its pad byte.
Bytes Padded(const std::string& tag, const Bytes& body) {
  Bytes chunk = Chunk(tag, body);
  if (body.size() % 2 != 0) chunk.push_back(0);
  return chunk;
}

Bytes TextBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// "RIFF" with its true size, "WAVE" and the chunks.
Bytes Wave(const std::vector<Bytes>& chunks) {
  Bytes out;
  AppendText(out, "RIFF");
  Append32(out, 0);
  AppendText(out, "WAVE");
  for (const Bytes& c : chunks) out.insert(out.end(), c.begin(), c.end());
  const auto size = static_cast<uint32_t>(out.size() - 8);
  for (int i = 0; i < 4; ++i) out[4 + static_cast<size_t>(i)] = static_cast<unsigned char>(size >> (8 * i));
  return out;
}

// What ffprobe reads from a file's tags (bext included).
std::map<std::string, std::string> ProbedTags(const std::filesystem::path& dir, const std::string& name) {
  const ProgramResult r =
      RunCommand(dir, {"ffprobe", "-v", "error", "-show_entries", "format_tags", "-of", "default=nw=1", name});
  EXPECT_EQ(r.status, 0) << r.errors;
  std::map<std::string, std::string> tags;
  for (size_t at = 0; at < r.output.size();) {
    const size_t end = std::min(r.output.find('\n', at), r.output.size());
    const std::string line = r.output.substr(at, end - at);
    const size_t equals = line.find('=');
    if (line.starts_with("TAG:") && equals != std::string::npos)
      tags[line.substr(4, equals - 4)] = line.substr(equals + 1);
    at = end + 1;
  }
  return tags;
}

std::string HistoryLine(uint32_t rate, int bits, int channels) {
  return "A=PCM,F=" + std::to_string(rate) + ",W=" + std::to_string(bits) +
         ",M=" + (channels == 1 ? "mono" : "stereo") + ",T=wavsplice " WAVSPLICE_VERSION "\r\n";
}

// A destination's bext against its source's: the fixed fields up to the time
// reference and the version as they were, the time reference as given, a
// version 2's loudness marked as not measured, one line more of history.
void ExpectEditedBext(const Bytes& source, const Bytes& edited, uint64_t time_reference, const std::string& line,
                      const std::string& what) {
  ASSERT_GE(source.size(), 602u) << what;
  ASSERT_GE(edited.size(), 602u) << what;
  EXPECT_EQ(Hex(std::span(edited).first(338)), Hex(std::span(source).first(338))) << what;
  EXPECT_EQ(Get64(edited, 338), time_reference) << what;
  EXPECT_EQ(Hex(std::span(edited).subspan(346, 66)), Hex(std::span(source).subspan(346, 66))) << what;
  for (size_t field = 0; field < 5; ++field) {
    const uint16_t loudness = Get16(edited, 412 + 2 * field);
    EXPECT_EQ(loudness, Get16(source, 346) >= 2 ? 0x7FFF : Get16(source, 412 + 2 * field)) << what;
  }
  std::string history(source.begin() + 602, source.end());
  history = history.substr(0, history.find('\0'));
  if (!history.empty() && !history.ends_with("\n")) history += "\r\n";
  std::string written(edited.begin() + 602, edited.end());
  if (written.size() % 2 != 0) ADD_FAILURE() << what << ": odd bext";
  EXPECT_EQ(written.substr(0, written.find('\0')), history + line) << what;
}

struct Master {
  std::string name;
  std::string description;
  std::string originator;
  uint64_t time_reference;
  std::vector<std::string> command;  // makes it from base.wav
};

struct Edit {
  std::string name;
  std::string entries;  // the task's entries; MASTER stands for the master's name
  int64_t clock_shift;  // the destination's time reference less the master's
};

TEST_F(CarriedMetadata, BextOfOtherWritersKeepsTheClockThroughTrimPatchAndJoin) {
  for (const char* tool : {"ffmpeg", "ffprobe", "sndfile-metadata-set"}) {
    if (!HaveCommand(tool)) GTEST_SKIP() << tool << " not installed: masters from other writers are skipped";
  }
  WriteFile(dir / "base.wav", CanonicalWav(48000, 24, 2, Ramp(48000, 2, 24, -8000000, 331)));
  WriteFile(dir / "patch.wav", CanonicalWav(48000, 24, 2, Ramp(4800, 2, 24, 7000, -17)));
  const Master masters[] = {
      {"ffmpeg.wav",
       "Interview, take 3",
       "Field recorder",
       172800000,
       {"ffmpeg", "-loglevel", "error", "-i", "base.wav", "-c:a", "pcm_s24le", "-write_bext", "1", "-metadata",
        "description=Interview, take 3", "-metadata", "originator=Field recorder", "-metadata",
        "time_reference=172800000", "-metadata", "coding_history=A=PCM,F=48000,W=24,M=stereo,T=field", "ffmpeg.wav"}},
      {"sndfile.wav",
       "Archive reel 7",
       "Tape desk",
       123456789,
       {"sndfile-metadata-set", "--bext-description", "Archive reel 7", "--bext-originator", "Tape desk",
        "--bext-time-ref", "123456789", "--bext-loudness-value", "-23", "--bext-coding-hist",
        "A=ANALOGUE,M=stereo,T=Studer", "base.wav", "sndfile.wav"}},
  };
  const Edit edits[] = {
      {"trim the head", "src\tMASTER\nxin\t12000\nmeta\t1\n", 12000},
      {"patch the middle", "src\tMASTER\nsrc\tpatch.wav\nins\t20000\nmeta\t1\n", 0},
      // Entry 2 lands at 4800 and reads from 6000.
      {"join two", "src\tpatch.wav\nsrc\tMASTER\nxin\t6000\nmeta\t2\n", 1200},
  };
  for (const Master& m : masters) {
    const ProgramResult made = RunCommand(dir.path, m.command);
    ASSERT_EQ(made.status, 0) << m.name << made.output << made.errors;
    const Bytes master = ReadFile(dir / m.name);
    for (const Edit& e : edits) {
      const std::string what = m.name + ", " + e.name;
      std::string entries = e.entries;
      entries.replace(entries.find("MASTER"), 6, m.name);
      Task("using_samples\n" + entries + "dest\tout.wav\n");
      const ProgramResult r = Run();
      ASSERT_EQ(r.status, 0) << what << r.output;
      EXPECT_TRUE(r.output.ends_with("\tSample rate 48000\n\tMetadata from " + m.name + "\n\n")) << what << r.output;
      const Bytes out = ReadFile(dir / "out.wav");
      const uint64_t reference = m.time_reference + static_cast<uint64_t>(e.clock_shift);

      const auto tags = ProbedTags(dir.path, "out.wav");
      EXPECT_EQ(tags.count("comment") ? tags.at("comment") : "", m.description) << what;
      EXPECT_EQ(tags.count("encoded_by") ? tags.at("encoded_by") : "", m.originator) << what;
      EXPECT_EQ(tags.count("time_reference") ? tags.at("time_reference") : "", std::to_string(reference)) << what;
      ExpectEditedBext(BodyOf(master, "bext"), BodyOf(out, "bext"), reference, HistoryLine(48000, 24, 2), what);

      // The samples are those of the same edit without "meta".
      std::string plain = e.entries.substr(0, e.entries.find("meta"));
      plain.replace(plain.find("MASTER"), 6, m.name);
      Task("using_samples\n" + plain + "dest\tplain.wav\n", "plain.txt");
      ASSERT_EQ(Run({"plain.txt"}).status, 0) << what;
      EXPECT_TRUE(DataOf(out) == DataOf(ReadFile(dir / "plain.wav"))) << what;
    }
  }
}

// An extensible format chunk (two channels, front left and right).
Bytes ExtensibleFormat() {
  Bytes body;
  for (const uint32_t v : {0xFFFEu, 2u}) Append16(body, v);
  Append32(body, 8000);
  Append32(body, 32000);
  for (const uint32_t v : {4u, 16u, 22u, 16u}) Append16(body, v);
  Append32(body, 3);
  for (const unsigned char b : {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}) body.push_back(b);
  return body;
}

ReadCue Cue(uint32_t id, uint32_t frame, const std::string& label, const std::string& note = "", uint32_t length = 0) {
  return ReadCue{.id = id, .position = frame, .sample_offset = frame, .label = label, .note = note, .length = length};
}

Bytes Bext(const std::string& description, uint64_t time_reference, const std::string& history) {
  Bytes body(602, 0);
  std::copy(description.begin(), description.end(), body.begin());
  for (size_t i = 0; i < 8; ++i) body[338 + i] = static_cast<unsigned char>(time_reference >> (8 * i));
  body[346] = 1;
  body.insert(body.end(), history.begin(), history.end());
  return body;
}

TEST_F(CarriedMetadata, ChunksInTheirPlacesAndCuePointsMovedWithTheirAudio) {
  const Bytes format = ExtensibleFormat();
  const Bytes bext = Bext("Reel 12", 8000ull * 3600, "A=ANALOGUE,M=stereo\r\n");
  const Bytes ixml = TextBytes("<BWFXML><PROJECT>Field</PROJECT></BWFXML>");  // an odd size
  const Bytes axml = TextBytes("<ebuCoreMain/>");
  Bytes info = TextBytes("INFO");
  const Bytes name = Padded("INAM", TextBytes(std::string("Reel 12") + '\0'));
  info.insert(info.end(), name.begin(), name.end());
  const Bytes a_samples = PackSamples(16, Ramp(2000, 2, 16, -30000, 29));
  const Bytes a_cues = CueChunksFor({Cue(7, 100, "hundred"), Cue(3, 500, "five hundred"), Cue(9, 900, "nine hundred"),
                                     Cue(4, 1500, "late", "check the level")});
  WriteFile(dir / "a.wav", Wave({Chunk("fmt ", format), Padded("bext", bext), Padded("JUNK", Bytes(27, 0)),
                                 Padded("iXML", ixml), Chunk("axml", axml), Chunk("LIST", info),
                                 Chunk("data", a_samples), Padded("smpl", Bytes(36, 1)), a_cues}));

  const Bytes b_cues = CueChunksFor({Cue(1, 50, "B at fifty")});
  WriteFile(dir / "b.wav",
            Wave({FormatChunk(8000, 16, 2), Chunk("data", PackSamples(16, Ramp(200, 2, 16, 5000, 3))), b_cues}));

  // A's point at 100 lies before its copy; at 900 it lands under entry 2;
  // at 1500 under entry 3, which is laid over it.
  const std::string entries =
      "src\ta.wav\nxin\t200\nxout\t1800\n"
      "src\tb.wav\nins\t650\nxout\t100\n"
      "src\tb.wav\nins\t1250\nxin\t50\nxout\t90\nmix\t0\nmark\tChapter two\n";
  Task("using_samples\nmeta\t1\n" + entries + "dest\tout.wav\n");
  const ProgramResult r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(r.output.ends_with("\tMetadata from a.wav\n\n")) << r.output;
  const Bytes out = ReadFile(dir / "out.wav");

  EXPECT_EQ(TagsOf(out), (std::vector<std::string>{"fmt ", "bext", "iXML", "axml", "LIST", "data", "cue ", "LIST"}));
  EXPECT_EQ(Get64(out, 4) & 0xFFFFFFFFu, out.size() - 8);
  EXPECT_EQ(Hex(BodyOf(out, "fmt ")), Hex(format));
  EXPECT_EQ(Hex(BodyOf(out, "iXML")), Hex(ixml));
  EXPECT_EQ(Hex(BodyOf(out, "axml")), Hex(axml));
  EXPECT_EQ(Hex(WalkChunks(out)[4].body), Hex(info));
  ExpectEditedBext(bext, BodyOf(out, "bext"), 8000ull * 3600 + 200, HistoryLine(8000, 16, 2), "a.wav");

  const std::vector<ReadCue> cues = CuePointsOf(out);
  const std::vector<std::pair<uint32_t, std::string>> expected = {
      {300, "five hundred"}, {700, "B at fifty"}, {1250, "B at fifty"}, {1250, "Chapter two"}, {1300, "late"}};
  ASSERT_EQ(cues.size(), expected.size());
  for (size_t i = 0; i < cues.size(); ++i) {
    EXPECT_EQ(cues[i].id, i + 1);
    EXPECT_EQ(cues[i].sample_offset, expected[i].first) << i;
    EXPECT_EQ(cues[i].position, expected[i].first) << i;
    EXPECT_EQ(cues[i].label, expected[i].second) << i;
    EXPECT_EQ(cues[i].note, i == 4 ? "check the level" : "") << i;
  }

  Task("using_samples\n" + entries + "dest\tplain.wav\n", "plain.txt");
  ASSERT_EQ(Run({"plain.txt"}).status, 0);
  EXPECT_TRUE(DataOf(out) == DataOf(ReadFile(dir / "plain.wav")));
}

TEST_F(CarriedMetadata, MalformedChunksAreLeftOutAndTheSamplesKept) {
  const std::vector<int32_t> samples = Ramp(400, 1, 16, -9000, 41);
  const Bytes data = Chunk("data", PackSamples(16, samples));
  Bytes past_end = Chunk("LIST", TextBytes("INFOINAM"));
  past_end[4] = 0xF0;  // its size passes the end of the file
  struct Case {
    std::string tag;
    Bytes source;
  };
  const Case cases[] = {
      {"bext", Wave({FormatChunk(8000, 16, 1), Chunk("bext", Bytes(100, 'x')), data})},
      {"cue ", Wave({FormatChunk(8000, 16, 1), data, Chunk("cue ", Bytes{0xE8, 3, 0, 0, 1, 0, 0, 0})})},
      {"LIST", Wave({FormatChunk(8000, 16, 1), data, past_end})},
  };
  for (const Case& c : cases) {
    WriteFile(dir / "m.wav", c.source);
    Task("meta\t1\nsrc\tm.wav\ndest\tout.wav\n");
    const ProgramResult check = Run({"--check"});
    EXPECT_EQ(check.status, 3) << c.tag << check.output;  // it warns
    EXPECT_NE(check.output.find("the " + c.tag + " chunk of m.wav is not well formed: it is left out"),
              std::string::npos)
        << c.tag << check.output;
    const ProgramResult r = Run();
    ASSERT_EQ(r.status, 0) << c.tag << r.output;
    const Bytes out = ReadFile(dir / "out.wav");
    EXPECT_EQ(UnpackSamples(16, DataOf(out)), samples) << c.tag;
    EXPECT_EQ(TagsOf(out), (std::vector<std::string>{"fmt ", "data"})) << c.tag;
  }

  // And a "meta" that names no entry.
  for (const std::string n : {"3", "0", "x"}) {
    Task("meta\t" + n + "\nsrc\tm.wav\nsrc\tm.wav\ndest\tout.wav\n");
    std::filesystem::remove(dir / "out.wav");
    const ProgramResult r = Run();
    EXPECT_EQ(r.status, 1) << n;
    EXPECT_EQ(r.output, CountLine(2) + "Metadata source " + n + " does not exist\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav")) << n;
  }
}

// Labels after carried notes: every labl comes before every note, so that
// readers which stop at a note (libsndfile's) or lose what follows it
// (ffmpeg's chapters) see every marker with its label.
TEST_F(CarriedMetadata, LabelsAfterNotesReachEveryReader) {
  const Bytes cues = CueChunksFor({Cue(1, 100, "Cold open", "check the hum"), Cue(2, 300, "Interview"),
                                   Cue(3, 500, "Listener mail", "a second note"), Cue(4, 700, "Credits")});
  WriteFile(dir / "a.wav", Wave({FormatChunk(8000, 16, 1), Chunk("data", PackSamples(16, Ramp(800, 1, 16))), cues}));
  Task("using_samples\nmeta\t1\nsrc\ta.wav\nmark\tStart\nsrc\ta.wav\nxin\t600\nmark\tEncore\ndest\tout.wav\n");
  ASSERT_EQ(Run().status, 0);
  const Bytes out = ReadFile(dir / "out.wav");
  const std::vector<std::pair<uint32_t, std::string>> want = {
      {0, "Start"},     {100, "Cold open"}, {300, "Interview"}, {500, "Listener mail"},
      {700, "Credits"}, {800, "Encore"},    {900, "Credits"}};
  const std::vector<ReadCue> read = CuePointsOf(out);
  ASSERT_EQ(read.size(), want.size());
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].sample_offset, want[i].first) << i;
    EXPECT_EQ(read[i].label, want[i].second) << i;
  }
  // In the adtl list, every labl before the first note.
  std::string order;
  const Bytes adtl = WalkChunks(out).back().body;
  for (size_t at = 4; at + 8 <= adtl.size(); at += 8 + Get32(adtl, at + 4) + (Get32(adtl, at + 4) & 1)) {
    order += std::string(adtl.begin() + static_cast<long>(at), adtl.begin() + static_cast<long>(at) + 4) + " ";
  }
  EXPECT_EQ(order, "labl labl labl labl labl labl labl note note ");

  if (!HaveCommand("sndfile-info")) GTEST_SKIP() << "sndfile-info not installed: the read-back is skipped";
  const std::string info = RunCommand(dir.path, {"sndfile-info", "out.wav"}).output;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_NE(info.find("labl : " + std::to_string(i + 1) + " : " + want[i].second), std::string::npos) << info;
  }
  if (!HaveCommand("ffprobe")) GTEST_SKIP() << "ffprobe not installed: its read-back is skipped";
  const std::string chapters = RunCommand(dir.path, {"ffprobe", "-v", "error", "-show_entries",
                                                     "chapter=start:chapter_tags=title", "-of", "csv=p=0", "out.wav"})
                                   .output;
  std::string expected;
  for (const auto& [frame, label] : want) expected += std::to_string(frame) + "," + label + "\n";
  EXPECT_EQ(chapters, expected);
}

}  // namespace
