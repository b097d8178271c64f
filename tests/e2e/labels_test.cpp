// Markers in and out: label files on the entries, the sources' own regions,
// --labels and --chapters back out. Every marker against a plain reference
// worked out with integer fractions, read back by the tests' chunk reader,
// ffprobe, libsndfile and Python's json; the refusals, --check, --update and
// --strict; the README's audiobook as printed there.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <sstream>

#include "e2e/e2e.hpp"
#include "support/chunks.hpp"

namespace {

using Labels = EndToEnd;

constexpr uint32_t kRate = 44100;

// The frame a decimal number of seconds truncates to, worked out on its
// digits: trunc(digits x rate / 10^places).
int64_t FrameOf(const std::string& seconds) {
  int64_t digits = 0;
  int64_t scale = 1;
  bool fraction = false;
  for (const char c : seconds) {
    if (c == '.') {
      fraction = true;
      continue;
    }
    digits = digits * 10 + (c - '0');
    if (fraction) scale *= 10;
  }
  return digits * kRate / scale;
}

// The text a file gives a frame: ceil(frame x 10^6 / rate) millionths.
std::string SixDecimals(int64_t frame) {
  const int64_t k = (frame * 1000000 + kRate - 1) / kRate;
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(k / 1000000),
                static_cast<long long>(k % 1000000));
  return text;
}

struct Marker {
  int64_t frame = 0;
  int64_t length = 0;
  std::string label;
};

// A label or cue point of a source: its frames there.
struct Point {
  int64_t start = 0;
  int64_t end = 0;
  std::string label;
};

// An entry as the reference places it, in write order (which is task order
// here), with the points of its source it may carry, in the order they rank
// among ties: cue points, labels, then its marks.
struct Placed {
  int64_t insert = 0;
  int64_t read_start = 0;
  int64_t length = 0;
  bool mixed = false;
  std::vector<Point> points;
  std::vector<std::string> marks;
};

// The markers: a point is carried when its start lies in the copy and no
// later entry that is not mixed covers where it lands; a region ends where
// the copy does at the latest. In order of frame, ties in entry order.
std::vector<Marker> Reference(const std::vector<Placed>& entries) {
  std::vector<Marker> markers;
  for (size_t e = 0; e < entries.size(); ++e) {
    const Placed& p = entries[e];
    for (const Point& point : p.points) {
      if (point.start < p.read_start || point.start >= p.read_start + p.length) continue;
      const int64_t at = p.insert + point.start - p.read_start;
      bool covered = false;
      for (size_t later = e + 1; later < entries.size(); ++later) {
        const Placed& l = entries[later];
        covered = covered || (!l.mixed && at >= l.insert && at < l.insert + l.length);
      }
      if (covered) continue;
      const int64_t end = std::min(point.end, p.read_start + p.length);
      markers.push_back({at, std::max<int64_t>(end - point.start, 0), point.label});
    }
    for (const std::string& mark : p.marks) markers.push_back({p.insert, 0, mark});
  }
  std::stable_sort(markers.begin(), markers.end(), [](const Marker& a, const Marker& b) { return a.frame < b.frame; });
  return markers;
}

// A label file's lines as points, for the lines that are labels (two plain
// decimals and a label).
std::vector<Point> PointsOf(const std::vector<std::vector<std::string>>& lines) {
  std::vector<Point> points;
  for (const auto& line : lines) {
    const auto decimal = [](const std::string& s) { return s.find_first_not_of("0123456789.") == std::string::npos; };
    if (line.size() == 3 && decimal(line[0]) && decimal(line[1])) {
      points.push_back({FrameOf(line[0]), FrameOf(line[1]), line[2]});
    }
  }
  return points;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A time a file wrote reads back, truncated, to the frame, and is the least
// six-decimal value that does.
void ExpectTime(const std::string& text, int64_t frame, const std::string& what) {
  const size_t dot = text.find('.');
  ASSERT_NE(dot, std::string::npos) << what << ": " << text;
  EXPECT_EQ(text.size() - dot - 1, 6u) << what << ": " << text;
  const int64_t k = std::stoll(text.substr(0, dot)) * 1000000 + std::stoll(text.substr(dot + 1));
  EXPECT_EQ(k * kRate / 1000000, frame) << what << ": " << text;
  if (k > 0) {
    EXPECT_LT((k - 1) * kRate / 1000000, frame) << what << ": " << text;
  }
}

// Python's json reads the file strictly (no control characters in strings)
// and gives each chapter as "start|title|end" with the times to six decimals,
// "-" for what a chapter lacks; the titles ASCII-escaped by json.dumps.
std::string PythonChapters(const std::filesystem::path& dir, const std::string& file) {
  const ProgramResult r =
      RunCommand(dir, {"python3", "-c",
                       "import json, sys\n"
                       "d = json.load(open(sys.argv[1], encoding='utf-8'))\n"
                       "assert d['version'] == '1.2.0' and set(d) == {'version', 'chapters'}\n"
                       "for c in d['chapters']:\n"
                       "    assert set(c) <= {'startTime', 'title', 'endTime'}\n"
                       "    print('%.6f|%s|%s' % (c['startTime'], json.dumps(c['title']) if 'title' in c else '-',\n"
                       "          '%.6f' % c['endTime'] if 'endTime' in c else '-'))\n",
                       file});
  EXPECT_EQ(r.status, 0) << r.errors;
  return r.output;
}

std::string Chapter(const Marker& m, const std::string& title) {
  return SixDecimals(m.frame) + "|" + title + "|" + (m.length > 0 ? SixDecimals(m.frame + m.length) : "-") + "\n";
}

std::string LabelFile(const std::vector<std::vector<std::string>>& lines, const std::string& end) {
  std::string text;
  for (const auto& line : lines) {
    for (size_t i = 0; i < line.size(); ++i) text += (i > 0 ? "\t" : "") + line[i];
    text += end;
  }
  return text;
}

TEST_F(Labels, RoundTripThroughATrimACoverAndAMixToTheFrame) {
  // a.txt: a byte-order mark and CR LF; labels before the copy start, right
  // at it, a region, one past a frame, a region past the copy's stop, one
  // past the stop, Audacity's frequency line and a line that is no label.
  const std::vector<std::vector<std::string>> a_labels = {{"0.1", "0.1", "before xin"},
                                                          {"0.2500001", "0.2500001", "at xin"},
                                                          {"0.33333333", "1.23456789", "region one"},
                                                          {"1.0000227", "1.0000227", "just past a frame"},
                                                          {"1.7", "2.9", "region past the stop"},
                                                          {"\\", "200", "4000"},
                                                          {"2.6", "2.6", "after xout"},
                                                          {"12:34", "13", "broken"}};
  const std::vector<std::vector<std::string>> b_labels = {{"0.05", "0.05", "b start"},
                                                          {"0.8", "1.2", "b under a later entry"},
                                                          {"1.9", "2.0", "b under the mix"},
                                                          {"2.999999", "3.5", "b region to the end"}};
  const std::vector<std::vector<std::string>> b2_labels = {{"0.1", "0.1", "the mix's own"},
                                                           {"0.7", "0.7", "past the mix's stop"}};
  WriteText(dir / "a.txt", "\xEF\xBB\xBF" + LabelFile(a_labels, "\r\n"));
  WriteText(dir / "b.txt", LabelFile(b_labels, "\n"));
  WriteText(dir / "b2.txt", LabelFile(b2_labels, "\n"));
  Source("a.wav", kRate, 16, 1, Ramp(132300, 1, 16));
  // b.wav's own markers: a point and two regions (the metadata of entry 2).
  const std::vector<ReadCue> cues = {
      {.id = 5, .position = 1000, .sample_offset = 1000, .label = "cue point", .note = "", .length = 0},
      {.id = 7, .position = 20000, .sample_offset = 20000, .label = "cue region", .note = "kept", .length = 30000},
      {.id = 6,
       .position = 60000,
       .sample_offset = 60000,
       .label = "cue under a later entry",
       .note = "",
       .length = 50000}};
  WriteFile(dir / "b.wav", Riff({FormatChunk(kRate, 16, 1), Chunk("data", PackSamples(16, Ramp(132300, 1, 16, 7))),
                                 CueChunksFor(cues)}));
  Task(
      "meta\t2\n"
      "src\ta.wav\nxin\t0.25\nxout\t2.5\nlabels\ta.txt\n"
      "src\tb.wav\nlabels\tb.txt\nmark\tPart B\n"
      "src\ta.wav\nins\t3.0\nxin\t1.0\nxout\t1.8\nlabels\ta.txt\n"
      "src\tb.wav\nins\t4.0\nxout\t0.6\nmix\t-6\nlabels\tb2.txt\n"
      "dest\tout.wav\n");
  std::vector<Point> b_cues;
  for (const ReadCue& c : cues) b_cues.push_back({c.sample_offset, c.sample_offset + c.length, c.label});
  const auto with = [](std::vector<Point> a, const std::vector<Point>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<Marker> want = Reference({
      {.insert = 0, .read_start = 11025, .length = 99225, .mixed = false, .points = PointsOf(a_labels), .marks = {}},
      {.insert = 99225,
       .read_start = 0,
       .length = 132300,
       .mixed = false,
       .points = with(b_cues, PointsOf(b_labels)),
       .marks = {"Part B"}},
      {.insert = 132300,
       .read_start = 44100,
       .length = 35280,
       .mixed = false,
       .points = PointsOf(a_labels),
       .marks = {}},
      {.insert = 176400,
       .read_start = 0,
       .length = 26460,
       .mixed = true,
       .points = with(b_cues, PointsOf(b2_labels)),
       .marks = {}},
  });
  ASSERT_EQ(want.size(), 15u);  // the reference keeps what it should

  // A check says what it will carry, and the line that is no label; it
  // writes the label file a run then writes again.
  const ProgramResult check = Run({"--check", "--labels", "checked.txt"});
  EXPECT_EQ(check.status, 3) << check.output;
  EXPECT_NE(check.output.find("line 5: line 8 of a.txt is no label and is left out: its start is no time of 0 or more"),
            std::string::npos)
      << check.output;
  EXPECT_NE(check.output.find("\tLabels from a.txt: 4 of its 6\n"), std::string::npos) << check.output;
  EXPECT_NE(
      check.output.find("\tMarker 9 at frame 132301 (3.000 sec): \"just past a frame\", line 4 of a.txt (task 3)\n"),
      std::string::npos)
      << check.output;
  const ProgramResult r = Run({"--labels", "out.txt", "--chapters", "chapters.json"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.errors,
            "wavsplice: line 5: line 8 of a.txt is no label and is left out: its start is no time of 0 or more\n");
  EXPECT_EQ(ReadText(dir / "checked.txt"), ReadText(dir / "out.txt"));

  // The label file: every time to the frame, the least six decimals.
  const std::vector<std::string> lines = Lines(ReadText(dir / "out.txt"));
  ASSERT_EQ(lines.size(), want.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    const size_t tab = lines[i].find('\t');
    const size_t second = lines[i].find('\t', tab + 1);
    ASSERT_NE(second, std::string::npos) << lines[i];
    ExpectTime(lines[i].substr(0, tab), want[i].frame, want[i].label);
    ExpectTime(lines[i].substr(tab + 1, second - tab - 1), want[i].frame + want[i].length, want[i].label);
    EXPECT_EQ(lines[i].substr(second + 1), want[i].label);
  }
  // The destination: cue points at the frames, labels, regions' lengths.
  const std::vector<ReadCue> read = CuePointsOf(ReadFile(dir / "out.wav"));
  ASSERT_EQ(read.size(), want.size());
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].sample_offset, want[i].frame) << want[i].label;
    EXPECT_EQ(read[i].label, want[i].label);
    EXPECT_EQ(read[i].length, want[i].length) << want[i].label;
    EXPECT_EQ(read[i].note, want[i].label == "cue region" ? "kept" : "");
  }
  // The chapters file, as Python reads it.
  std::string chapters;
  for (const Marker& m : want) chapters += Chapter(m, "\"" + m.label + "\"");
  if (!HaveCommand("python3")) GTEST_SKIP() << "python3 not installed: the chapters and other readers are skipped";
  EXPECT_EQ(PythonChapters(dir.path, "chapters.json"), chapters);

  // Other readers find every label; ffprobe gives each chapter its end (the
  // next one's start).
  if (!HaveCommand("ffprobe") || !HaveCommand("sndfile-info")) {
    GTEST_SKIP() << "ffprobe or sndfile-info not installed: their read-back is skipped";
  }
  const std::string probed = RunCommand(dir.path, {"ffprobe", "-v", "error", "-show_entries",
                                                   "chapter=start,end:chapter_tags=title", "-of", "csv=p=0", "out.wav"})
                                 .output;
  std::string expected;
  for (size_t i = 0; i < want.size(); ++i) {
    const int64_t end = i + 1 < want.size() ? want[i + 1].frame : 231525;
    expected += std::to_string(want[i].frame) + "," + std::to_string(end) + "," + want[i].label + "\n";
  }
  EXPECT_EQ(probed, expected);
  // libsndfile's log shows the first labels of a long list, then skips.
  const std::string info = RunCommand(dir.path, {"sndfile-info", "out.wav"}).output;
  size_t shown = 0;
  for (const std::string& line : Lines(info)) {
    if (!line.starts_with("    labl : ")) continue;
    const size_t id = std::stoul(line.substr(11));
    ASSERT_TRUE(id >= 1 && id <= want.size()) << line;
    EXPECT_EQ(line.substr(line.find(" : ", 11) + 3), want[id - 1].label);
    ++shown;
  }
  EXPECT_GE(shown, 9u) << info;
}

// Labels that are hostile to every format they pass through: quotes,
// backslashes, control bytes, a tab, a carriage return, DEL, bytes that are
// not UTF-8. The chapters and the documents stay valid JSON (Python reads
// them strictly), the label file keeps one marker a line, and reads back.
TEST_F(Labels, HostileLabelsStayValidJsonAndOneLineEach) {
  if (!HaveCommand("python3")) GTEST_SKIP() << "python3 not installed: the JSON is not read back";
  const std::vector<std::string> labels = {"say \"hi\"", "back\\slash", "bell\x07 and \x1b[31mred",
                                           "tab\there",  "cr\rhere",    "del\x7f",
                                           "caf\xe9",    "\xff\xfe",    "\xe2\x80\xa8 line separator"};
  std::string text;
  for (size_t i = 0; i < labels.size(); ++i) text += "0." + std::to_string(i + 1) + "\t0.95\t" + labels[i] + "\n";
  WriteText(dir / "l.txt", text);
  Source("s.wav", kRate, 16, 1, Ramp(44100, 1, 16));
  Task("src\ts.wav\nlabels\tl.txt\nmark\tmark \"\\\x01\xc3\ndest\tout.wav\n");
  const ProgramResult r = Run({"--json", "--labels", "out.txt", "--chapters", "chapters.json"});
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string titles =
      "\"mark \\\"\\\\\\u0001\\ufffd\"|\"say \\\"hi\\\"\"|\"back\\\\slash\"|\"bell\\u0007 and \\u001b[31mred\"|"
      "\"tab\\there\"|\"cr\\rhere\"|\"del\\u007f\"|\"caf\\ufffd\"|\"\\ufffd\\ufffd\"|\"\\u2028 line separator\"|";
  std::string got;
  for (const std::string& line : Lines(PythonChapters(dir.path, "chapters.json"))) {
    got += line.substr(line.find('|') + 1, line.rfind('|') - line.find('|') - 1) + "|";
  }
  EXPECT_EQ(got, titles);
  // The documents of the run and of a check read strictly too.
  WriteText(dir / "run.json", r.output);
  WriteText(dir / "check.json", Run({"--check", "--json"}).output);
  for (const char* document : {"run.json", "check.json"}) {
    const ProgramResult read =
        RunCommand(dir.path, {"python3", "-c",
                              "import json, sys\nd = json.load(open(sys.argv[1], encoding='utf-8'))\n"
                              "print(len(d['destination']['markers']), d['destination']['markers'][7]['label_hex'])\n",
                              document});
    EXPECT_EQ(read.output, "10 636166e9\n") << document << read.errors;
  }
  // One line a marker, a tab and a carriage return as spaces; read back as
  // the label file of the destination, the same markers.
  const std::vector<std::string> lines = Lines(ReadText(dir / "out.txt"));
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[4], "0.400000\t0.950000\ttab here");
  EXPECT_EQ(lines[5], "0.500000\t0.950000\tcr here");
  Task("src\tout.wav\nlabels\tout.txt\ndest\tagain.wav\n", "again.txt");
  ASSERT_EQ(Run({"--labels", "again-labels.txt", "again.txt"}).status, 0);
  EXPECT_EQ(ReadText(dir / "again-labels.txt"), ReadText(dir / "out.txt"));
}

// What is refused before anything is written, and when the files are
// written: with --check, not with an up-to-date --update, again when a label
// file is newer; --strict refuses a label file with a line that is no label.
TEST_F(Labels, RefusalsUpdatesAndStrictness) {
  Source("s.wav", kRate, 16, 1, Ramp(4410, 1, 16));
  WriteText(dir / "l.txt", "0.05\t0.05\tone\n");
  Task("src\ts.wav\nlabels\tl.txt\ndest\tout.wav\n");
  std::filesystem::create_symlink("s.wav", dir / "link.wav");
  std::filesystem::create_directory(dir / "folder");
  const auto before = Snapshot(dir.path);
  struct Refused {
    std::vector<std::string> args;  // the task file's name follows
    int status;
    std::string said;
  };
  const Refused refused[] = {
      {{"--labels", "task.txt", "task.txt"}, 1, "--labels task.txt would replace the task file\n"},
      {{"--chapters", "link.wav", "task.txt"}, 1, "--chapters link.wav would replace a source track\n"},
      {{"--labels", "./l.txt", "task.txt"}, 1, "--labels ./l.txt would replace a label file\n"},
      {{"--labels", "out.wav", "task.txt"}, 1, "--labels out.wav would replace the destination\n"},
      {{"--labels", "xfade_temp.wav", "task.txt"},
       1,
       "--labels xfade_temp.wav would replace the crossfade work file\n"},
      {{"--labels", "x.txt", "--chapters", "./x.txt", "task.txt"},
       1,
       "--labels x.txt would replace the --chapters file\n"},
      {{"--labels"}, 1, "Option --labels needs a file name\n"},
      {{"--chapters", "--check"}, 1, "Option --chapters needs a file name\n"},
      {{"--labels", "a.txt", "--labels", "b.txt", "task.txt"}, 1, "Unknown option --labels\n"},
      {{"--labels", "folder", "task.txt"}, 2, "Cannot write --labels file folder\n"},
  };
  for (const Refused& c : refused) {
    for (const bool check : {false, true}) {
      std::vector<std::string> args = c.args;
      if (check) args.insert(args.begin(), "--check");
      const ProgramResult r = Run(args);
      EXPECT_EQ(r.status, c.status) << args[0] << " " << args.back();
      EXPECT_TRUE(r.output.ends_with(c.said)) << r.output;
      EXPECT_EQ(Snapshot(dir.path), before) << r.output;
    }
  }
  // Label files that cannot be read, and a destination that is one.
  mkfifo((dir / "fifo.txt").c_str(), 0600);
  WriteText(dir / "large.txt", std::string((16 << 20) + 1, '\n'));
  for (const auto& [name, said] : std::vector<std::pair<std::string, std::string>>{
           {"fifo.txt", "Cannot find label file fifo.txt\n"},
           {"missing.txt", "Cannot find label file missing.txt\n"},
           {"large.txt", "Label file large.txt is too large (16777216 bytes at most)\n"},
           {"out.wav", "Destination out.wav is also a label file\n"}}) {
    Task("src\ts.wav\nlabels\t" + name + "\ndest\tout.wav\n", "bad.txt");
    const ProgramResult r = Run({"bad.txt"});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.output, CountLine(1) + said);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
  }

  // --update: built, then up to date (nothing written), then built again
  // for a newer label file.
  Task("src\ts.wav\nlabels\tl.txt\ndest\tout.wav\n");
  const auto earlier = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(10);
  for (const char* name : {"s.wav", "l.txt", "task.txt"}) std::filesystem::last_write_time(dir / name, earlier);
  ASSERT_EQ(Run({"--update", "--labels", "out.txt"}).status, 0);
  EXPECT_EQ(ReadText(dir / "out.txt"), "0.050000\t0.050000\tone\n");
  std::filesystem::remove(dir / "out.txt");
  const ProgramResult fresh = Run({"--update", "--labels", "out.txt", "--chapters", "ch.json"});
  EXPECT_EQ(fresh.output, CountLine(1) + "Up to date\tout.wav\n");
  const ProgramResult checked = Run({"--check", "--update", "--labels", "out.txt"});
  EXPECT_EQ(checked.status, 0) << checked.output;
  EXPECT_FALSE(std::filesystem::exists(dir / "out.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir / "ch.json"));
  const auto later = std::filesystem::last_write_time(dir / "out.wav") + std::chrono::seconds(2);
  WriteText(dir / "l.txt", "0.05\t0.05\tone\n1:30\t2\tnot a label\n");
  std::filesystem::last_write_time(dir / "l.txt", later);
  // A line that is no label refuses a strict run, and nothing is written.
  const ProgramResult strict = RunWavsplice(dir.path, {"--update", "--strict", "--labels", "out.txt"});
  EXPECT_EQ(strict.status, 3) << strict.output;
  EXPECT_EQ(strict.errors,
            "wavsplice: line 2: line 2 of l.txt is no label and is left out: its start is no time of 0 or more\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.txt"));
  EXPECT_EQ(Run({"--update", "--labels", "out.txt"}).status, 0);
  EXPECT_EQ(ReadText(dir / "out.txt"), "0.050000\t0.050000\tone\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "ch.json")) << "not asked for";
}

// The audiobook of the README, as printed there: its task file and label
// files, its command, and the chapters file it shows.
TEST_F(Labels, TheReadmeAudiobookAsPrinted) {
  std::istringstream readme(ReadText(std::filesystem::path(WAVSPLICE_SOURCE_DIR) / "README.md"));
  // The code blocks of the section, in order.
  std::vector<std::string> blocks;
  std::string block;
  bool in_section = false;
  for (std::string line; std::getline(readme, line);) {
    if (line.starts_with("## ")) in_section = line == "## Chapters and labels";
    if (in_section && line.starts_with("    ")) {
      block += line.substr(4) + "\n";
    } else if (!block.empty()) {
      blocks.push_back(block);
      block.clear();
    }
  }
  ASSERT_GE(blocks.size(), 5u);
  WriteText(dir / "book.txt", blocks[0]);
  WriteText(dir / "part1.txt", blocks[1]);
  WriteText(dir / "part2.txt", blocks[2]);
  for (const auto& [name, seconds] : {std::pair{"credits.wav", 6}, {"part1.wav", 40}, {"part2.wav", 30}}) {
    Source(name, kRate, 16, 1, Ramp(seconds * static_cast<int>(kRate), 1, 16));
  }
  std::istringstream command(blocks[3]);
  std::vector<std::string> args;
  for (std::string word; command >> word;) args.push_back(word);
  ASSERT_EQ(args.front(), "wavsplice");
  args.erase(args.begin());
  const ProgramResult check = Run({"--check", "book.txt"});
  EXPECT_EQ(check.status, 0) << check.output;
  const ProgramResult r = Run(args);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ReadText(dir / "book.json"), blocks[4]);
  EXPECT_EQ(CuePointsOf(ReadFile(dir / "book.wav"))[3].sample_offset, 1095330u);  // as the README says
}

}  // namespace
