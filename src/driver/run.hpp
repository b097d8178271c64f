#pragma once

#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check/check.hpp"
#include "common/failure.hpp"
#include "driver/marker_files.hpp"
#include "dsp/cpu.hpp"
#include "dsp/mix.hpp"
#include "engine/copy.hpp"
#include "engine/destination.hpp"
#include "io/work_file.hpp"
#include "plan/plan.hpp"
#include "task/task_list.hpp"

// The options of the command line.
struct CommandOptions {
  bool check = false;    // show the plan and the likely mistakes, write nothing
  bool sync = false;     // flush the destination and its folder to disk before saying Built
  bool align = false;    // a JUNK chunk before the samples lines the largest plain copy up with its source's blocks
  bool json = false;     // standard output is one JSON document
  bool update = false;   // nothing to do when the destination is newer than the task file and every source
  bool strict = false;   // any warning a check would give (or the run finds) refuses the run
  bool loudness = false;  // the destination's loudness (a check's: every entry's copy) to EBU R128
  bool help = false;     // print the help text and end with status 0
  bool version = false;  // print the version and end with status 0
  std::string labels;    // write the destination's markers as a label file of this name
  std::string chapters;  // write them as a JSON chapters file of this name
  std::string plot;      // draw the plan (a run's: what it built) as an SVG picture of this name
};

// What became of an entry the run executed, for the JSON document.
struct EntryOutcome {
  int entry = 0;                            // index in task-file order
  const char* crossfade_failure = nullptr;  // the message saying why its crossfade was not made; nullptr: made or none
  int64_t clipped = 0;
};

// Everything a run works on, owned by the entry point for the whole run.
struct RunState {
  CommandOptions options;
  struct timespec started {};  // when the run started, by the clock file times come from
  std::string task_path = "task.txt";
  TaskList tasks;
  ReadNotes notes;  // what the reader saw: lines of entries, forgiven text
  Plan plan;
  DestinationFile destination;  // being built, under a temporary name until complete
  std::vector<MarkerFile> marker_files;  // --labels and --chapters, written with it
  CopyScratch scratch;
  KeptCurve curve;  // the last crossfade's curve, for the next entry with the same one
  // The crossfade work file, kept from the first crossfade to the last.
  WorkFileHold work_file;
  InstructionSet instructions = InstructionSet::kPortable;  // what the processor has
  // For the JSON document: the entries executed so far (in write order), the
  // warnings gathered (the reader's, a check's), a check's report.
  std::vector<EntryOutcome> outcomes;
  std::vector<Warning> warnings;
  CheckReport check;
  // Warnings that only the built destination shows, gathered while it is
  // built: they are said before it is moved into place, and with --strict
  // they fail the run there, leaving the old destination as it was.
  std::vector<Warning> built_warnings;
  bool planned = false;                // the plan was resolved
  bool rf64 = false;                   // the destination's layout is RF64
  std::optional<SharingView> sharing;  // a check's forecast of block sharing, where it shows one
  // The destination's loudness once measured (--loudness, "loud", "peak"),
  // by a run or by a check's render of the programme.
  std::optional<ProgrammeLoudness> loudness;
  // A check's render of the programme (see driver/render.hpp): its entries
  // print nothing, and their crossfades' work files are files without names
  // in this folder. Empty in a run.
  std::string render_folder;
  // A render for a picture alone leaves out, by position in the write
  // order, the plain frames nothing later touches (UntouchedPlainFrames):
  // they are their sources' bytes, which the picture reads there.
  std::vector<std::vector<FrameSpan>> render_skips;
  bool plot_written = false;  // the picture went into place
};

// Says warnings a run found besides those about the task file's text: on
// standard error ("wavsplice: line N: ...", or "wavsplice: ..." for one of no
// line), or with --json in the document.
// With --strict, ends the run with status 3 when `refuse` (a warning was
// found, now or before).
void ReviewWarnings(RunState& state, const std::vector<Warning>& found, bool refuse);

// The whole run for a command line: help, or read, plan, execute and report
// (or check). Returns the exit status of a run that ends normally (0, 1
// after the help text, 3 for a check with warnings); refusals end the run
// with RunFailure.
ExitStatus RunEditor(int argc, const char* const* argv, RunState& state);
