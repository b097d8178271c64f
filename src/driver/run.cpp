#include "driver/run.hpp"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <tuple>

#include "check/check.hpp"
#include "common/failure.hpp"
#include "common/messages.hpp"
#include "common/text.hpp"
#include "driver/execute.hpp"
#include "driver/json_document.hpp"
#include "driver/marker_files.hpp"
#include "driver/loudness.hpp"
#include "driver/plot.hpp"
#include "driver/render.hpp"
#include "driver/report.hpp"
#include "plan/lanes.hpp"
#include "plan/sharing.hpp"
#include "task/reader.hpp"
#include "task/text_warnings.hpp"

namespace {

constexpr const char* kHelp[] = {
    "\nEditor version " WAVSPLICE_VERSION " (2f)",
    "\nHelp...",
    "You may run the program with an argument specifying the controlling text file.",
    "Otherwise, the program will look for task.txt.",
    "Options before the file name:",
    "\t--check\tshow the plan and likely mistakes, and write nothing",
    "\t--json\tprint one JSON document instead of the text",
    "\t--update\tdo nothing when the destination is newer than the task file and every source",
    "\t--align\tline the largest plain copy up with its source's blocks (a JUNK chunk)",
    "\t--sync\tflush the destination to disk before reporting",
    "\t--strict\trefuse to run (status 3) where --check would warn",
    "\t--labels FILE\twrite the destination's markers as a label file (Audacity's)",
    "\t--chapters FILE\twrite them as a JSON chapters file (the podcast namespace's)",
    "\t--loudness\tmeasure the destination's loudness (with --check, each entry's copy)",
    "\t--plot FILE\tdraw the plan (or what a run built) as an SVG picture",
    "\t--help, --version",
    "\nCommands (placed at the start of a line):",
    "\t'using_samples' as the first line: all times are sample counts.",
    "\t'src' to specify a source file.",
    "\t'xin' to set source file copy start. Omitting assumes 0.",
    "\t'xout' to set source file copy stop. Omitting assumes end of file",
    "\t'trim' to modify xout.",
    "\t'ins' to set the insert point in the destination file.",
    "\tOmitting 'ins' assumes the current edit will be appended to previous.",
    "\t'lvl' to set the volume level of source.  Omitting sets it to 0 dB.",
    "\t'xf' to crossfade into the source: width in ms, a tab, a type 1 to 4.",
    "\t'mix' to lay the source over the destination; what lies under changes by this many dB.",
    "\t'fin' to fade the source in over its first milliseconds.",
    "\t'fout' to fade the source out over its last milliseconds.",
    "\t'lufs' to choose the source's level so that its copy measures this loudness (LUFS).",
    "\t'mark' to put a marker with this label at the source's insert point.",
    "\t'labels' to take markers from a label file of the source (Audacity's, in seconds).",
    "\t'loud' to bring the whole destination to this loudness (LUFS) with one gain.",
    "\t'peak' to hold the destination's true peak at or under this (dBTP; -1 with loud).",
    "\t'meta' to give the destination the metadata of source N (1 is the first).",
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

// The options a run takes, each as one word before the task file's name; an
// option with a file takes the next word as its file.
struct Option {
  const char* word;
  bool CommandOptions::*flag;
  std::string CommandOptions::*file = nullptr;
};
constexpr Option kOptions[] = {
    {"--check", &CommandOptions::check},     {"--sync", &CommandOptions::sync},     {"--align", &CommandOptions::align},
    {"--json", &CommandOptions::json},       {"--update", &CommandOptions::update}, {"--help", &CommandOptions::help},
    {"--version", &CommandOptions::version}, {"--strict", &CommandOptions::strict},
    {"--labels", nullptr, &CommandOptions::labels},
    {"--chapters", nullptr, &CommandOptions::chapters},
    {"--loudness", &CommandOptions::loudness},
    {"--plot", nullptr, &CommandOptions::plot},
};

const Option* FindOption(const char* word) {
  const Option* option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                      [&](const Option& o) { return std::strcmp(o.word, word) == 0; });
  return option == std::end(kOptions) ? nullptr : option;
}

void PrintHelp() {
  for (const char* line : kHelp) std::puts(line);
  FlushReport();
}

// The block size --align works to where the file system gives none.
constexpr int64_t kUsualBlock = 4096;

// The destination's file system, as its folder shows it.
std::optional<FileSystem> DestinationFileSystem(const RunState& state) {
  return FileSystemOf(DirectoryOf(state.tasks.destination_name).c_str());
}

DestinationLayout LayoutOf(const RunState& state, const std::optional<FileSystem>& fs, Alignment* alignment) {
  const int64_t block = fs && fs->block > 0 ? fs->block : kUsualBlock;
  return DestinationLayoutOf(state.plan, state.options.align ? block : 0, alignment);
}

// The task file's name among the words from `next` on: the first word that
// is no option ("--" alone ends them); nullptr when there is none.
const char* TaskFileWord(int argc, const char* const* argv, int next) {
  for (; next < argc; ++next) {
    if (std::strcmp(argv[next], "--") == 0) return next + 1 < argc ? argv[next + 1] : nullptr;
    if (std::strncmp(argv[next], "--", 2) != 0) return argv[next];
    const Option* option = FindOption(argv[next]);
    if (option != nullptr && option->file != nullptr) ++next;  // its file
  }
  return nullptr;
}

// Words starting with "--" before the task file's name are options, each at
// most once ("--" alone ends them); the first other word is the task file,
// and any further words are ignored, but for an option there: meant for
// this run, it must not be ignored (a check would become a run).
void ReadCommandLine(int argc, const char* const* argv, RunState& state) {
  int next = 1;
  for (; next < argc && std::strncmp(argv[next], "--", 2) == 0; ++next) {
    if (std::strcmp(argv[next], "--") == 0) {
      ++next;
      break;
    }
    const Option* option = FindOption(argv[next]);
    const bool given = option != nullptr &&
                       (option->file != nullptr ? !(state.options.*option->file).empty() : state.options.*option->flag);
    // A JSON document of a refusal names the task file given all the same.
    const auto refuse = [&](const char* format) {
      if (const char* name = TaskFileWord(argc, argv, next + 1)) state.task_path = name;
      Fail(ExitStatus::kTaskError, format, argv[next]);
    };
    if (option == nullptr || given) refuse(message::kUnknownOption);
    if (option->file == nullptr) {
      state.options.*option->flag = true;
      continue;
    }
    // Its file: the next word, which no option may stand in for.
    const char* file = next + 1 < argc ? argv[next + 1] : nullptr;
    if (file == nullptr || *file == '\0' || std::strncmp(file, "--", 2) == 0) refuse(message::kOptionNeedsFile);
    state.options.*option->file = file;
    ++next;
  }
  for (const auto& [name, option, slot] : {std::tuple{&state.options.labels, "--labels", StopSlot::kLabels},
                                           std::tuple{&state.options.chapters, "--chapters", StopSlot::kChapters},
                                           std::tuple{&state.options.plot, "--plot", StopSlot::kPlot}}) {
    if (name->empty()) continue;
    state.marker_files.emplace_back();
    MarkerFile& file = state.marker_files.back();
    file.option = option;
    file.name = *name;
    file.slot = slot;
  }
  if (next < argc) {
    const char* argument = argv[next];
    if (std::strlen(argument) > static_cast<size_t>(kMaxNameLength)) {
      Fail(ExitStatus::kTaskError, message::kTaskFileNameTooLong, kMaxNameLength);
    }
    state.task_path = argument;
    for (int later = next + 1; later < argc; ++later) {
      if (std::strncmp(argv[later], "--", 2) == 0) {
        Fail(ExitStatus::kTaskError, message::kOptionAfterTaskFile, argv[later]);
      }
    }
  }
}

// Reads the task file, printing what the reader says (and, on standard
// error, what it forgave: also when it then refuses the file). With --json
// the document says both.
void ReadTask(RunState& state, bool warn) {
  const auto forgiven = [&] {
    if (!warn) return;
    for (const Warning& w : TextWarnings(state.notes)) {
      if (state.options.json) {
        state.warnings.push_back(w);
      } else {
        std::fprintf(stderr, message::kTextWarning, w.line, w.text.c_str());
      }
    }
  };
  try {
    state.tasks = ReadTaskFile(state.task_path, &state.notes);
  } catch (const RunFailure&) {
    forgiven();
    throw;
  }
  forgiven();
  if (state.options.json) return;
  std::fputs(state.tasks.said.c_str(), stdout);
  std::printf(message::kEntryCount, static_cast<int>(state.tasks.entries.size()));
}

void PrintJson(const RunState& state, JsonMode mode) {
  std::fputs(JsonDocument(state, mode, nullptr).c_str(), stdout);
  FlushReport();
}

void PrintWarnings(const std::vector<Warning>& warnings) {
  for (const Warning& w : warnings) {
    if (w.line > 0) {
      std::printf("line %i: %s\n", w.line, w.text.c_str());
    } else {
      std::printf("%s\n", w.text.c_str());
    }
  }
}

void PrintLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
}

// The files no sweep may remove, whatever their names: the task file, the
// sources and the label files (the destination the sweep knows).
std::vector<FileIdentity> OwnFiles(const RunState& state) {
  std::vector<FileIdentity> own;
  if (const std::optional<FileIdentity> task = IdentityOfName(state.task_path.c_str())) own.push_back(*task);
  for (const Entry& entry : state.plan.entries) {
    own.push_back(entry.source.identity);
    for (const NamedFile& labels : entry.task.label_files) {
      if (const std::optional<FileIdentity> file = IdentityOfName(labels.name.c_str())) own.push_back(*file);
    }
  }
  return own;
}

// What a run says on standard error, and a check among its warnings, about
// the destination it replaces: that its other names keep the old content,
// and which files in its folder may be left by killed runs.
std::vector<std::string> ReplacingNotes(const std::string& name, const ReplaceTarget& target,
                                        const std::vector<std::string>& leftovers) {
  std::vector<std::string> notes;
  if (target.replaces && target.replaced.st_nlink > 1)
    notes.push_back(Format(message::kOtherNames, Printable(name).c_str()));
  const std::string folder = DirectoryOf(target.path);
  for (const std::string& left : leftovers) {
    const std::string path = folder == "." ? left : folder.back() == '/' ? folder + left : folder + "/" + left;
    notes.push_back(Format(message::kLeftover, Printable(path).c_str()));
  }
  return notes;
}

// The line of the task file's last "dest", for a check's warnings about it.
int DestinationLine(const ReadNotes& notes) {
  int line = 0;
  for (const TokenNote& token : notes.tokens) {
    if (token.role == TokenRole::kCommand && token.text == "dest") line = token.line;
  }
  return line;
}

// The width of the terminal the check's timeline is drawn for.
int TerminalColumns() {
  winsize terminal{};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &terminal) == 0 && terminal.ws_col >= 20 ? terminal.ws_col : 80;
}

// With "loud" or "peak", a check builds the programme where no one sees it
// (RenderForCheck) and measures it as a run would, gain and all; for a
// picture (`plot`) it builds it as well, for the destination's envelope
// (and with --loudness its loudness curve).
void CheckProgramme(RunState& state, const DestinationLayout& layout, CheckReport& report, PlotData* plot) {
  const bool goal = state.plan.loudness_goal.Active();
  const bool rendered = RenderForCheck(state, layout);
  if (rendered && goal) {
    state.loudness = FinishProgramme(state, layout, plot);
    for (const std::string& line : ProgrammeLines(*state.loudness, state.plan.loudness_goal)) {
      report.destination.push_back(line);
    }
  } else if (rendered && plot != nullptr && state.options.loudness) {
    // Measured for the picture's curve only: the check's text stays as it is.
    (void)FinishProgramme(state, layout, plot);
  } else if (rendered && plot != nullptr) {
    FoldDestination(state, *plot->destination);
  }
  if (goal) {
    for (Warning& w : ProgrammeWarnings(state.notes, rendered ? &*state.loudness : nullptr, state.plan.loudness_goal)) {
      report.warnings.push_back(std::move(w));
    }
  }
  if (!rendered && plot != nullptr) {
    plot->destination.reset();
    plot->destination_missing = message::kPlotNotRendered;
    report.warnings.push_back(
        {0, Format("the picture does not show the destination's envelope: %s", message::kPlotNotRendered)});
  }
  // The render goes: its files never had names.
  state.destination = DestinationFile();
}

// A check of the task file: reads it and resolves the plan as a run does,
// then shows the plan and the likely mistakes and writes nothing. Refusals
// end it as they end a run, after the mistakes found so far.
ExitStatus RunCheck(RunState& state) {
  const ReadNotes& notes = state.notes;
  const bool json = state.options.json;
  try {
    ReadTask(state, false);
  } catch (const RunFailure&) {
    // What the reader forgave before it refused often explains the refusal.
    state.warnings = TextWarnings(notes);
    if (!json) PrintWarnings(state.warnings);
    throw;
  }
  ReplaceTarget target;
  EditRefusal refusal;
  try {
    RefuseReplacingInputs(state.marker_files, state.tasks, state.task_path);
    state.plan = ResolvePlan(state.tasks, state.task_path, &refusal);
    if (state.options.loudness) MeasureCopies(state.plan);
    target = CheckDestination(state.tasks.destination_name, true);
    CheckMarkerFiles(state.marker_files);
    // A run makes its work file in the working directory for every crossfade
    // whose width it can render (a mixed entry's is ignored).
    const bool work_file = std::any_of(state.tasks.entries.begin(), state.tasks.entries.end(), [&](const TaskEntry& t) {
      return Crossfades(t) && CrossfadeWidth(t, state.plan.format) >= 0;
    });
    if (work_file && access(".", W_OK | X_OK) != 0) Fail(ExitStatus::kWavError, message::kCannotCreate, kWorkFileName);
  } catch (const RunFailure&) {
    if (refusal.entry < 0) {
      state.warnings = TextWarnings(notes);
      if (!json) PrintWarnings(state.warnings);
      throw;
    }
    const CheckReport explained = ExplainRefusal(state.tasks, notes, refusal);
    state.warnings = explained.warnings;
    if (json) throw;
    if (!explained.plan.empty()) {
      std::printf("%s\n", explained.plan_heading.c_str());
      PrintLines(explained.plan);
      std::printf("\n");
    }
    PrintWarnings(explained.warnings);
    throw;
  }

  const std::optional<FileSystem> fs = DestinationFileSystem(state);
  SharingView sharing{
      .file_system = fs.value_or(FileSystem{}), .forecast = {}, .align = state.options.align, .alignment = {}};
  const DestinationLayout layout = LayoutOf(state, fs, &sharing.alignment);
  sharing.forecast = ForecastSharing(state.plan, PlainRuns(state.plan), sharing.file_system, SamplesStart(layout));
  const bool shown = sharing.align || CanShareBlocks(sharing.file_system.type);
  CheckReport report = CheckTask(state.tasks, notes, state.plan, target, layout, shown ? &sharing : nullptr,
                                 TerminalColumns(), state.options.loudness);
  // What the run would write besides the destination is written too: not
  // where --update would do nothing.
  const bool up_to_date = state.options.update && DestinationUpToDate(state.tasks, state.task_path);
  PlotData plot;
  const bool plotting = !up_to_date && PlotFile(state) != nullptr;
  if (plotting) {
    state.instructions = DetectInstructionSet();
    // Unless the programme is measured (which reads every sample), the
    // render leaves out the plain frames nothing later touches: the lanes'
    // reading of their sources gives the destination's envelope there.
    if (!state.plan.loudness_goal.Active() && !state.options.loudness) {
      state.render_skips = UntouchedPlainFrames(state.plan);
    }
    plot.destination = StartFold(PlotGrid(state));
    plot.lanes = FoldLanes(state, &*plot.destination);
  }
  if (state.plan.loudness_goal.Active() || plotting) CheckProgramme(state, layout, report, plotting ? &plot : nullptr);
  const std::vector<std::string> leftovers = SweepDeadTemporaries(target, OwnFiles(state), false);
  for (const std::string& note : ReplacingNotes(state.tasks.destination_name, target, leftovers)) {
    report.warnings.push_back({DestinationLine(notes), note});
  }
  if (!up_to_date && !state.marker_files.empty()) {
    if (plotting) {
      std::stable_sort(report.warnings.begin(), report.warnings.end(),
                       [](const Warning& a, const Warning& b) { return a.line < b.line; });
      MakePicture(state, report, plot);
    }
    WriteMarkerFiles(state.marker_files, state.plan, OwnFiles(state), false);
    for (const MarkerFile& file : state.marker_files) {
      for (const std::string& note : ReplacingNotes(file.name, file.target, file.leftovers)) {
        report.warnings.push_back({0, note});
      }
    }
    CommitMarkerFiles(state.marker_files, state.options.sync);
    state.plot_written = plotting;
  }
  std::stable_sort(report.warnings.begin(), report.warnings.end(),
                   [](const Warning& a, const Warning& b) { return a.line < b.line; });
  if (up_to_date) {
    report.destination.push_back("\tUp to date: newer than the task file and every source (--update does nothing)");
  }
  const ExitStatus status = report.warnings.empty() ? ExitStatus::kSuccess : ExitStatus::kCheckWarnings;
  if (json) {
    state.planned = true;
    state.rf64 = IsRf64(layout);
    if (shown) state.sharing = sharing;
    state.warnings = report.warnings;
    state.check = std::move(report);
    PrintJson(state, JsonMode::kCheck);
    return status;
  }
  std::fputs(state.plan.said.c_str(), stdout);
  std::printf("%s\n", report.plan_heading.c_str());
  PrintLines(report.plan);
  std::printf("\n");
  PrintLines(report.destination);
  if (!report.markers.empty()) {
    std::printf("\n");
    PrintLines(report.markers);
  }
  if (!report.timeline.empty()) {
    std::printf("\n");
    PrintLines(report.timeline);
  }
  std::printf("\n%s\n", report.warnings.empty() ? "No warnings" : "Warnings:");
  PrintWarnings(report.warnings);
  FlushReport();
  return status;
}

// Resolves the plan of a run. Where an entry's edit is refused, standard
// output says only which source; where and why go with the warnings, as a
// check would explain them.
void PlanRun(RunState& state) {
  EditRefusal refusal;
  try {
    state.plan = ResolvePlan(state.tasks, state.task_path, &refusal);
  } catch (const RunFailure&) {
    if (refusal.entry >= 0)
      ReviewWarnings(state, {ExplainRefusal(state.tasks, state.notes, refusal).warnings.back()}, false);
    throw;
  }
  state.planned = true;
  // What the label files held that is no label, as a check warns of it.
  ReviewWarnings(state, LabelFileWarnings(state.plan), false);
}

// With --strict, before anything is written: the warnings a check of the
// task would give, those about its text said already while it was read.
void CheckStrictly(RunState& state, const DestinationLayout& layout) {
  const ReplaceTarget target = FindReplaceTarget(state.tasks.destination_name);
  CheckReport report = CheckTask(state.tasks, state.notes, state.plan, target, layout, nullptr, 80);
  const std::vector<std::string> leftovers = SweepDeadTemporaries(target, OwnFiles(state), false);
  for (const std::string& note : ReplacingNotes(state.tasks.destination_name, target, leftovers)) {
    report.warnings.push_back({DestinationLine(state.notes), note});
  }
  std::vector<Warning> said = TextWarnings(state.notes);
  const std::vector<Warning> labels = LabelFileWarnings(state.plan);
  said.insert(said.end(), labels.begin(), labels.end());
  std::vector<Warning> found;
  for (const Warning& w : report.warnings) {
    const auto same =
        std::find_if(said.begin(), said.end(), [&](const Warning& s) { return s.line == w.line && s.text == w.text; });
    if (same != said.end()) {
      said.erase(same);
    } else {
      found.push_back(w);
    }
  }
  ReviewWarnings(state, found, !report.warnings.empty());
}

}  // namespace

void ReviewWarnings(RunState& state, const std::vector<Warning>& found, bool refuse) {
  for (const Warning& w : found) {
    if (state.options.json) {
      state.warnings.push_back(w);
    } else if (w.line > 0) {
      std::fprintf(stderr, message::kTextWarning, w.line, w.text.c_str());
    } else {
      std::fprintf(stderr, message::kNote, w.text.c_str());
    }
  }
  if (state.options.strict && refuse) Fail(ExitStatus::kCheckWarnings, message::kStrictRefusal);
}

ExitStatus RunEditor(int argc, const char* const* argv, RunState& state) {
  // The destination is given this time, from the clock file times come
  // from: whatever changes while the run reads it is newer, and the next
  // --update builds again.
  clock_gettime(CLOCK_REALTIME_COARSE, &state.started);
  if (argc > 1 && (std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    PrintHelp();
    return ExitStatus::kTaskError;
  }
  ReadCommandLine(argc, argv, state);
  if (state.options.help) {
    PrintHelp();
    return ExitStatus::kSuccess;
  }
  if (state.options.version) {
    std::printf(message::kVersion, WAVSPLICE_VERSION);
    FlushReport();
    return ExitStatus::kSuccess;
  }
  if (state.options.check) return RunCheck(state);

  ReadTask(state, true);
  RefuseReplacingInputs(state.marker_files, state.tasks, state.task_path);
  if (state.options.update && DestinationUpToDate(state.tasks, state.task_path)) {
    // An up-to-date destination built from a task that warns is no success
    // under --strict either: a script would take it as a clean build.
    if (state.options.strict) {
      PlanRun(state);
      state.instructions = DetectInstructionSet();
      CheckStrictly(state, LayoutOf(state, DestinationFileSystem(state), nullptr));
    }
    if (state.options.json) {
      PrintJson(state, JsonMode::kUpToDate);
    } else {
      std::printf(message::kUpToDate, state.tasks.destination_name.c_str());
      FlushReport();
    }
    return ExitStatus::kSuccess;
  }
  PlanRun(state);
  if (!state.options.json) std::fputs(state.plan.said.c_str(), stdout);
  state.instructions = DetectInstructionSet();
  const std::optional<FileSystem> fs = DestinationFileSystem(state);
  const DestinationLayout layout = LayoutOf(state, fs, nullptr);
  state.rf64 = IsRf64(layout);
  if (state.options.strict) {
    CheckStrictly(state, layout);
  } else {
    ReviewWarnings(state, LoudnessWarnings(state.notes, state.plan), false);
  }
  CheckMarkerFiles(state.marker_files);
  // Blocks that are to be shared are not reserved first: that would cost the
  // space and the time sharing saves.
  const bool sharing = fs && CanShareBlocks(fs->type) &&
                       ForecastSharing(state.plan, PlainRuns(state.plan), *fs, SamplesStart(layout)).shared > 0;
  state.destination = CreateDestination(state.tasks.destination_name, layout, !sharing, OwnFiles(state));
  const DestinationFile& made = state.destination;
  for (const std::string& note : ReplacingNotes(made.name, made.target, made.leftovers)) {
    std::fprintf(stderr, message::kNote, note.c_str());
  }
  const std::optional<FileSystem> written = FileSystemOf(state.destination.temporary.file);
  // A programme gain rewrites every sample: its destination shares no block.
  if (written && !state.plan.loudness_goal.Active())
    state.scratch.sharing = BlockSharing{.block = written->block, .device = written->device, .reserved = !sharing};
  ExecuteEntries(state);
  // The picture shows what was built: the destination's envelope from its
  // samples as written, before it is moved into place.
  PlotData plot;
  plot.built = true;
  const bool plotting = PlotFile(state) != nullptr;
  if (MeasuresProgramme(state)) {
    state.loudness = FinishProgramme(state, layout, plotting ? &plot : nullptr);
    for (Warning& w : ProgrammeWarnings(state.notes, &*state.loudness, state.plan.loudness_goal)) {
      state.built_warnings.push_back(std::move(w));
    }
  } else if (plotting) {
    plot.destination = StartFold(PlotGrid(state));
    FoldDestination(state, *plot.destination);
  }
  ReviewWarnings(state, state.built_warnings, !state.built_warnings.empty());
  if (plotting) {
    plot.lanes = FoldLanes(state);
    CheckReport report = CheckTask(state.tasks, state.notes, state.plan,
                                   FindReplaceTarget(state.tasks.destination_name), layout, nullptr, 80);
    report.warnings.insert(report.warnings.end(), state.built_warnings.begin(), state.built_warnings.end());
    std::stable_sort(report.warnings.begin(), report.warnings.end(),
                     [](const Warning& a, const Warning& b) { return a.line < b.line; });
    MakePicture(state, report, plot);
  }
  WriteMarkerFiles(state.marker_files, state.plan, OwnFiles(state), true);
  for (const MarkerFile& file : state.marker_files) {
    for (const std::string& note : ReplacingNotes(file.name, file.target, file.leftovers)) {
      std::fprintf(stderr, message::kNote, note.c_str());
    }
  }
  // A report that could not be written so far keeps the old destination.
  FlushReport();
  // The label and chapter files go into place first and the destination
  // last: --update goes by the destination, so a run that fails in between
  // is built again, files and all. A stop meanwhile waits, and is let
  // through where the destination is not moved into place.
  std::optional<StopHold> stops;
  if (!state.marker_files.empty()) stops.emplace();
  CommitMarkerFiles(state.marker_files, state.options.sync);
  state.plot_written = plotting;
  CommitDestination(state.destination, state.options.sync, &state.started);
  if (stops) stops->keep = true;
  if (state.options.json) {
    PrintJson(state, JsonMode::kRun);
  } else {
    PrintReport(state);
    FlushReport();
  }
  return ExitStatus::kSuccess;
}
