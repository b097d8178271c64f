#pragma once

#include <array>
#include <cstdint>

#include "dsp/crossfade.hpp"
#include "task/task_list.hpp"
#include "wav/attributes.hpp"

// The format every source shares and the destination takes. Without entries
// there is no source to take it from, and CD-quality stereo stands in.
struct StreamFormat {
  uint32_t rate = 44100;
  int bits = 16;
  int channels = 2;
  int bytes_per_sample = 2;
};

inline constexpr std::array<char, 64> kCrossfadeTempName{"xfade_temp.wav"};

// Everything a run works on, owned by the entry point for the whole run.
struct RunState {
  NameSlot task_path{"task.txt"};
  TaskList tasks;
  SourceAttributes attributes;
  PerEntry<int> write_order{};
  StreamFormat format;
  int destination_length = 0;
  std::array<char, 64> temp_name = kCrossfadeTempName;
  KeptCurve curve;  // the last crossfade's curve, for the next entry with the same one
};

// The whole run for a command line: help, or read, plan, execute and report.
// Returns the exit status of a run that ends normally (0, or 1 after the help
// text); refusals end the run through Fatal.
int RunEditor(int argc, const char* const* argv, RunState& state);

// Reads the sources, checks and converts every entry, decides the write order
// and creates the destination filled with silence.
void ResolvePlan(RunState& state);

// Writes every entry in write order with its summary, then the report.
void ExecuteEntries(RunState& state);
void PrintReport(const RunState& state);
