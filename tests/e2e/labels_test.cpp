// Markers in and out: label files on the entries, the sources' own regions,
// --labels and --chapters back out. Every marker against a plain reference
// worked out with integer fractions, read back by the tests' chunk reader,
// ffprobe, libsndfile and Python's json; the refusals, --check, --update and
// --strict; the README's audiobook as printed there.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <sstream>

#include "common/text.hpp"
#include "e2e/e2e.hpp"
#include "support/chunks.hpp"

namespace {

using Labels = EndToEnd;
using std::chrono_literals::operator""s;

constexpr int64_t kRate = 44100;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

// The frame a plain decimal number of seconds truncates to, on its digits:
// trunc(digits x rate / 10^places), spaces around it skipped; -1 for
// anything else.
int64_t FrameOf(std::string seconds) {
  seconds.erase(0, seconds.find_first_not_of(' '));
  seconds.erase(seconds.find_last_not_of(' ') + 1);
  if (seconds.empty() || seconds.find_first_not_of("0123456789.") != std::string::npos) return -1;
  const size_t dot = std::min(seconds.find('.'), seconds.size());
  int64_t scale = 1;
  for (size_t i = dot + 1; i < seconds.size(); ++i) scale *= 10;
  std::string digits = seconds;
  if (dot < seconds.size()) digits.erase(dot, 1);
  return std::stoll(digits) * kRate / scale;
}

// The text a file gives a frame: ceil(frame x 10^6 / rate) millionths.
std::string SixDecimals(int64_t frame) {
  const int64_t k = (frame * 1000000 + kRate - 1) / kRate;
  return Format("%lld.%06lld", static_cast<long long>(k / 1000000), static_cast<long long>(k % 1000000));
}

struct Marker {
  int64_t frame = 0;
  int64_t length = 0;
  std::string label;
};

// An entry as the reference places it, in write order (task order here),
// with what it may carry in the order ties rank: its source's cue points,
// its labels (both as label-file lines), then its marks.
struct Placed {
  int64_t insert, read_start, length;
  bool mixed;
  std::string points;
  std::vector<std::string> marks = {};
};

// A point is carried when its start lies in the copy and no later entry that
// is not mixed covers where it lands; a region ends where the copy does at
// the latest. In order of frame, ties in entry order.
std::vector<Marker> Reference(const std::vector<Placed>& entries) {
  std::vector<Marker> markers;
  for (size_t e = 0; e < entries.size(); ++e) {
    const Placed& p = entries[e];
    for (const std::string& line : Split(p.points, '\n')) {
      const std::vector<std::string> fields = Split(line, '\t');
      if (fields.size() != 3 || FrameOf(fields[0]) < 0 || FrameOf(fields[1]) < FrameOf(fields[0])) continue;
      const int64_t start = FrameOf(fields[0]);
      const int64_t at = p.insert + start - p.read_start;
      bool covered = start < p.read_start || start >= p.read_start + p.length;
      for (size_t later = e + 1; later < entries.size(); ++later) {
        const Placed& l = entries[later];
        covered = covered || (!l.mixed && at >= l.insert && at < l.insert + l.length);
      }
      const int64_t end = std::min(FrameOf(fields[1]), p.read_start + p.length);
      if (!covered) markers.push_back({at, std::max<int64_t>(end - start, 0), fields[2]});
    }
    for (const std::string& mark : p.marks) markers.push_back({p.insert, 0, mark});
  }
  std::stable_sort(markers.begin(), markers.end(), [](const Marker& a, const Marker& b) { return a.frame < b.frame; });
  return markers;
}

// A time a file wrote reads back, truncated, to the frame, and is the least
// six-decimal value that does.
void ExpectTime(const std::string& text, int64_t frame, const std::string& what) {
  const size_t dot = text.find('.');
  ASSERT_EQ(text.size() - dot - 1, 6u) << what << ": " << text;
  const int64_t k = std::stoll(text.substr(0, dot)) * 1000000 + std::stoll(text.substr(dot + 1));
  EXPECT_EQ(k * kRate / 1000000, frame) << what << ": " << text;
  EXPECT_TRUE(k == 0 || (k - 1) * kRate / 1000000 < frame) << what << ": " << text;
}

// Python's json reads the file strictly (no control characters in strings):
// each chapter as "start|title|end" to six decimals, "-" for what it lacks,
// the title ASCII-escaped by json.dumps.
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

TEST_F(Labels, RoundTripThroughATrimACoverAndAMixToTheFrame) {
  // a.txt: a byte-order mark and CR LF; labels before the copy start, at
  // it, a region, one just past a frame, a region past the copy's stop, one
  // past the stop, Audacity's frequency line, and lines that are no labels.
  const std::string a =
      "0.1\t0.1\tbefore xin\n0.2500001\t0.2500001\tat xin\n0.33333333\t1.23456789\tregion one\n"
      "1.0000227\t1.0000227\tjust past a frame\n1.7\t2.9\tregion past the stop\n\\\t200\t4000\n"
      "2.6\t2.6\tafter xout\n12:34\t13\tminutes\n1\t0.5\tbackwards\nno tab\n";
  const std::string b =
      "0.05\t0.05\tb start\n0.8\t1.2\tb under a later entry\n1.9\t2.0\tb under the mix\n"
      "2.999999\t3.5\tb region to the end\n";
  const std::string b2 = "0.1 \t0.1\tthe mix's own\n 0.7\t 0.7  \tpast the mix's stop\n";
  std::string crlf = "\xEF\xBB\xBF";
  for (const std::string& line : Split(a, '\n')) crlf += line + "\r\n";
  WriteText(dir / "a.txt", crlf);
  WriteText(dir / "b.txt", b);
  WriteText(dir / "b2.txt", b2);
  Source("a.wav", kRate, 16, 1, Ramp(132300, 1, 16));
  // b.wav's own markers (the metadata of entry 2): a point and two regions.
  const std::string b_cues = "0.1\t0.1\tcue point\n0.5\t1.0\tcue region\n1.5\t2.5\tcue under a later entry\n";
  std::vector<ReadCue> cues;
  for (const std::string& line : Split(b_cues, '\n')) {
    const std::vector<std::string> f = Split(line, '\t');
    const auto frame = static_cast<uint32_t>(FrameOf(f[0]));
    cues.push_back({.id = 9 - static_cast<uint32_t>(cues.size()),
                    .position = frame,
                    .sample_offset = frame,
                    .label = f[2],
                    .note = cues.empty() ? "a note" : "",
                    .length = static_cast<uint32_t>(FrameOf(f[1])) - frame});
  }
  WriteFile(dir / "b.wav", Riff({FormatChunk(kRate, 16, 1), Chunk("data", PackSamples(16, Ramp(132300, 1, 16, 7))),
                                 CueChunksFor(cues)}));
  Task(
      "meta\t2\n"
      "src\ta.wav\nxin\t0.25\nxout\t2.5\nlabels\ta.txt\n"
      "src\tb.wav\nlabels\tb.txt\nmark\tPart B\n"
      "src\ta.wav\nins\t3.0\nxin\t1.0\nxout\t1.8\nlabels\ta.txt\n"
      "src\tb.wav\nins\t4.0\nxout\t0.6\nmix\t-6\nlabels\tb2.txt\n"
      "dest\tout.wav\n");
  const std::vector<Marker> want = Reference({{0, 11025, 99225, false, a},
                                              {99225, 0, 132300, false, b_cues + b, {"Part B"}},
                                              {132300, 44100, 35280, false, a},
                                              {176400, 0, 26460, true, b_cues + b2}});
  ASSERT_EQ(want.size(), 15u);  // the reference keeps what it should

  // A check says where each comes from and which lines are no labels, and
  // writes the label file a run then writes again; a run says them too.
  const ProgramResult check = Run({"--check", "--labels", "checked.txt"});
  EXPECT_EQ(check.status, 3) << check.output;
  const std::string faults =
      "line 5: line 8 of a.txt is no label and is left out: its start is no time of 0 or more\n"
      "line 5: line 9 of a.txt is no label and is left out: its end lies before its start\n"
      "line 5: line 10 of a.txt is no label and is left out: it holds no tab between a start and an end\n";
  EXPECT_TRUE(check.output.ends_with("Warnings:\n" + faults)) << check.output;
  EXPECT_NE(check.output.find("\tLabels from a.txt: 4 of its 6\n"), std::string::npos) << check.output;
  EXPECT_NE(
      check.output.find("\tMarker 9 at frame 132301 (3.000 sec): \"just past a frame\", line 4 of a.txt (task 3)\n"
                        "\tMarker 10 at frame 163170 (3.700 sec), to frame 167580 (3.800 sec): \"region past "
                        "the stop\", line 5 of a.txt (task 3)\n"
                        "\tMarker 11 at frame 180810 (4.100 sec): \"cue point\", cue point 9 of b.wav (task 4)\n"),
      std::string::npos)
      << check.output;
  const ProgramResult r = Run({"--labels", "out.txt", "--chapters", "chapters.json"});
  ASSERT_EQ(r.status, 0) << r.output;
  std::string said;
  for (const std::string& line : Split(faults, '\n')) said += "wavsplice: " + line + "\n";
  EXPECT_EQ(r.errors, said);
  EXPECT_EQ(ReadText(dir / "checked.txt"), ReadText(dir / "out.txt"));

  // The label file: every time to the frame, the least six decimals; the
  // destination's cue points, labels and regions' lengths; the chapters as
  // Python reads them.
  const std::vector<std::string> lines = Split(ReadText(dir / "out.txt"), '\n');
  const std::vector<ReadCue> read = CuePointsOf(ReadFile(dir / "out.wav"));
  ASSERT_EQ(lines.size(), want.size());
  ASSERT_EQ(read.size(), want.size());
  std::string chapters;
  for (size_t i = 0; i < want.size(); ++i) {
    const std::vector<std::string> fields = Split(lines[i], '\t');
    ASSERT_EQ(fields.size(), 3u) << lines[i];
    ExpectTime(fields[0], want[i].frame, want[i].label);
    ExpectTime(fields[1], want[i].frame + want[i].length, want[i].label);
    EXPECT_EQ(fields[2], want[i].label);
    EXPECT_EQ(read[i].sample_offset, want[i].frame) << want[i].label;
    EXPECT_EQ(read[i].label, want[i].label);
    EXPECT_EQ(read[i].length, want[i].length) << want[i].label;
    EXPECT_EQ(read[i].note, want[i].label == "cue point" ? "a note" : "");
    chapters += SixDecimals(want[i].frame) + "|\"" + want[i].label + "\"|" +
                (want[i].length > 0 ? SixDecimals(want[i].frame + want[i].length) : "-") + "\n";
  }
  if (!HaveCommand("python3")) GTEST_SKIP() << "python3 not installed: the chapters and other readers are skipped";
  EXPECT_EQ(PythonChapters(dir.path, "chapters.json"), chapters);

  // Other readers find every label; ffprobe gives each chapter its end (the
  // next one's start), libsndfile's log the first labels of a long list.
  if (!HaveCommand("ffprobe") || !HaveCommand("sndfile-info")) {
    GTEST_SKIP() << "ffprobe or sndfile-info not installed: their read-back is skipped";
  }
  // (Where two start together, ffmpeg ends the first at the end of the file.)
  const std::vector<std::string> probed =
      Split(RunCommand(dir.path, {"ffprobe", "-v", "error", "-show_entries", "chapter=start,end:chapter_tags=title",
                                  "-of", "csv=p=0", "out.wav"})
                .output,
            '\n');
  ASSERT_EQ(probed.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const bool next = i + 1 < want.size() && want[i + 1].frame > want[i].frame;
    const std::string end = next ? std::to_string(want[i + 1].frame) : "231525";
    EXPECT_EQ(probed[i], std::to_string(want[i].frame) + "," + end + "," + want[i].label);
  }
  size_t shown = 0;
  for (const std::string& line : Split(RunCommand(dir.path, {"sndfile-info", "out.wav"}).output, '\n')) {
    if (!line.starts_with("    labl : ")) continue;
    const size_t id = std::stoul(line.substr(11));
    ASSERT_TRUE(id >= 1 && id <= want.size()) << line;
    EXPECT_EQ(line.substr(line.find(" : ", 11) + 3), want[id - 1].label);
    ++shown;
  }
  EXPECT_GE(shown, 9u);
}

// Labels hostile to every format they pass through: quotes, backslashes,
// control bytes, a tab, a carriage return, DEL, bytes that are not UTF-8.
// The chapters and the documents stay valid JSON (Python reads them
// strictly), and the label file keeps a marker a line.
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
  std::string titles;
  for (const std::string& line : Split(PythonChapters(dir.path, "chapters.json"), '\n')) {
    titles += Split(line, '|')[1] + "\n";
  }
  EXPECT_EQ(titles,
            "\"mark \\\"\\\\\\u0001\\ufffd\"\n\"say \\\"hi\\\"\"\n\"back\\\\slash\"\n\"bell\\u0007 and "
            "\\u001b[31mred\"\n\"tab\\there\"\n\"cr\\rhere\"\n\"del\\u007f\"\n\"caf\\ufffd\"\n\"\\ufffd\\ufffd\"\n"
            "\"\\u2028 line separator\"\n");
  // The documents of the run and of a check read strictly too.
  WriteText(dir / "run.json", r.output);
  WriteText(dir / "check.json", Run({"--check", "--json"}).output);
  for (const char* document : {"run.json", "check.json"}) {
    const ProgramResult read = RunCommand(
        dir.path, {"python3", "-c",
                   "import json, sys\nd = json.load(open(sys.argv[1], encoding='utf-8'))['destination']['markers']\n"
                   "print(len(d), d[7]['label_hex'], d[7]['origin'])\n",
                   document});
    EXPECT_EQ(read.output, "10 636166e9 {'kind': 'label file', 'task': 1, 'file': 'l.txt', 'line': 7}\n") << document;
  }
  // A line a marker, a tab and a carriage return as spaces.
  const std::vector<std::string> lines = Split(ReadText(dir / "out.txt"), '\n');
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[4] + "|" + lines[5], "0.400000\t0.950000\ttab here|0.500000\t0.950000\tcr here");
}

// What is refused before anything is written; when the files are written:
// not with an up-to-date --update, again for a newer label file; --strict
// refuses a label file with a line that is no label.
TEST_F(Labels, RefusalsUpdatesAndStrictness) {
  Source("s.wav", kRate, 16, 1, Ramp(4410, 1, 16));
  WriteText(dir / "l.txt", "0.05\t0.05\tone\n");
  Task("src\ts.wav\nlabels\tl.txt\ndest\tout.wav\n");
  std::filesystem::create_symlink("s.wav", dir / "link.wav");
  std::filesystem::create_directory(dir / "folder");
  mkfifo((dir / "fifo.txt").c_str(), 0600);
  const auto before = Snapshot(dir.path);
  const std::pair<std::string, std::string> refused[] = {
      {"--labels task.txt task.txt", "--labels task.txt would replace the task file\n"},
      {"--chapters link.wav task.txt", "--chapters link.wav would replace a source track\n"},
      {"--labels ./l.txt task.txt", "--labels ./l.txt would replace a label file\n"},
      {"--labels out.wav task.txt", "--labels out.wav would replace the destination\n"},
      {"--labels xfade_temp.wav task.txt", "--labels xfade_temp.wav would replace the crossfade work file\n"},
      {"--labels x.txt --chapters ./x.txt task.txt", "--labels x.txt would replace the --chapters file\n"},
      {"--labels", "Option --labels needs a file name\n"},
      {"--chapters --check", "Option --chapters needs a file name\n"},
      {"--labels a.txt --labels b.txt task.txt", "Unknown option --labels\n"},
      {"--labels folder task.txt", "Cannot write --labels file folder\n"},
      // A task that names these as its label file.
      {"fifo.txt", "Cannot find label file fifo.txt\n"},
      {"missing.txt", "Cannot find label file missing.txt\n"},
      {"large.txt", "Label file large.txt is too large (16777216 bytes at most)\n"},
      {"out.wav", "Destination out.wav is also a label file\n"},
  };
  for (const auto& [words, said] : refused) {
    for (const bool check : {false, true}) {
      std::vector<std::string> args = Split(words, ' ');
      if (!words.starts_with("--")) {
        Task("src\ts.wav\nlabels\t" + words + "\ndest\tout.wav\n", "bad.txt");
        args = {"bad.txt"};
      }
      if (words == "large.txt") WriteText(dir / words, std::string((16 << 20) + 1, '\n'));
      if (check) args.insert(args.begin(), "--check");
      const ProgramResult r = Run(args);
      for (const char* made : {"bad.txt", "large.txt"}) std::filesystem::remove(dir / made);
      EXPECT_EQ(r.status, said.starts_with("Cannot write") ? 2 : 1) << words;
      EXPECT_TRUE(r.output.ends_with(said)) << r.output;
      EXPECT_EQ(Snapshot(dir.path), before) << r.output;
    }
  }

  // --update: built, then up to date (nothing written, by a check neither),
  // then built again for a newer label file; but not with --strict while it
  // holds a line that is no label.
  const auto earlier = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(10);
  for (const char* name : {"s.wav", "l.txt", "task.txt"}) std::filesystem::last_write_time(dir / name, earlier);
  ASSERT_EQ(Run({"--update", "--labels", "out.txt"}).status, 0);
  EXPECT_EQ(ReadText(dir / "out.txt"), "0.050000\t0.050000\tone\n");
  std::filesystem::remove(dir / "out.txt");
  EXPECT_EQ(Run({"--update", "--labels", "out.txt", "--chapters", "ch.json"}).output,
            CountLine(1) + "Up to date\tout.wav\n");
  EXPECT_EQ(Run({"--check", "--update", "--labels", "out.txt"}).status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.txt") || std::filesystem::exists(dir / "ch.json"));
  WriteText(dir / "l.txt", "0.05\t0.05\tone\n1:30\t2\tnot a label\n");
  std::filesystem::last_write_time(dir / "l.txt", std::filesystem::last_write_time(dir / "out.wav") + 2s);
  const ProgramResult strict = Run({"--update", "--strict", "--labels", "out.txt"});
  EXPECT_EQ(strict.status, 3) << strict.output;
  EXPECT_EQ(strict.errors,
            "wavsplice: line 2: line 2 of l.txt is no label and is left out: its start is no time of 0 or more\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.txt"));
  EXPECT_EQ(Run({"--update", "--labels", "out.txt"}).status, 0);
  EXPECT_EQ(ReadText(dir / "out.txt"), "0.050000\t0.050000\tone\n");
}

// The audiobook of the README, as printed there: its task file and label
// files, its command, and the chapters file it shows.
TEST_F(Labels, TheReadmeAudiobookAsPrinted) {
  std::istringstream readme(ReadText(std::filesystem::path(WAVSPLICE_SOURCE_DIR) / "README.md"));
  std::vector<std::string> blocks;  // the section's code blocks
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
  std::vector<std::string> args = Split(blocks[3].substr(0, blocks[3].size() - 1), ' ');
  ASSERT_EQ(args.front(), "wavsplice");
  args.erase(args.begin());
  EXPECT_EQ(Run({"--check", "book.txt"}).status, 0);
  ASSERT_EQ(Run(args).status, 0);
  EXPECT_EQ(ReadText(dir / "book.json"), blocks[4]);
  EXPECT_EQ(CuePointsOf(ReadFile(dir / "book.wav"))[3].sample_offset, 1095330u);  // as the README says
}

}  // namespace
