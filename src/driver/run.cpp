#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/failure.hpp"
#include "driver/run_state.hpp"
#include "task/reader.hpp"
#include "task/text_warnings.hpp"

namespace {

constexpr const char* kHelp[] = {
    "\nEditor version " WAVSPLICE_VERSION " (2f)",
    "\nHelp...",
    "You may run the program with an argument specifying the controlling text file.",
    "Otherwise, the program will look for task.txt.",
    "With --check before the file name, it shows the plan and likely mistakes and writes nothing.",
    "\nCommands (placed at the start of a line):",
    "\t'src' to specify a source file.",
    "\t'xin' to set source file copy start. Omitting assumes 0.",
    "\t'xout' to set source file copy stop. Omitting assumes end of file",
    "\t'trim' to modify xout.",
    "\t'ins' to set the insert point in the destination file.",
    "\tOmitting 'ins' assumes the current edit will be appended to previous.",
    "\t'lvl' to set the volume level of source.  Omitting sets it to 0 dB.",
    "\t'dest' to specify the destination file.",
    "\nAfter a command use a tab and then enter a value in seconds or a filename\nas appropriate.",
    "\nIf you prefer to enter sample values, type using_samples on the first line\nof the task file.",
    "\nOperation:",
    "\nxin, xout, trim and ins commands are placed on lines below the src command.",
    "\nOnly one dest command is needed per text file.",
    "\nEntries get re-sorted by insert values and earliest get written first.",
    "New edits overwrite overhanging previous edits.",
    "\nAll source tracks must be of the same bits, samplerate, and channels.",
    "Supported are 16, 24 or 32 bits (32 as integers or floats), 1 to 8 channels, and .wav files only.",
    "The destination track will match the source track specifications.",
    "\nCrossfades are added with the command 'xf' followed by a tab",
    "and the width in milliseconds, followed by a tab and a type 1, 2, 3 or 4.",
    "\nType 1 achieves an equal mix of both tracks at the splice point.",
    "\nType 2 achieves an equal mix without power compensation",
    "\nWith type 3, the decay of the file to the left of the splice is slow",
    "at first and then more rapid with time.",
    "\nWith type 4, the decay is fast at first and then slower with time",
    "\nExample: A 200 msec type 1 crossfade:",
    "xf\t200\t1\n",
};

}  // namespace

namespace {

// The options a run takes, each as one word before the task file's name.
struct Option {
  const char* word;
  bool CommandOptions::*flag;
};
constexpr Option kOptions[] = {
    {"--check", &CommandOptions::check},
    {"--sync", &CommandOptions::sync},
};

}  // namespace

int RunEditor(int argc, const char* const* argv, RunState& state) {
  if (argc > 1 && (std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    for (const char* line : kHelp) std::puts(line);
    std::fflush(stdout);
    return 1;
  }
  // Words starting with "--" before the task file's name are options, each
  // at most once ("--" alone ends them); the first other word is the task
  // file, and any further words are ignored.
  int next = 1;
  for (; next < argc && std::strncmp(argv[next], "--", 2) == 0; ++next) {
    if (std::strcmp(argv[next], "--") == 0) {
      ++next;
      break;
    }
    const Option* option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                        [&](const Option& o) { return std::strcmp(o.word, argv[next]) == 0; });
    if (option == std::end(kOptions) || state.options.*option->flag) Fail(1, "Unknown option %s\n", argv[next]);
    state.options.*option->flag = true;
  }
  if (next < argc) {
    const char* argument = argv[next];
    if (std::strlen(argument) > static_cast<size_t>(kMaxNameLength)) {
      Fail(1, "Task file name is too long (%i characters at most)\n", kMaxNameLength);
    }
    state.task_path = argument;
  }
  if (state.options.check) return RunCheck(state);

  // What the reader forgave goes to standard error before the run starts,
  // also when the reader then refuses the file.
  ReadNotes notes;
  const auto warn = [&] {
    for (const Warning& w : TextWarnings(notes)) std::fprintf(stderr, "wavsplice: line %i: %s\n", w.line, w.text.c_str());
  };
  try {
    state.tasks = ReadTaskFile(state.task_path, &notes);
  } catch (const RunFailure&) {
    warn();
    throw;
  }
  warn();
  std::printf("\nRead %i entries in task file\n\n", static_cast<int>(state.tasks.entries.size()));

  ResolvePlan(state);
  state.destination = CreateDestination(state.tasks.destination_name, state.format, state.destination_length);
  ExecuteEntries(state);
  CommitDestination(state.destination, state.options.sync);
  PrintReport(state);
  std::fflush(stdout);
  return 0;
}
