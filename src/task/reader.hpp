#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "task/commands.hpp"
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
// The lines (0: none) of an entry's "src" and of the commands whose values it
// keeps.
struct EntryLines {
  std::array<int, kCommandCount> lines{};
  int& operator[](Command command) { return lines[static_cast<size_t>(command)]; }
  int operator[](Command command) const { return lines[static_cast<size_t>(command)]; }
  // The command's line, or else the entry's "src" line.
  int Or(Command command) const { return (*this)[command] != 0 ? (*this)[command] : (*this)[Command::kSrc]; }
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
