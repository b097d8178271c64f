#pragma once

#include <string>
#include <vector>

#include "task/reader.hpp"

// A likely mistake of a task file, at the line it names.
struct Warning {
  int line = 0;
  std::string text;
};

// What the reader forgave in the task file's text, from what it saw of every
// token: a command word followed by a space, a near-miss command word, a
// value that is itself a command word (or, taken from a line after its
// command's, looks like one), an invalid crossfade type, a number
// that does not read whole, an ignored level, a carriage return inside a
// word, a "using_samples" below the first line.
std::vector<Warning> TextWarnings(const ReadNotes& notes);
