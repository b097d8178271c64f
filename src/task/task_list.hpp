#pragma once

#include <array>
#include <cstdint>
#include <string_view>

inline constexpr int kMaxEntries = 512;
inline constexpr int kNameCapacity = 128;  // 127 characters and the terminating NUL
inline constexpr int kMaxNameLength = kNameCapacity - 1;

using NameSlot = std::array<char, kNameCapacity>;
template <class T>
using PerEntry = std::array<T, kMaxEntries>;

// The task list: one element per "src" of the task file, indexed by the entry's
// position in the file, plus the task-level values.
struct TaskList {
  // Read from the task file.
  PerEntry<NameSlot> source_name{};
  PerEntry<double> xin{};
  PerEntry<double> xout{};
  PerEntry<double> insert_value{};
  PerEntry<double> trim{};
  PerEntry<double> level_db{};
  PerEntry<int> append_flag{};
  PerEntry<int> xfade_type{};
  PerEntry<float> xfade_width_ms{};
  PerEntry<int> xfade_width_frames{};
  // Derived in frames by the plan.
  PerEntry<int> read_start_frame{};
  PerEntry<int> stop_frame{};
  PerEntry<int> read_length{};
  PerEntry<int> insert_frame{};

  NameSlot destination_name{};
  int entry_count = 0;
  int using_samples = 0;
};

// Gives all 512 entries their defaults; the reader only writes the fields that
// the task file sets.
void PresetTaskList(TaskList& list);

inline std::string_view NameOf(const NameSlot& slot) { return std::string_view(slot.data()); }
