#pragma once

#include <vector>

#include "dsp/cpu.hpp"

// Every instruction set this processor has, the portable one first: the
// sample loops must give the same bytes on each.
inline std::vector<InstructionSet> AvailableInstructionSets() {
  std::vector<InstructionSet> sets;
  for (const InstructionSet set : kInstructionSets) {
    if (Allows(DetectInstructionSet(), set)) sets.push_back(set);
  }
  return sets;
}

inline const char* NameOf(InstructionSet set) {
  switch (set) {
    case InstructionSet::kPortable:
      return "portable";
    case InstructionSet::kSsse3:
      return "SSSE3";
    case InstructionSet::kAvx:
      return "AVX";
    case InstructionSet::kAvx2:
      return "AVX2";
  }
  return "?";
}
