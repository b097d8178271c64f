#pragma once

#include <cstddef>
#include <string_view>

// The task file's command words, in one table that the reader, the warnings
// and the check share.
enum class Command {
  kUsingSamples,
  kSrc,
  kXin,
  kXout,
  kIns,
  kTrim,
  kLvl,
  kXf,
  kMix,
  kFin,
  kFout,
  kLufs,
  kMark,
  kLabels,
  kLoud,
  kPeak,
  kMeta,
  kDest
};

struct CommandWord {
  const char* word;
  Command command;
  bool numeric;  // its values are numbers
};

// "using_samples" first (it counts only as the file's first token), then in
// the order in which a pass of the reader compares a token with them.
inline constexpr CommandWord kCommandWords[] = {
    {"using_samples", Command::kUsingSamples, false},
    {"src", Command::kSrc, false},
    {"xin", Command::kXin, true},
    {"xout", Command::kXout, true},
    {"ins", Command::kIns, true},
    {"trim", Command::kTrim, true},
    {"lvl", Command::kLvl, true},
    {"xf", Command::kXf, true},
    {"mix", Command::kMix, true},
    {"fin", Command::kFin, true},
    {"fout", Command::kFout, true},
    {"lufs", Command::kLufs, true},
    {"mark", Command::kMark, false},
    {"labels", Command::kLabels, false},
    {"loud", Command::kLoud, true},
    {"peak", Command::kPeak, true},
    {"meta", Command::kMeta, false},
    {"dest", Command::kDest, false},
};

inline constexpr size_t kCommandCount = sizeof kCommandWords / sizeof kCommandWords[0];

// The command a word is, or nothing.
inline const CommandWord* FindCommand(std::string_view word) {
  for (const CommandWord& c : kCommandWords) {
    if (word == c.word) return &c;
  }
  return nullptr;
}
