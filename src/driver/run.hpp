#pragma once

#include <string>

#include "common/failure.hpp"
#include "dsp/cpu.hpp"
#include "dsp/mix.hpp"
#include "engine/copy.hpp"
#include "engine/destination.hpp"
#include "plan/plan.hpp"
#include "task/task_list.hpp"

// The options of the command line.
struct CommandOptions {
  bool check = false;  // show the plan and the likely mistakes, write nothing
  bool sync = false;   // flush the destination and its folder to disk before saying Built
  bool align = false;  // a JUNK chunk before the samples lines the largest plain copy up with its source's blocks
};

// Everything a run works on, owned by the entry point for the whole run.
struct RunState {
  CommandOptions options;
  std::string task_path = "task.txt";
  TaskList tasks;
  Plan plan;
  DestinationFile destination;  // being built, under a temporary name until complete
  CopyScratch scratch;
  KeptCurve curve;  // the last crossfade's curve, for the next entry with the same one
  InstructionSet instructions = InstructionSet::kPortable;  // what the processor has
};

// The whole run for a command line: help, or read, plan, execute and report
// (or check). Returns the exit status of a run that ends normally (0, 1
// after the help text, 3 for a check with warnings); refusals end the run
// with RunFailure.
ExitStatus RunEditor(int argc, const char* const* argv, RunState& state);
