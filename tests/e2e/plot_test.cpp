// --plot: the pictures of every example and of hostile names and labels are
// valid, self-contained SVG (xmllint); a check's destination envelope (its
// render, plain frames from the sources) is the run's, and both are the built
// file's samples; the refusals, --update and the JSON document; and a real
// browser shows the show example's lanes and markers where the plan puts
// them.
#include "check/plot.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <regex>
#include <sstream>

#include "common/text.hpp"
#include "e2e/e2e.hpp"

namespace {

using Plot = EndToEnd;

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// What makes a picture safe to open: valid XML (xmllint), nothing that runs
// or fetches (no script, no link but to its own pattern), generic fonts, no
// text under 12 pixels, no control byte, and a tooltip on every shape.
void ExpectSafePicture(const std::filesystem::path& file) {
  const std::string svg = ReadText(file);
  const ProgramResult lint = RunCommand(file.parent_path(), {"xmllint", "--noout", file.string()});
  EXPECT_EQ(lint.status, 0) << file << ": " << lint.errors;
  EXPECT_EQ(lint.errors, "");
  EXPECT_EQ(svg.find("<script"), std::string::npos);
  EXPECT_EQ(svg.find("href"), std::string::npos);
  EXPECT_EQ(svg.find("<foreignObject"), std::string::npos);
  std::string rest = svg;
  for (size_t at; (at = rest.find("url(")) != std::string::npos; rest.erase(0, at + 4)) {
    EXPECT_EQ(rest.compare(at, 5, "url(#"), 0) << file;
  }
  size_t http = 0;
  for (size_t at = svg.find("http"); at != std::string::npos; at = svg.find("http", at + 1)) ++http;
  EXPECT_EQ(http, 1u) << "only the namespace's name";
  for (const std::string& family : {std::string("font-family=\""), std::string("font-size=\"")}) {
    for (size_t at = svg.find(family); at != std::string::npos; at = svg.find(family, at + 1)) {
      const std::string value = svg.substr(at + family.size(), svg.find('"', at + family.size()) - at - family.size());
      if (family.starts_with("font-family")) {
        EXPECT_TRUE(value == "monospace" || value == "sans-serif") << value;
      } else {
        EXPECT_GE(std::stod(value), 12.0);
      }
    }
  }
  EXPECT_TRUE(
      std::none_of(svg.begin(), svg.end(), [](char c) { return c != '\n' && static_cast<unsigned char>(c) < 0x20; }));
  EXPECT_NE(svg.find("width=\"1600\""), std::string::npos);
  size_t shapes = 0;
  const size_t body = svg.find("</defs>");
  for (const char* tag : {"<path ", "<rect "}) {
    for (size_t at = svg.find(tag, body); at != std::string::npos; at = svg.find(tag, at + 1)) {
      const size_t end = svg.find('>', at);
      ++shapes;
      EXPECT_EQ(svg.compare(end + 1, 7, "<title>"), 0) << svg.substr(at, 80);
    }
  }
  EXPECT_GT(shapes, 5u);
}

// The destination's envelope as the picture draws it: a line a column, from
// its top to its bottom, in tenths of a pixel.
std::map<int, std::pair<double, double>> DestinationLines(const std::string& svg) {
  std::map<int, std::pair<double, double>> lines;
  const std::string marker = "\" stroke=\"#3a3a3a\" stroke-width=\"1\"><title>The destination&apos;s envelope";
  const size_t end = svg.find(marker);
  if (end == std::string::npos) return lines;
  const size_t start = svg.rfind("<path d=\"", end) + 9;
  const std::string d = svg.substr(start, end - start);
  const std::regex line(R"(M(\d+)\.5 ([-\d.]+)V([-\d.]+))");
  for (std::sregex_iterator m(d.begin(), d.end(), line), done; m != done; ++m) {
    lines[std::stoi((*m)[1])] = {std::stod((*m)[2]), std::stod((*m)[3])};
  }
  return lines;
}

// The middle of the destination's row: where its silence line lies.
double DestinationMiddle(const std::string& svg) {
  const std::smatch m = [&] {
    std::smatch found;
    std::regex_search(svg, found, std::regex(R"(<path d="M250 ([\d.]+)H1580" stroke="#cccccc")"));
    return found;
  }();
  return m.empty() ? -1.0 : std::stod(m[1]);
}

// Every example, drawn by a check and by a run, and a task of hostile names
// and labels with 10,000 markers: each picture is safe to open.
TEST_F(Plot, EveryExampleAndHostileNamesMakeValidSelfContainedPictures) {
  if (!HaveCommand("xmllint")) GTEST_SKIP() << "xmllint not installed (libxml2-utils): the pictures are not validated";
  std::vector<std::string> examples;
  for (const auto& e : std::filesystem::directory_iterator(WAVSPLICE_SOURCE_DIR "/examples")) {
    if (e.is_directory()) examples.push_back(e.path().filename().string());
  }
  ASSERT_GE(examples.size(), 7u);
  for (const std::string& name : examples) {
    const auto work = dir / name;
    const auto made = RunCommand(
        dir.path, {"env", std::string("WAVSPLICE=") + WAVSPLICE_BINARY, std::string("TONE=") + WAVSPLICE_TONE_BINARY,
                   "bash", WAVSPLICE_SOURCE_DIR "/examples/run-example.sh", name, work.string()});
    ASSERT_EQ(made.status, 0) << made.output << made.errors;
    const ProgramResult check = RunWavsplice(work, {"--check", "--plot", "check.svg"});
    EXPECT_TRUE(check.status == 0 || check.status == 3) << name << check.output;
    ASSERT_EQ(RunWavsplice(work, {"--plot", "run.svg", "--loudness"}).status, 0) << name;
    ExpectSafePicture(work / "check.svg");
    ExpectSafePicture(work / "run.svg");
  }

  // Names and labels that would break or script the picture.
  const std::string hostile = "a<b&c]]>\"'\x01\x1b[2J\xff\xfe\xef\xbf\xbe\\x.wav";
  Source(hostile, 8000, 16, 1, Ramp(16000, 1, 16, 1, 97));
  Source("bed.wav", 8000, 16, 1, Ramp(24000, 1, 16, 1, 89));
  std::string labels;
  for (int i = 0; i < 10000; ++i) {
    labels += Format("%d.%04d\t%d.%04d\t<b>&amp;]]>'\"\x02\xc3\x28 %d\n", i / 10000, i % 10000, i / 10000,
                     i % 10000 + (i % 7 == 0 ? 3 : 0), i);
  }
  WriteText(dir / "many.txt", labels);
  Task("src\t" + hostile + "\nmark\t<script>alert(1)</script>\x7f\xc2\x85\nlabels\tmany.txt\nxf\t10\t9\n" +
       "src\tbed.wav\nins\t0.5\nmix\t-12\nfin\t100\nmark\t" + std::string(300, 'm') + "\ndest\tout.wav\n");
  for (const bool check : {true, false}) {
    std::vector<std::string> args = {"--plot", "hostile.svg"};
    if (check) args.insert(args.begin(), "--check");
    const ProgramResult r = RunWavsplice(dir.path, args);
    EXPECT_TRUE(r.status == 0 || r.status == 3) << r.output << r.errors;
    ExpectSafePicture(dir / "hostile.svg");
    const std::string svg = ReadText(dir / "hostile.svg");
    EXPECT_NE(svg.find("a&lt;b&amp;c]]&gt;&quot;&apos;\\x01\\x1b[2J\xef\xbf\xbd\xef\xbf\xbd\\xef\\xbf\\xbe"),
              std::string::npos);
    EXPECT_NE(svg.find("&lt;script&gt;alert(1)&lt;/script&gt;\\x7f\\xc2\\x85"), std::string::npos);
    EXPECT_NE(svg.find("more (hover the lines)"), std::string::npos) << "the labels are thinned";
    EXPECT_GE(std::count(svg.begin(), svg.end(), '\n'), 10000);
  }
}

// A check's destination envelope (its render leaves out the plain frames,
// taken from the sources) is the one a run draws from what it built, and
// that is the built file's own samples, a column at a time; for random
// programmes of plain, levelled, faded, mixed and crossfaded entries.
TEST_F(Plot, TheDestinationIsTheBuiltFilesSamples) {
  std::mt19937 random(35);
  const int rate = 8000;
  for (int round = 0; round < 6; ++round) {
    std::string task;
    for (int s = 0; s < 3; ++s) {
      std::vector<int32_t> samples(static_cast<size_t>(2 * rate * (2 + s)));
      for (int32_t& v : samples) v = static_cast<int32_t>(random() % 60000) - 30000;
      Source(Format("s%d.wav", s), rate, 16, 2, samples);
    }
    for (int e = 0; e < 6; ++e) {
      task += Format("src\ts%u.wav\n", static_cast<unsigned>(random() % 3));
      if (random() % 3 == 0) task += Format("ins\t%.3f\n", (random() % 5000) / 1000.0);
      task += Format("xin\t0.%u\nxout\t1.%u\n", static_cast<unsigned>(random() % 9 + 1),
                     static_cast<unsigned>(random() % 9));
      const unsigned kind = static_cast<unsigned>(random() % 5);
      if (kind == 1) task += "lvl\t-4.5\n";
      if (kind == 2) task += "fin\t120\nfout\t300\n";
      if (kind == 3) task += "mix\t-9\nfin\t50\nfout\t80\n";
      if (kind == 4)
        task +=
            Format("xf\t%u\t%u\n", static_cast<unsigned>(random() % 200 + 20), static_cast<unsigned>(random() % 4 + 1));
    }
    Task(task + "dest\tout.wav\n");
    const ProgramResult check = Run({"--check", "--plot", "check.svg"});
    ASSERT_TRUE(check.status == 0 || check.status == 3) << task << check.output;
    ASSERT_EQ(Run({"--check", "--loudness", "--plot", "whole.svg"}).status, check.status);
    ASSERT_EQ(Run({"--plot", "run.svg"}).status, 0) << task;
    const std::string svg = ReadText(dir / "run.svg");
    const auto drawn = DestinationLines(svg);
    EXPECT_EQ(DestinationLines(ReadText(dir / "check.svg")), drawn) << task;
    EXPECT_EQ(DestinationLines(ReadText(dir / "whole.svg")), drawn) << task;

    const std::vector<int32_t> built = Samples("out.wav", rate, 16, 2);
    const int64_t frames = static_cast<int64_t>(built.size()) / 2;
    std::vector<double> low(kPlotColumns, INFINITY);
    std::vector<double> high(kPlotColumns, -INFINITY);
    for (int64_t f = 0; f < frames; ++f) {
      const auto c = static_cast<size_t>(f * kPlotColumns / frames);
      for (int ch = 0; ch < 2; ++ch) {
        low[c] = std::min(low[c], built[static_cast<size_t>(2 * f + ch)] / 32768.0);
        high[c] = std::max(high[c], built[static_cast<size_t>(2 * f + ch)] / 32768.0);
      }
    }
    // The row's middle and its half height of 28 pixels.
    const double middle = DestinationMiddle(svg);
    ASSERT_GT(middle, 0.0);
    size_t columns = 0;
    for (int c = 0; c < kPlotColumns; ++c) {
      if (low[static_cast<size_t>(c)] > high[static_cast<size_t>(c)]) continue;
      ++columns;
      const auto line = drawn.find(250 + c);
      ASSERT_NE(line, drawn.end()) << c;
      EXPECT_NEAR(line->second.first, middle - high[static_cast<size_t>(c)] * 28, 0.06) << task << c;
      const double bottom = middle - low[static_cast<size_t>(c)] * 28;
      EXPECT_NEAR(line->second.second, std::max(bottom, line->second.first + 1), 0.11) << task << c;
    }
    EXPECT_EQ(drawn.size(), columns);
  }
}

// A picture that would replace an input or another output is refused before
// anything is written; --update of an up-to-date destination draws none; the
// document names the picture written; a check that cannot render says so.
TEST_F(Plot, RefusalsUpdatesTheDocumentAndNoRender) {
  Source("s.wav", 8000, 16, 1, Ramp(8000, 1, 16, 1, 7));
  WriteText(dir / "l.txt", "0.5\t0.5\thalf\n");
  Task("src\ts.wav\nxout\t0.8\nlabels\tl.txt\nsrc\ts.wav\nxin\t0.5\nxf\t50\t1\ndest\tout.wav\n");
  std::filesystem::create_symlink("s.wav", dir / "link.wav");
  const auto before = Snapshot(dir.path);
  const std::pair<std::string, std::string> refused[] = {
      {"--plot task.txt", "--plot task.txt would replace the task file\n"},
      {"--plot link.wav", "--plot link.wav would replace a source track\n"},
      {"--plot ./l.txt", "--plot ./l.txt would replace a label file\n"},
      {"--plot out.wav", "--plot out.wav would replace the destination\n"},
      {"--plot xfade_temp.wav", "--plot xfade_temp.wav would replace the crossfade work file\n"},
      {"--labels p.svg --plot ./p.svg", "--labels p.svg would replace the --plot file\n"},
      {"--plot --check", "Option --plot needs a file name\n"},
  };
  for (const auto& [words, said] : refused) {
    for (const bool check : {false, true}) {
      std::vector<std::string> args = Words(words);
      if (check) args.insert(args.begin(), "--check");
      if (!words.ends_with("--check")) args.push_back("task.txt");
      const ProgramResult r = Run(args);
      EXPECT_EQ(r.status, 1) << words;
      EXPECT_TRUE(r.output.ends_with(said)) << r.output;
      EXPECT_EQ(Snapshot(dir.path), before) << words;
    }
  }

  // Written by a run and by a check, named by the document; not where the
  // destination is up to date.
  const ProgramResult run = Run({"--json", "--plot", "p.svg"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find(",\"plot\":\"p.svg\",\"warnings\":"), std::string::npos) << run.output;
  EXPECT_TRUE(std::filesystem::exists(dir / "p.svg"));
  EXPECT_EQ(Files(), (std::vector<std::string>{"l.txt", "link.wav", "out.wav", "p.svg", "s.wav", "task.txt"}));
  const auto earlier = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(10);
  for (const char* name : {"s.wav", "l.txt", "task.txt"}) std::filesystem::last_write_time(dir / name, earlier);
  ASSERT_EQ(Run({"--plot", "p.svg"}).status, 0);
  std::filesystem::remove(dir / "p.svg");
  const ProgramResult fresh = Run({"--update", "--json", "--plot", "p.svg"});
  EXPECT_NE(fresh.output.find("\"mode\":\"up to date\""), std::string::npos);
  EXPECT_NE(fresh.output.find(",\"plot\":null,"), std::string::npos) << fresh.output;
  EXPECT_EQ(Run({"--check", "--update", "--plot", "p.svg"}).status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "p.svg"));
  const ProgramResult checked = Run({"--check", "--json", "--plot", "p.svg"});
  EXPECT_NE(checked.output.find(",\"plot\":\"p.svg\","), std::string::npos) << checked.output;
  EXPECT_EQ(Run({"--json", "--check"}).output.find("\"plot\""), std::string::npos);

  // Where no file without a name can be made, a check draws no destination
  // and warns; with TMPDIR there, neither can the temporary folder.
  std::filesystem::remove(dir / "p.svg");
  const ProgramResult unrendered =
      RunWavsplice(dir.path, {"--check", "--plot", "p.svg"}, RunOptions{.no_unnamed_files = true});
  EXPECT_EQ(unrendered.status, 3) << unrendered.output;
  EXPECT_NE(unrendered.output.find("\nthe picture does not show the destination's envelope: no file without a name"),
            std::string::npos)
      << unrendered.output;
  EXPECT_NE(ReadText(dir / "p.svg").find("Not drawn: no file without a name"), std::string::npos);
}

// Pixels of a PNG, as ffmpeg decodes them.
struct Image {
  int width = 0;
  int height = 0;
  std::string rgb;
  uint32_t At(int x, int y) const {
    const size_t at = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
    return static_cast<uint32_t>(static_cast<unsigned char>(rgb[at])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(rgb[at + 1])) << 8 |
           static_cast<unsigned char>(rgb[at + 2]);
  }
};

Image Decoded(const std::filesystem::path& png) {
  Image image;
  const Bytes bytes = ReadFile(png);
  if (bytes.size() < 24) return image;
  const auto big = [&](size_t at) {
    return static_cast<int>(uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 | uint32_t{bytes[at + 2]} << 8 |
                            bytes[at + 3]);
  };
  image.width = big(16);
  image.height = big(20);
  image.rgb = RunCommand(png.parent_path(),
                         {"ffmpeg", "-v", "error", "-i", png.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"})
                  .output;
  if (image.rgb.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 3) image.width = 0;
  return image;
}

// Chromium renders the show example's picture: each lane's colour lies in
// its strip exactly where the plan keeps it and nowhere a later entry
// replaces it (hatched in grey there), and the marker lines stand at their
// frames, to a column. The README's picture is this one, with a tolerance for
// the fonts of another machine.
TEST_F(Plot, ABrowserShowsTheShowExampleAsPlanned) {
  if (!HaveCommand("chromium") || !HaveCommand("ffmpeg")) {
    GTEST_SKIP() << "chromium or ffmpeg not installed: the picture is not rendered in a browser";
  }
  const auto work = dir / "show";
  const auto made = RunCommand(
      dir.path, {"env", std::string("WAVSPLICE=") + WAVSPLICE_BINARY, std::string("TONE=") + WAVSPLICE_TONE_BINARY,
                 "bash", WAVSPLICE_SOURCE_DIR "/examples/run-example.sh", "show", work.string()});
  ASSERT_EQ(made.status, 0) << made.errors;
  ASSERT_EQ(RunWavsplice(work, {"--check", "--plot", "plan.svg"}).status, 0);
  const std::string svg = ReadText(work / "plan.svg");
  std::smatch height;
  ASSERT_TRUE(std::regex_search(svg, height, std::regex(R"re(height="(\d+)")re")));
  const auto shot = dir / "plan.png";
  const ProgramResult browser =
      RunCommand(dir.path, {"timeout", "120", "chromium", "--headless", "--no-sandbox", "--disable-gpu",
                            "--no-first-run", "--disable-background-networking", "--disable-component-update",
                            "--disable-sync", "--user-data-dir=" + (dir / "profile").string(), "--hide-scrollbars",
                            "--force-device-scale-factor=1", "--screenshot=" + shot.string(),
                            "--window-size=1600," + height[1].str(), "file://" + (work / "plan.svg").string()});
  if (browser.status != 0 || !std::filesystem::exists(shot)) {
    GTEST_SKIP() << "chromium cannot run here: " << browser.errors;
  }
  const Image image = Decoded(shot);
  ASSERT_EQ(image.width, 1600);
  ASSERT_EQ(image.height, std::stoi(height[1].str()));

  // The plan of examples/show at 44.1 kHz, in write order: intro, talk (its
  // last 0.5 s replaced by the outro), the bed laid over it, the outro.
  constexpr int64_t kLength = 374850;
  struct Lane {
    uint32_t colour;
    int64_t from, to, kept_to;
  };
  const Lane lanes[] = {{0x1f77b4, 0, 88200, 88200},
                        {0xff7f0e, 88200, 330750, 308700},
                        {0x2ca02c, 176400, 308700, 308700},
                        {0x9467bd, 308700, kLength, kLength}};
  const auto x_of = [](int64_t frame) { return 250.0 + static_cast<double>(frame) * kPlotColumns / kLength; };
  const int64_t marks[] = {0, 88200, 308700};
  std::vector<int> marker_x;
  for (const int64_t frame : marks) marker_x.push_back(250 + static_cast<int>(frame * kPlotColumns / kLength));
  const auto near_marker = [&](int x) {
    return std::any_of(marker_x.begin(), marker_x.end(), [&](int m) { return std::abs(x - m) <= 1; });
  };
  for (const Lane& lane : lanes) {
    // The strip: the lowest row of the lane's colour in the middle of what it keeps.
    const int middle = static_cast<int>(x_of((lane.from + lane.kept_to) / 2));
    int bottom = -1;
    for (int y = 0; y < image.height; ++y) {
      if (image.At(middle, y) == lane.colour) bottom = y;
    }
    ASSERT_GT(bottom, 0) << std::hex << lane.colour;
    const int y = bottom - 3;
    for (int x = 250; x < 250 + kPlotColumns; ++x) {
      const double from = x_of(lane.from), kept = x_of(lane.kept_to), to = x_of(lane.to);
      if (near_marker(x) || std::abs(x - from) < 2 || std::abs(x - kept) < 2 || std::abs(x - to) < 2) continue;
      const uint32_t pixel = image.At(x, y);
      if (x > from && x < kept) {
        EXPECT_EQ(pixel, lane.colour) << "x " << x << " y " << y;
      } else {
        EXPECT_NE(pixel, lane.colour) << "x " << x << " y " << y;
      }
      if (x > kept && x < to) {
        const int r = static_cast<int>(pixel >> 16), g = static_cast<int>(pixel >> 8 & 255),
                  b = static_cast<int>(pixel & 255);
        EXPECT_TRUE(std::abs(r - g) < 8 && std::abs(g - b) < 8)
            << "not grey: " << std::hex << pixel << " at " << std::dec << x;
      }
    }
    // Below the strip, between the lanes, only the markers are red.
    std::vector<int> red;
    for (int x = 0; x < image.width; ++x) {
      if (image.At(x, bottom + 4) == 0xd62728) red.push_back(x);
    }
    ASSERT_EQ(red.size(), marker_x.size()) << "row " << bottom + 4;
    for (size_t i = 0; i < red.size(); ++i) EXPECT_LE(std::abs(red[i] - marker_x[i]), 1) << i;
  }

  // The README's picture is this rendering, but for the fonts.
  if (const char* keep = std::getenv("WAVSPLICE_WRITE_PICTURE")) {
    std::filesystem::copy_file(shot, keep, std::filesystem::copy_options::overwrite_existing);
    return;
  }
  const Image committed = Decoded(WAVSPLICE_SOURCE_DIR "/examples/show/plan.png");
  ASSERT_EQ(committed.width, image.width);
  ASSERT_EQ(committed.height, image.height);
  size_t different = 0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const uint32_t a = image.At(x, y), b = committed.At(x, y);
      int most = 0;
      for (int shift : {0, 8, 16})
        most = std::max(most, std::abs(static_cast<int>((a >> shift) & 255) - static_cast<int>((b >> shift) & 255)));
      different += most > 48 ? 1 : 0;
    }
  }
  EXPECT_LT(static_cast<double>(different) / (image.width * image.height), 0.05) << different << " pixels differ";
}

}  // namespace
