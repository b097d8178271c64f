#pragma once

#include <string>
#include <string_view>

#include "task/task_list.hpp"

inline constexpr int kTaskFileCapacity = 65536;

// Reads the task file at path. Returns only with a complete list; every
// refusal ends the run with status 1.
TaskList ReadTaskFile(const std::string& path);

// The same reader over text already in memory (the file's bytes, at most
// kTaskFileCapacity of them).
TaskList ReadTaskText(std::string_view text);
