#pragma once

#include <string>
#include <vector>

#include "io/replace.hpp"
#include "plan/plan.hpp"
#include "plan/sharing.hpp"
#include "task/reader.hpp"
#include "task/task_list.hpp"
#include "task/text_warnings.hpp"

// What a check of a task file found, as the lines that say it: where every
// entry will land in write order, the destination, a timeline, and the
// likely mistakes. The driver prints it.
struct CheckReport {
  std::string plan_heading;
  std::vector<std::string> plan;
  std::vector<std::string> destination;
  std::vector<std::string> markers;   // heading first; empty without markers
  std::vector<std::string> timeline;  // heading first; empty without frames
  std::vector<Warning> warnings;      // in order of line
  // By entry in task-file order, for a document of the plan: why its
  // crossfade would not be made ("" when it would, or it has none), and the
  // tasks written before it that it overwrites.
  std::vector<std::string> crossfade_failures;
  std::vector<std::vector<int>> overwrites;
  bool replaces = false;  // the destination exists
};

// How a run would share blocks with its sources, for a check to show (with
// --align, or where the destination's file system can share).
struct SharingView {
  FileSystem file_system;
  SharingForecast forecast;
  bool align = false;
  Alignment alignment;  // with align
};

// The report of a plan that passed, for a destination of this layout;
// `sharing` when it is to be shown. `columns` is the width of the timeline's
// terminal. With `loudness` (--loudness), every entry's copy measured is
// shown (MeasureCopies).
CheckReport CheckTask(const TaskList& tasks, const ReadNotes& notes, const Plan& plan, const ReplaceTarget& target,
                      const DestinationLayout& layout, const SharingView* sharing, int columns, bool loudness = false);

// The loudness warnings a run gives as well as a check: an entry whose
// "lufs" cannot choose its level, a ceiling above what integers hold.
std::vector<Warning> LoudnessWarnings(const ReadNotes& notes, const Plan& plan);

// The lines that show the destination's loudness (after a run's report, and
// a check's destination): as built and the gain it got, with a goal; as
// written.
std::vector<std::string> ProgrammeLines(const ProgrammeLoudness& loudness, const LoudnessGoal& goal);

// What the built destination's loudness warns of: a target the ceiling kept
// the gain from, a programme that measures nothing; without `loudness`, that
// a check could not build the programme to measure it.
std::vector<Warning> ProgrammeWarnings(const ReadNotes& notes, const ProgrammeLoudness* loudness,
                                       const LoudnessGoal& goal);

// Why an entry's "lufs" could not choose its level ("" where it did).
std::string LufsReason(const CopyLoudness& copy);

// What an entry's "lufs" did, as its summary and a check show it (with a
// tab first, no newline); "" without one.
std::string LufsLine(const Entry& entry);

// The lines of the label files the plan left out, as warnings at the line of
// the "labels" that first names each file (the first 100 lines of a file,
// then how many more).
std::vector<Warning> LabelFileWarnings(const Plan& plan);

// Where a marker of the destination comes from, as a check says it: "mark of
// task 2 (line 7)", "line 12 of chapters.txt (task 2)", "cue point 4 of
// reel.wav (task 1)".
std::string MarkerOriginText(const Plan& plan, const MarkerOrigin& origin);

// Before the refusal of an edit: where the entries before it would land, in
// task-file order, and a warning at its "src" line naming the value at fault.
CheckReport ExplainRefusal(const TaskList& tasks, const ReadNotes& notes, const EditRefusal& refusal);
