#pragma once

#include <optional>
#include <string>
#include <vector>

#include "check/check.hpp"
#include "dsp/envelope.hpp"
#include "plan/plan.hpp"
#include "task/reader.hpp"
#include "task/task_list.hpp"

// --plot: the plan as a picture, one self-contained SVG document returned for
// the driver to write. It shows a time ruler in the task file's units, one
// lane per entry in write order with its envelope as it will sound (solid
// where it survives, faded and hatched where a later entry replaces it), its
// crossfade's window and curves, its fades and the duck under a mixed entry,
// the markers as labelled lines (regions as spans), the parts that are
// refused or ignored marked with their warning's line, and on top the
// destination's own envelope and, measured, its short-term loudness. Every
// shape carries a tooltip with its exact frames. Names and labels are shown
// as text only (Displayable, escaped for XML): nothing in them can break or
// script the picture.

// The columns of every envelope: one a pixel of the plot at 1600 pixels wide.
inline constexpr int kPlotColumns = 1330;

// What the picture shows besides the plan.
struct PlotData {
  std::vector<ColumnFold> lanes;          // by position in the write order
  std::optional<ColumnFold> destination;  // absent: not drawn, for `destination_missing`
  std::string destination_missing;
  // Short-term loudness (LUFS) of the windows ending every `every` 100 ms
  // steps of the destination; empty without a measurement.
  std::vector<float> short_term;
  int short_term_every = 0;
  std::optional<double> target_lufs;  // "loud"
  bool built = false;                 // a run's picture of what it built; else a check's of what a run would build
};

// The picture of a plan that passed, with the check's report of it (its
// warnings and why crossfades would not be made).
std::string PlotPicture(const TaskList& tasks, const ReadNotes& notes, const Plan& plan, const CheckReport& report,
                        const std::string& task_path, const PlotData& data);
