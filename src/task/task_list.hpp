#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/exact_number.hpp"

inline constexpr int kMaxEntries = 512;
inline constexpr int kMaxNameLength = 127;

// A number as a token of the task file writes it: exactly, for positions,
// and as the double strtod reads, which orders the entries.
struct WrittenNumber {
  double value = 0.0;
  ExactNumber exact;
};

// A file the task file names, with the line that names it.
struct NamedFile {
  std::string name;
  int line = 0;
};

// One "src" of the task file with the commands that follow it, as written.
// A field the task file does not set keeps the default given here.
struct TaskEntry {
  std::string source_name;
  WrittenNumber xin{};
  WrittenNumber xout{};  // 0 means "no stop given": copy to the source's end
  WrittenNumber insert_value{};
  WrittenNumber trim{};
  double level_db = 0.0;
  bool appended = true;                         // without "ins" an entry follows the previous one
  int xfade_type = 0;                           // 0: no crossfade; curves 1 to 4
  float xfade_width_ms = 100.0F;                // as the reader rounds it, for showing
  ExactNumber xfade_width = ExactInteger(100);  // exactly, for the width in frames
  bool mixed = false;                           // laid over what the destination holds instead of replacing it
  double mix_db = 0.0;                          // what lies under a mixed entry changes by this much
  WrittenNumber fade_in{};                      // ms; 0 or less: no fade
  WrittenNumber fade_out{};                     // ms; 0 or less: no fade
  std::optional<double> lufs{};                 // the loudness its copy is brought to (its level is then chosen)
  std::vector<std::string> markers;             // labels of markers at the entry's insert point
  std::vector<int> marker_lines;                // the task-file line of each of them
  std::vector<NamedFile> label_files;           // "labels": label files of the entry's source
};

struct TaskList {
  std::vector<TaskEntry> entries;  // in task-file order, at most kMaxEntries
  std::string destination_name;    // empty when the task file has no "dest"
  bool using_samples = false;      // times are frame counts, not seconds
  std::string metadata_source;     // "meta": the entry whose source's metadata the destination takes, as written
  std::optional<double> loud;      // "loud": the programme's loudness target, LUFS
  std::optional<double> peak;      // "peak": the ceiling of its true peak, dBTP
  std::string said;                // what the reader says on its way, for the driver to print
};
