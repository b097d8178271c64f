#pragma once

#include "check/check.hpp"
#include "check/plot.hpp"
#include "driver/run.hpp"

// --plot: the envelopes the picture is drawn from, and its text, which the
// driver writes with the label and chapter files (see marker_files.hpp).

// The grid of every envelope of the picture: the destination's frames over
// its columns.
ColumnGrid PlotGrid(const RunState& state);

// Each entry's envelope as it will sound, by position in the write order:
// its range read once from its source (opened again, and closed after). The
// frames a check's render leaves out (the state's render_skips) go into
// `destination` on the way. A source that is gone or changed ends the run
// with status 2.
std::vector<ColumnFold> FoldLanes(RunState& state, ColumnFold* destination = nullptr);

// Folds the destination's samples into its envelope, read once in order
// (but those its render left out), where no measurement of its loudness
// reads them (FinishProgramme does then).
void FoldDestination(const RunState& state, ColumnFold& fold);

// The short-term loudness curve of a programme the meter measured, at about
// a point a column.
void KeepLoudnessCurve(const RunState& state, const LoudnessMeter& meter, PlotData& plot);

// The picture of the state's plan, with the check's report of it, into the
// --plot file's text.
void MakePicture(RunState& state, const CheckReport& report, const PlotData& plot);

// The --plot file among the files a run writes besides the destination, or
// null.
MarkerFile* PlotFile(RunState& state);
