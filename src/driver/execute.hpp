#pragma once

#include "driver/run.hpp"

// Writes every entry of the plan in write order into the destination, with
// its crossfade and its summary.
void ExecuteEntries(RunState& state);

// The report of a run that built its destination.
void PrintReport(const RunState& state);
