#pragma once

// The instructions the sample loops may use, each including the ones before
// it (as on every x86 processor that has them). The program asks the
// processor once and passes its answer down; tests pass every one the
// processor has, so that every path is tried on the same data.
enum class InstructionSet { kPortable, kSsse3, kAvx, kAvx2 };

inline constexpr InstructionSet kInstructionSets[] = {InstructionSet::kPortable, InstructionSet::kSsse3,
                                                      InstructionSet::kAvx, InstructionSet::kAvx2};

// The widest set this processor has.
InstructionSet DetectInstructionSet();

inline bool Allows(InstructionSet available, InstructionSet wanted) { return available >= wanted; }
