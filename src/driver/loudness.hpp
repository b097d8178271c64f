#pragma once

#include "check/plot.hpp"
#include "driver/run.hpp"
#include "wav/header.hpp"

// The destination's loudness, to EBU R128: measured once it is built, given
// the programme's one gain ("loud", "peak"), and said after the report.

// Whether the run measures its destination: with --loudness, "loud" or "peak".
bool MeasuresProgramme(const RunState& state);

// Measures the destination as built (its samples read once, in order), and
// with a goal gives it its gain in one pass over it in place (scaled as a
// level change scales, the result measured on the way). A destination with
// a bext gets what was measured in its loudness fields (not in a check's
// render, which nobody reads). With `plot`, the pass that reads the samples
// as written folds them into the picture's envelope of the destination and
// keeps its short-term loudness curve.
ProgrammeLoudness FinishProgramme(RunState& state, const DestinationLayout& layout, PlotData* plot = nullptr);

// The report's lines of the destination's loudness, once measured.
void PrintProgrammeLoudness(const RunState& state);
