#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/audio_format.hpp"
#include "common/exact_number.hpp"
#include "dsp/crossfade.hpp"
#include "task/task_list.hpp"
#include "wav/crossfade_file.hpp"
#include "wav/destination.hpp"
#include "wav/source.hpp"

// Where one entry's segment comes from and lands, in frames.
struct EntryPlan {
  int read_start_frame = 0;
  int read_length = 0;  // 0 or less: nothing is copied
  int insert_frame = 0;
  bool stop_cut = false;  // the stop lay past the source's end
  // The copy start and the stop as written (after its default and trim),
  // exactly, in frames: the values times the rate (or times 1 for samples).
  ExactNumber start_units;
  ExactNumber stop_units;
};

// Why the plan refused an entry, for a check to show: the run itself says
// only "Edit start/stop set incorrectly".
struct EditRefusal {
  int entry = -1;            // in task-file order; -1: none
  const char* command = "";  // whose value is at fault ("" for an appended position)
  std::string reason;        // what that value does wrong
};

// The options of the command line.
struct CommandOptions {
  bool check = false;  // show the plan and the likely mistakes, write nothing
  bool sync = false;   // flush the destination and its folder to disk before saying Built
};

// Everything a run works on, owned by the entry point for the whole run.
struct RunState {
  CommandOptions options;
  std::string task_path = "task.txt";
  TaskList tasks;
  std::vector<EntryPlan> plan;  // one per task entry, in task-file order
  std::vector<SourceFile> sources;  // one per task entry, read for the plan and kept open for the copies
  std::vector<int> write_order;
  // The sources' common format; without entries there is no source to take
  // it from, and CD-quality stereo stands in.
  AudioFormat format;
  int destination_length = 0;
  DestinationFile destination;  // being built, under a temporary name until complete
  CopyScratch scratch;
  KeptCurve curve;  // the last crossfade's curve, for the next entry with the same one
  EditRefusal refusal;
};

// Seconds as the summaries show them: frames and rate in single precision.
double Seconds(int64_t frames, uint32_t rate);

// The whole run for a command line: help, or read, plan, execute and report.
// Returns the exit status of a run that ends normally (0, or 1 after the help
// text); refusals end the run with RunFailure.
int RunEditor(int argc, const char* const* argv, RunState& state);

// Reads the sources, checks and converts every entry, decides the write order
// and the destination's length. Creates no file.
void ResolvePlan(RunState& state);

// After a refusal of entry `count` (or later): the insert frames of the
// entries before it, as far as they can be placed. Returns how many are.
size_t PlaceLeadingEntries(RunState& state, size_t count);

// A check of the task file: reads it and resolves the plan as a run does,
// then shows the plan and the likely mistakes and writes nothing. Returns 0,
// or 3 when there are warnings; refusals end it as they end a run.
int RunCheck(RunState& state);

// Writes every entry in write order with its summary, moves the complete
// destination onto its name, then prints the report.
void ExecuteEntries(RunState& state);
void PrintReport(const RunState& state);

// The crossfade of entry e around its segment copy: rendered into the work
// file before the copy (nothing when it could not be, after saying so),
// laid over the splice after it. The work file is this run's until the hold
// goes.
std::optional<WorkFileHold> PrepareCrossfade(RunState& state, int e, int width_frames, bool source_present,
                                             const Continuation& outgoing, int64_t& clipped);

// The outgoing entry of the crossfade of the entry at `position` of the write
// order: the entry written last, before it, over the frame before its splice
// (-1: none), and the frames of the window that no entry written before it
// covers (none without an outgoing entry).
struct OutgoingPlan {
  int entry = -1;
  std::vector<FrameSpan> uncovered;
};
OutgoingPlan PlanOutgoing(const RunState& state, size_t position, int width_frames);

// The outgoing side of that crossfade where no entry lies under the window:
// the outgoing entry carried on, its source refreshed. Nothing to carry on
// when there is no outgoing entry or every frame of the window is covered.
Continuation OutgoingEntry(RunState& state, size_t position, int width_frames);
void PlaceCrossfade(RunState& state, int e, int width_frames, const WorkFileHold& work);

// The crossfade width of an entry in frames; -1 when it cannot be rendered.
int CrossfadeWidth(const RunState& state, const TaskEntry& entry);

// Whether a rendered crossfade is laid over its splice: not when it would
// start at the destination's first frame or before it.
inline bool CrossfadeIsLaid(int insert_frame, int width_frames) {
  return int64_t{insert_frame} - width_frames / 2 >= 1;
}
