#include "dsp/cpu.hpp"

InstructionSet DetectInstructionSet() {
#if defined(__x86_64__) || defined(__i386__)
  if (__builtin_cpu_supports("avx2")) return InstructionSet::kAvx2;
  if (__builtin_cpu_supports("avx")) return InstructionSet::kAvx;
  // The clamp of a 24-bit level takes the SSE4.1 minimum and maximum.
  if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1")) return InstructionSet::kSsse3;
#endif
  return InstructionSet::kPortable;
}
