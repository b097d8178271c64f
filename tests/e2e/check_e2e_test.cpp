// wavsplice --check: the plan and the likely mistakes, with nothing written.
#include <algorithm>
#include <regex>
#include <sstream>

#include "e2e/e2e.hpp"

namespace {

using Check = EndToEnd;

// The lines of a text that start with `prefix`, sorted.
std::vector<std::string> LinesStarting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(prefix)) lines.push_back(line.substr(prefix.size()));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// One pitfall a task file: the warning, the line it names, and the status.
// A --strict run refuses every task file the check warns about, before it
// writes anything, with the check's warnings on standard error; a run refused
// for an entry says there what the check says.
TEST_F(Check, EveryPitfallIsNamedWithItsLine) {
  Source("a.wav", 8000, 16, 1, Ramp(8000, 1, 16));     // one second
  Source("b.wav", 8000, 16, 1, Ramp(8000, 1, 16, 7));  // one second
  WriteFile(dir / "f.wav", CanonicalFloatWav(8000, 1, std::vector<float>(8000, 0.25F)));
  struct Case {
    const char* what;
    std::string task;
    int line;
    const char* warning;  // a part of it
    int status;
  };
  const Case cases[] = {
      {"an xf without its type", "src\ta.wav\nsrc\tb.wav\nxf\t500\nsrc\ta.wav\ndest\tout.wav\n", 3,
       "the type of \"xf\" is the command word \"src\" on line 4: a value is probably missing", 3},
      {"an xout without its value", "src\ta.wav\nxout\nsrc\tb.wav\ndest\tout.wav\n", 2,
       "the value of \"xout\" is the command word \"src\" on line 3", 3},
      {"a space after xout", "src\ta.wav\nxout 0.5\ndest\tout.wav\n", 2,
       "\"xout 0.5\" is skipped as a note: a space instead of a tab follows \"xout\"", 3},
      {"a space after lvl", "src\ta.wav\nlvl -6\ndest\tout.wav\n", 2, "a space instead of a tab follows \"lvl\"", 3},
      {"SRC in capitals", "src\ta.wav\nSRC\tb.wav\ndest\tout.wav\n", 2,
       "\"SRC\" is skipped as a note: did you mean \"src\"?", 3},
      {"Lvl", "src\ta.wav\nLvl\t-3\ndest\tout.wav\n", 2, "did you mean \"lvl\"?", 3},
      {"xot", "src\ta.wav\nxot\t0.5\ndest\tout.wav\n", 2, "did you mean \"xout\"?", 3},
      {"a lone carriage return", "src\ta.wav\nxout\t0.5\r0\ndest\tout.wav\n", 2,
       "\"0.5\\r0\" holds a carriage return that ends no line", 3},
      {"a crossfade type of 9", "src\ta.wav\nsrc\tb.wav\nxin\t0.1\nxf\t100\t9\ndest\tout.wav\n", 4,
       "the crossfade type 9 is not 1 to 4: the entry gets no crossfade", 3},
      {"a crossfade out of silence", "src\ta.wav\nsrc\tb.wav\nxin\t0.1\nxf\t100\t1\ndest\tout.wav\n", 4,
       "the crossfade of task 2 fades task 1 out into silence for 0.050 sec past the splice: a.wav has no more", 3},
      {"a crossfade on a mixed entry", "src\ta.wav\nsrc\tb.wav\nins\t0\nmix\t-6\nxf\t100\t1\ndest\tout.wav\n", 5,
       "the crossfade of task 2 is ignored: a mixed entry is laid over, not joined", 3},
      {"a fade-in with a crossfade", "src\ta.wav\nsrc\tb.wav\nxin\t0.1\nxf\t20\t1\nfin\t50\ndest\tout.wav\n", 5,
       "the fade-in of task 2 is ignored: its crossfade brings it in", 3},
      {"a mix of 30 dB", "src\ta.wav\nmix\t30\ndest\tout.wav\n", 2, "a mix of 30 dB is ignored (24 dB or more)", 3},
      {"a stop before the start", "src\ta.wav\nsrc\tb.wav\nxin\t0.5\nxout\t0.2\ndest\tout.wav\n", 2,
       "task 2 (b.wav) is refused: \"xout\" 0.2 (line 4) puts the stop at frame 1600, not after the start at frame "
       "4000",
       1},
      {"ins append", "src\ta.wav\nsrc\tb.wav\nins\tappend\ndest\tout.wav\n", 3,
       "\"append\" for \"ins\" reads as 0; to append, write \"app\"", 3},
      {"ins 1:30", "src\ta.wav\nins\t1:30\ndest\tout.wav\n", 2, "\"1:30\" for \"ins\" reads as 1", 3},
      {"xin 1,5", "src\ta.wav\nxin\t0,5\ndest\tout.wav\n", 2, "\"0,5\" for \"xin\" reads as 0", 3},
      {"a level of 30 dB", "src\ta.wav\nlvl\t30\ndest\tout.wav\n", 2, "a level of 30 dB is ignored (24 dB or more)", 3},
      {"a level above 0 dB on integers", "src\ta.wav\nlvl\t4\ndest\tout.wav\n", 2,
       "a level of +4.000 dB on integer samples may clip loud parts (task 1)", 3},
      {"a start past the end", "src\ta.wav\nsrc\tb.wav\nxin\t2\nxout\t3\ndest\tout.wav\n", 3,
       "the copy start of task 2 lies at or past the end of b.wav: nothing is copied", 3},
      {"a start past the end without xout", "src\ta.wav\nxin\t2\ndest\tout.wav\n", 1,
       "task 1 (a.wav) is refused: \"xin\" 2 (line 2) puts the stop at frame 8000, not after the start at frame "
       "16000 (without \"xout\" the stop is the source's end)",
       1},
      {"using_samples below a note", "Samples:\nusing_samples\nsrc\ta.wav\nxout\t4000\ndest\tout.wav\n", 2,
       "\"using_samples\" is skipped as a note: it counts only as the task file's first line, so times are seconds",
       3},
      {"using_samples twice", "using_samples\nsrc\ta.wav\nusing_samples\ndest\tout.wav\n", 3,
       "\"using_samples\" is skipped as a note: it counts only as the task file's first line\n", 3},
      {"a stop past the end", "src\ta.wav\nxin\t0.5\nxout\t3\ndest\tout.wav\n", 3,
       "the copy stop of task 1 lies past the end of a.wav: the copy ends at its end", 3},
      {"a crossfade without material", "src\ta.wav\nsrc\tb.wav\nxf\t100\t1\ndest\tout.wav\n", 3,
       "the crossfade of task 2 will not be made: the source lacks 0.050 sec before the copy start", 3},
      {"an entry overwritten", "src\ta.wav\nxout\t0.5\nsrc\tb.wav\nins\t0\ndest\tout.wav\n", 1,
       "task 1 (a.wav) is overwritten completely by later entries", 3},
      {"a bed written after the voice that ducks it",
       "src\ta.wav\nsrc\tb.wav\nins\t0\nmix\t-12\nsrc\ta.wav\nins\t0.5\nmix\t0\ndest\tout.wav\n", 7,
       "the bed of task 3 is written after the mix of task 2 and is not ducked under it: give it an earlier insert "
       "point or put it first",
       3},
      {"an empty mark before an indented src", "src\ta.wav\nmark\t\n src\tb.wav\ndest\tout.wav\n", 2,
       "the value of \"mark\" is \" src\" on line 3, which looks like the command word \"src\": a value is probably "
       "missing before it",
       3},
      {"an xf without its type before Dest", "src\ta.wav\nsrc\tb.wav\nxin\t0.1\nxf\t20\nDest\tout.wav\n", 4,
       "the type of \"xf\" is \"Dest\" on line 5, which looks like the command word \"dest\"", 1},
      {"a stop before the start after a trim", "src\ta.wav\nxin\t0.5\ntrim\t-0.6\ndest\tout.wav\n", 1,
       "task 1 (a.wav) is refused: \"trim\" -0.6 (line 3) puts the stop at frame 3200, not after the start", 1},
      {"a refusal after a warning", "src\ta.wav\nxin 0.2\nsrc\tf.wav\ndest\tout.wav\n", 2,
       "a space instead of a tab follows \"xin\"", 1},
  };
  for (const Case& c : cases) {
    Task(c.task);
    WriteFile(dir / "out.wav", Bytes(100, 0x5A));  // an existing destination stays as it is too
    const auto before = Snapshot(dir.path);
    const auto r = Run({"--check"});
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.output;
    const std::string warning = "line " + std::to_string(c.line) + ": ";
    const size_t at = r.output.find(warning);
    EXPECT_NE(at, std::string::npos) << c.what << "\n" << r.output;
    if (at != std::string::npos) {
      EXPECT_NE(r.output.find(c.warning, at), std::string::npos) << c.what << "\n" << r.output;
    }
    EXPECT_EQ(Snapshot(dir.path), before) << c.what;
    const auto warned = LinesStarting(r.output, "line ");
    if (c.status == 3) {
      const auto strict = Run({"--strict"});
      EXPECT_EQ(strict.status, 3) << c.what;
      EXPECT_TRUE(strict.output.ends_with(" entries in task file\n\nWarnings refuse the run with --strict\n"))
          << c.what << "\n"
          << strict.output;
      EXPECT_EQ(LinesStarting(strict.errors, "wavsplice: line "), warned) << c.what;
      EXPECT_EQ(Snapshot(dir.path), before) << c.what;
      // Built without --strict, the destination is up to date; the warnings
      // still refuse it under --strict.
      EXPECT_EQ(Run().status, 0) << c.what;
      const auto up = Run({"--strict", "--update"});
      EXPECT_EQ(up.status, 3) << c.what << "\n" << up.output;
      EXPECT_TRUE(up.output.ends_with("\nWarnings refuse the run with --strict\n")) << c.what << "\n" << up.output;
    } else {
      const auto run = Run();
      EXPECT_EQ(run.status, c.status) << c.what;
      EXPECT_EQ(run.output.find("line "), std::string::npos) << c.what << "\n" << run.output;
      EXPECT_EQ(LinesStarting(run.errors, "wavsplice: line "), warned) << c.what;
    }
  }
  // Warnings found before a refusal come before its message; a refused edit
  // comes after the plan of the entries before it.
  Task("src\tmissing.wav\nlvl 3\ndest\tout.wav\n");
  auto r = Run({"--check"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output, CountLine(1) +
                          "line 2: \"lvl 3\" is skipped as a note: a space instead of a tab follows \"lvl\"\n"
                          "Cannot find file in track list called missing.wav!!\n");
  Task("src\ta.wav\nxout\t0.5\nsrc\tb.wav\nins\t-1\ndest\tout.wav\n");
  r = Run({"--check"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, CountLine(2) +
                          "Plan of the entries before task 2, in task-file order, times in seconds:\n"
                          "Task 1\tline 1\tFile a.wav\n\tInsert point 0.000 sec, ends 0.500 sec\n"
                          "\tRead start 0.000 sec, length 0.500 sec\n\n"
                          "line 3: task 2 (b.wav) is refused: \"ins\" -1 (line 4) is not a frame of the destination "
                          "(before its start, or beyond the frames a file can have)\n"
                          "Edit start/stop set incorrectly for b.wav\n");
  // A clean task file, saved on Windows with a byte-order mark: no warning,
  // status 0, and the task file named after --check.
  Task("\xEF\xBB\xBFsrc\ta.wav\r\nxout\t0.8\r\nsrc\tb.wav\r\nxin\t0.1\r\nxf\t20\t2\r\ndest\tout.wav\r\n", "clean.txt");
  const auto clean = Run({"--check", "clean.txt"});
  EXPECT_EQ(clean.status, 0) << clean.output;
  EXPECT_EQ(clean.output.substr(clean.output.size() - 13), "\nNo warnings\n");
  const auto strict = Run({"--strict", "clean.txt"});
  EXPECT_EQ(strict.status, 0) << strict.output;
  EXPECT_EQ(strict.errors, "");
  EXPECT_NE(strict.output.find("Built\tout.wav\n"), std::string::npos) << strict.output;
  // A width of 0 is the default 4410 frames, whatever the rate.
  Task("src\ta.wav\nsrc\tb.wav\nxin\t0.1\nxf\t0\t2\ndest\tout.wav\n");
  const auto zero = Run({"--check"});
  EXPECT_NE(zero.output.find("Crossfade 0 ms (the default 4410 frames, 0.551 sec), curve 2, not made"),
            std::string::npos)
      << zero.output;
}

// Mixed entries, fades and markers in the plan and the timeline: a mix lies
// over what is there and overwrites nothing.
TEST_F(Check, MixesFadesAndMarkersInThePlan) {
  Source("talk.wav", 8000, 16, 1, Ramp(16000, 1, 16));
  Source("bed.wav", 8000, 16, 1, Ramp(8000, 1, 16, 7));
  Task("src\ttalk.wav\nmark\tStart\nsrc\tbed.wav\nins\t0.5\nmix\t0\nlvl\t-12\nfin\t250\nfout\t250\nmark\tBed\n"
       "dest\tout.wav\n");
  const auto r = Run({"--check"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("\tLevel -12.000 dB\n\tMix under 0.000 dB: laid over what lies there\n\tFade in 0.250 sec\n"
                          "\tFade out 0.250 sec\n\tMarker \"Bed\" at 0.500 sec\n"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("Overwrites"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("'#' kept, '+' laid over, '-' overwritten later, '^' markers\n"), std::string::npos);
  EXPECT_NE(r.output.find("   2 |                  ++++++++++++++++++"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("mark |^                 ^ "), std::string::npos) << r.output;
}

// The plan of a check is what a run then builds: the same entries in the same
// order at the same positions, for the bundled examples and a task in samples.
TEST_F(Check, ThePlanIsWhatTheRunBuilds) {
  const std::regex planned("Task (\\d+)\tline \\d+\tFile (\\S+)\n\tInsert point ([^,]+), ends [^\n]+\n"
                           "\tRead start ([^,]+), length ([^\n]+)\n");
  const std::regex built("Task (\\d+)\tInsert point ([^\n]+)\n\tFile (\\S+)\n\tRead start ([^\n]+)\n"
                         "\tRead length ([^\n]+)\n");
  const auto entries = [](const std::string& text, const std::regex& pattern, std::vector<int> groups) {
    std::vector<std::string> out;
    for (std::sregex_iterator m(text.begin(), text.end(), pattern), end; m != end; ++m) {
      std::string entry;
      for (const int g : groups) entry += (*m)[g].str() + "|";
      out.push_back(entry);
    }
    return out;
  };
  std::vector<std::string> folders;
  for (const auto& e : std::filesystem::directory_iterator(WAVSPLICE_SOURCE_DIR "/examples")) {
    if (e.is_directory()) folders.push_back(e.path().filename().string());
  }
  ASSERT_GE(folders.size(), 6u);
  for (const std::string& name : folders) {
    const auto work = dir / name;
    const auto made = RunCommand(dir.path, {"env", std::string("WAVSPLICE=") + WAVSPLICE_BINARY,
                                            std::string("TONE=") + WAVSPLICE_TONE_BINARY, "bash",
                                            WAVSPLICE_SOURCE_DIR "/examples/run-example.sh", name, work.string()});
    ASSERT_EQ(made.status, 0) << made.output << made.errors;
    const auto before = Snapshot(work);
    const auto check = RunWavsplice(work, {"--check"});
    // The levels example raises a quiet recording by 6 dB: that warns.
    EXPECT_TRUE(check.status == 0 || check.status == 3) << name << "\n" << check.output;
    EXPECT_EQ(Snapshot(work), before) << name;
    const auto run = RunWavsplice(work);
    ASSERT_EQ(run.status, 0) << run.output;
    const auto plan = entries(check.output, planned, {1, 3, 2, 4, 5});
    EXPECT_FALSE(plan.empty()) << name;
    EXPECT_EQ(plan, entries(run.output, built, {1, 2, 3, 4, 5})) << name;
  }
}

}  // namespace
