#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/file.hpp"
#include "io/replace.hpp"
#include "io/stop.hpp"
#include "plan/plan.hpp"
#include "task/task_list.hpp"

// The files a run writes besides its destination: from its markers a label
// file (--labels) and a JSON chapters file (--chapters), and the picture of
// its plan (--plot). Each is built aside and moved into place as the
// destination is (see io/replace.hpp).
struct MarkerFile {
  const char* option = "";  // "--labels", "--chapters" or "--plot"
  std::string name;         // as the command line gives it
  StopSlot slot = StopSlot::kLabels;
  std::string text;         // the picture's, made before the files are written
  ReplaceTarget target;
  TemporaryFile temporary;
  // Hidden files in its folder that may be left by runs that were killed,
  // which the sweep could not prove dead and ours.
  std::vector<std::string> leftovers;
};

// A time as the files give it: the smallest number of seconds with six
// decimals (more above 1 MHz) that reads back, truncated, as every time is
// read, to the frame.
std::string SecondsText(int64_t frame, uint32_t rate);

// The destination's markers as an Audacity label file: "start<TAB>end<TAB>
// label" a line, a point's end its start, tabs and line ends in a label
// written as spaces.
std::string LabelTrackText(const Plan& plan);

// The destination's markers as a JSON chapters file of the podcast
// namespace, version 1.2.0: in order of time, each with its startTime, its
// title (a marker without a label has none) and, for a region, its endTime;
// a title's bytes that are not UTF-8 become U+FFFD.
std::string ChaptersText(const Plan& plan);

// Ends the run with status 1 when one of the files would replace the task
// file, a source, a label file, the destination, the crossfade work file or
// the other one (by name or through a link).
void RefuseReplacingInputs(std::span<const MarkerFile> files, const TaskList& tasks, const std::string& task_path);

// Ends the run with status 2 when one of the files could not replace what
// stands at its name (no regular file we may write, no write bit), or its
// folder takes no new files.
void CheckMarkerFiles(std::span<MarkerFile> files);

// Writes each file under a temporary name beside its own, after sweeping what
// dead runs left there (with `sweep`; never a file in `keep`): the markers as
// the option asks, the picture its text. Every failure
// ends the run with status 2, and the files written so far are removed.
void WriteMarkerFiles(std::span<MarkerFile> files, const Plan& plan, std::span<const FileIdentity> keep, bool sweep);

// Moves each file into place (with `sync`, flushed first). A failure ends the
// run with status 2; the files moved before it stay.
void CommitMarkerFiles(std::span<MarkerFile> files, bool sync);
