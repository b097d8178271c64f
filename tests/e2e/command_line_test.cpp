#include <sys/stat.h>

#include "e2e/e2e.hpp"
#include "task/commands.hpp"

namespace {

const char* const kHelp =
    "\nEditor version " WAVSPLICE_VERSION
    " (2f)\n"
    "\nHelp...\n"
    "You may run the program with an argument specifying the controlling text file.\n"
    "Otherwise, the program will look for task.txt.\n"
    "Options before the file name:\n"
    "\t--check\tshow the plan and likely mistakes, and write nothing\n"
    "\t--json\tprint one JSON document instead of the text\n"
    "\t--update\tdo nothing when the destination is newer than the task file and every source\n"
    "\t--align\tline the largest plain copy up with its source's blocks (a JUNK chunk)\n"
    "\t--sync\tflush the destination to disk before reporting\n"
    "\t--strict\trefuse to run (status 3) where --check would warn\n"
    "\t--labels FILE\twrite the destination's markers as a label file (Audacity's)\n"
    "\t--chapters FILE\twrite them as a JSON chapters file (the podcast namespace's)\n"
    "\t--loudness\tmeasure the destination's loudness (with --check, each entry's copy)\n"
    "\t--plot FILE\tdraw the plan (or what a run built) as an SVG picture\n"
    "\t--help, --version\n"
    "\nCommands (placed at the start of a line):\n"
    "\t'using_samples' as the first line: all times are sample counts.\n"
    "\t'src' to specify a source file.\n"
    "\t'xin' to set source file copy start. Omitting assumes 0.\n"
    "\t'xout' to set source file copy stop. Omitting assumes end of file\n"
    "\t'trim' to modify xout.\n"
    "\t'ins' to set the insert point in the destination file.\n"
    "\tOmitting 'ins' assumes the current edit will be appended to previous.\n"
    "\t'lvl' to set the volume level of source.  Omitting sets it to 0 dB.\n"
    "\t'xf' to crossfade into the source: width in ms, a tab, a type 1 to 4.\n"
    "\t'mix' to lay the source over the destination; what lies under changes by this many dB.\n"
    "\t'fin' to fade the source in over its first milliseconds.\n"
    "\t'fout' to fade the source out over its last milliseconds.\n"
    "\t'lufs' to choose the source's level so that its copy measures this loudness (LUFS).\n"
    "\t'mark' to put a marker with this label at the source's insert point.\n"
    "\t'labels' to take markers from a label file of the source (Audacity's, in seconds).\n"
    "\t'loud' to bring the whole destination to this loudness (LUFS) with one gain.\n"
    "\t'peak' to hold the destination's true peak at or under this (dBTP; -1 with loud).\n"
    "\t'meta' to give the destination the metadata of source N (1 is the first).\n"
    "\t'dest' to specify the destination file.\n"
    "\nAfter a command use a tab and then enter a value in seconds or a filename\nas appropriate.\n"
    "\nIf you prefer to enter sample values, type using_samples on the first line\nof the task file.\n"
    "\nOperation:\n"
    "\nxin, xout, trim and ins commands are placed on lines below the src command.\n"
    "\nOnly one dest command is needed per text file.\n"
    "\nEntries get re-sorted by insert values and earliest get written first.\n"
    "New edits overwrite overhanging previous edits.\n"
    "\nAll source tracks must be of the same bits, samplerate, and channels.\n"
    "Supported are 16, 24 or 32 bits (32 as integers or floats), 1 to 8 channels, and .wav files only.\n"
    "The destination track will match the source track specifications.\n"
    "\nCrossfades are added with the command 'xf' followed by a tab\n"
    "and the width in milliseconds, followed by a tab and a type 1, 2, 3 or 4.\n"
    "\nType 1 achieves an equal mix of both tracks at the splice point.\n"
    "\nType 2 achieves an equal mix without power compensation\n"
    "\nWith type 3, the decay of the file to the left of the splice is slow\n"
    "at first and then more rapid with time.\n"
    "\nWith type 4, the decay is fast at first and then slower with time\n"
    "\nExample: A 200 msec type 1 crossfade:\n"
    "xf\t200\t1\n\n";

using CommandLine = EndToEnd;

TEST_F(CommandLine, HelpTextWordForWordWithStatus1AndWithStatus0AsAnOption) {
  Task("dest\tout.wav\n");
  for (const char* word : {"help", "-h"}) {
    const auto r = Run({word, "ignored.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHelp);
  }
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"--check", "--help", "task.txt"}}) {
    const auto r = Run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, kHelp);
  }
  // One line for every command word the reader knows.
  for (const CommandWord& command : kCommandWords) {
    EXPECT_NE(std::string(kHelp).find("\n\t'" + std::string(command.word) + "' "), std::string::npos) << command.word;
  }
  const auto r = Run({"--version", "task.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "wavsplice " WAVSPLICE_VERSION "\n");
  EXPECT_EQ(Files(), std::vector<std::string>{"task.txt"});  // nothing read or written
}

TEST_F(CommandLine, AnyOtherArgumentIsATaskFilePath) {
  for (const char* word : {"HELP", "-help", "-H"}) {
    const auto r = Run({word});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, std::string("Cannot find file ") + word + " that holds your instructions\n");
  }
  // A doubled hyphen makes an option, and there is no "--h".
  const auto r = Run({"--h"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Unknown option --h\n");
}

TEST_F(CommandLine, TaskFileIsTheFirstArgumentOrTaskTxt) {
  Task("dest\tdefault.wav\n");
  Task("dest\tnamed.wav\n", "other.txt");
  auto r = Run();
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "default.wav"));
  r = Run({"other.txt", "task.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "named.wav"));
}

TEST_F(CommandLine, TaskFileThatCannotBeRead) {
  auto r = Run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Cannot find file task.txt that holds your instructions\n");

  std::filesystem::create_directory(dir / "folder");
  r = Run({"folder"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Cannot find file folder that holds your instructions\n");

  const std::string longest(127, 'p');
  r = Run({longest});
  EXPECT_EQ(r.output, "Cannot find file " + longest + " that holds your instructions\n");
  r = Run({longest + "p"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Task file name is too long (127 characters at most)\n");
}

TEST_F(CommandLine, TaskFilesUpTo65536Bytes) {
  // Padding of newlines separates nothing: the file still holds one "dest".
  Task("dest\tout.wav" + std::string(65536 - 12, '\n'));
  auto r = Run();
  EXPECT_EQ(r.status, 0);
  Task("dest\tout.wav" + std::string(65536 - 11, '\n'));
  r = Run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Task file task.txt is too large (65536 bytes at most)\n");
}

TEST_F(CommandLine, ReaderMessagesReachTheUser) {
  Task("src\ta.wav\nxf\t80\t7\nsrc\tabc\n");
  auto r = Run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Crossfade-type (parameter 2) is invalid\nSource track 2 appears to be too short or missing");
  EXPECT_EQ(r.errors, "wavsplice: line 2: the crossfade type 7 is not 1 to 4: the entry gets no crossfade\n");

  Task("using_samples\nxin\t5\n");
  r = Run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Reading time values as samples.\nCommand xin comes before the first src command\n");

  // No "src" and no "dest": the count line, then the missing destination.
  Task("a note\nanother note\n");
  r = Run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, CountLine(0) + "Your destination name appears to be too short or missing\n");
  EXPECT_EQ(Files(), std::vector<std::string>{"task.txt"});
}

// The likely mistakes of a task file's text reach a run's standard error,
// each with its line, before the run starts; what it prints and builds is the
// same as without them.
TEST_F(CommandLine, TextWarningsGoToStandardErrorAndChangeNothingElse) {
  Source("a.wav", 8000, 16, 1, Ramp(800, 1, 16));
  Task("src\ta.wav\nlvl -3\nXout\t0.05\nlvl\t30\nxin\t0,01\nsrc\ta.wav\nxf\t10\t9\ndest\tout.wav\n");
  const auto warned = Run();
  ASSERT_EQ(warned.status, 0) << warned.output;
  EXPECT_EQ(warned.errors,
            "wavsplice: line 2: \"lvl -3\" is skipped as a note: a space instead of a tab follows \"lvl\"\n"
            "wavsplice: line 3: \"Xout\" is skipped as a note: did you mean \"xout\"?\n"
            "wavsplice: line 4: a level of 30 dB is ignored (24 dB or more)\n"
            "wavsplice: line 5: \"0,01\" for \"xin\" reads as 0\n"
            "wavsplice: line 7: the crossfade type 9 is not 1 to 4: the entry gets no crossfade\n");
  const Bytes built = ReadFile(dir / "out.wav");
  Task("src\ta.wav\nsrc\ta.wav\ndest\tout.wav\n");
  const auto clean = Run();
  EXPECT_EQ(clean.errors, "");
  EXPECT_EQ(warned.output, "Crossfade-type (parameter 2) is invalid\n" + clean.output);
  EXPECT_EQ(ReadFile(dir / "out.wav"), built);
}

}  // namespace
