#pragma once

#include <string>
#include <vector>

inline constexpr int kMaxEntries = 512;
inline constexpr int kMaxNameLength = 127;

// One "src" of the task file with the commands that follow it, as written.
// A field the task file does not set keeps the default given here.
struct TaskEntry {
  std::string source_name;
  double xin = 0.0;
  double xout = 0.0;  // 0 means "no stop given": copy to the source's end
  double insert_value = 0.0;
  double trim = 0.0;
  double level_db = 0.0;
  bool appended = true;  // without "ins" an entry follows the previous one
  int xfade_type = 0;    // 0: no crossfade; curves 1 to 4
  float xfade_width_ms = 100.0F;
};

struct TaskList {
  std::vector<TaskEntry> entries;  // in task-file order, at most kMaxEntries
  std::string destination_name;    // empty when the task file has no "dest"
  bool using_samples = false;      // times are frame counts, not seconds
};
