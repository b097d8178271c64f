#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "task/task_list.hpp"

inline constexpr int kTaskFileCapacity = 65536;

// What the reader saw, for a check of the task file: every token with its
// line and what it was taken for, and the lines that set each entry.
enum class TokenRole { kCommand, kValue, kSkipped };
struct TokenNote {
  int line = 0;  // from 1
  std::string text;
  TokenRole role = TokenRole::kSkipped;
  std::string command;  // a value's command word; "xf" for its width, "xf type" for its type
  int command_line = 0;  // the line of that command word
};
// The lines (0: none) of an entry's "src" and of the commands whose values it keeps.
struct EntryLines {
  int src = 0;
  int xin = 0;
  int xout = 0;
  int ins = 0;
  int trim = 0;
  int lvl = 0;
  int xf = 0;
};
struct ReadNotes {
  std::string text;  // the text read, up to its first NUL byte
  std::vector<TokenNote> tokens;
  std::vector<EntryLines> entries;
};

// Reads the task file at path. Returns only with a complete list; every
// refusal ends the run with status 1. With notes, also records what it saw
// (as far as it got, when it refuses).
TaskList ReadTaskFile(const std::string& path, ReadNotes* notes = nullptr);

// The same reader over text already in memory (the file's bytes, at most
// kTaskFileCapacity of them).
TaskList ReadTaskText(std::string_view text, ReadNotes* notes = nullptr);
