#pragma once

#include <span>
#include <vector>

#include "task/task_list.hpp"

// The entry numbers in the order they are written: earliest insert value
// first (ties to the lower index), each entry followed directly by the
// appended entries that come after it in the task file.
std::vector<int> ComputeWriteOrder(std::span<const TaskEntry> entries);
