#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/fatal.hpp"
#include "driver/run_state.hpp"
#include "task/write_order.hpp"
#include "wav/destination.hpp"
#include "wav/header.hpp"

namespace {

// A position in frames from a value in the task file's units, truncated
// toward zero; false when it is not finite or does not fit an int.
bool ToFrame(double value, int& frame) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return false;
  frame = static_cast<int>(value);
  return true;
}

[[noreturn]] void RefuseEdit(const TaskList& tasks, int entry) {
  Fatal(1, "Edit start/stop set incorrectly for %s\n", tasks.source_name[entry].data());
}

// The path as the directory it resolves to plus its last component, so that
// "a.wav" and "./a.wav" compare equal even before the file exists.
std::string CanonicalName(const char* path) {
  std::string text(path);
  const size_t slash = text.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : text.substr(0, slash));
  const std::string base = slash == std::string::npos ? text : text.substr(slash + 1);
  char* resolved = realpath(directory.c_str(), nullptr);
  if (resolved == nullptr) return text;
  std::string result = std::string(resolved) + "/" + base;
  std::free(resolved);
  return result;
}

// Whether two names lead to one file: the same existing file (device and
// inode, through links too), or the same name where it does not exist yet.
bool SameFile(const char* a, const char* b) {
  struct stat first {};
  struct stat second {};
  if (stat(a, &first) == 0 && stat(b, &second) == 0) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  return CanonicalName(a) == CanonicalName(b);
}

// Creating the destination truncates it, and every crossfade truncates its
// work file: neither may be a file the run still has to read.
void RefuseClobbering(const RunState& state) {
  const TaskList& tasks = state.tasks;
  const char* destination = tasks.destination_name.data();
  for (int i = 0; i < tasks.entry_count; ++i) {
    if (SameFile(destination, tasks.source_name[i].data())) {
      Fatal(1, "Destination %s is also a source track\n", destination);
    }
  }
  bool any_crossfade = false;
  for (int i = 0; i < tasks.entry_count; ++i) any_crossfade = any_crossfade || tasks.xfade_type[i] != 0;
  if (!any_crossfade) return;
  const char* temp = state.temp_name.data();
  bool named = SameFile(destination, temp);
  for (int i = 0; i < tasks.entry_count; ++i) named = named || SameFile(tasks.source_name[i].data(), temp);
  if (named) Fatal(1, "Crossfade work file %s is also named as a track\n", temp);
}

// A heading and the attribute of every source, so the odd one out is visible.
template <class T>
void ListMismatch(const TaskList& tasks, const char* heading, const PerEntry<T>& values, const char* format) {
  std::puts(heading);
  for (int i = 0; i < tasks.entry_count; ++i) std::printf(format, tasks.source_name[i].data(), values[i]);
}

void CheckConsistency(const RunState& state) {
  const SourceAttributes& a = state.attributes;
  const TaskList& t = state.tasks;
  bool differs = false;
  for (int h = 1; h < t.entry_count; ++h) {
    if (a.rate[h] != a.rate[0]) {
      ListMismatch(t, "Sample rates do not match for source tracks:", a.rate, "%s\t%u Hz\n");
      differs = true;
    }
    if (a.channels[h] != a.channels[0]) {
      ListMismatch(t, "Number of channels do not match for source tracks:", a.channels, "%s\t%i channels\n");
      differs = true;
    }
    if (a.bits[h] != a.bits[0]) {
      ListMismatch(t, "Number of bits do not match for source tracks:", a.bits, "%s\t%i\n");
      differs = true;
    }
  }
  if (differs) Fatal(1, "%s", "");
}

// The insert frame of an entry from its insert value; false when it is not a
// frame of the destination.
bool InsertFrame(const RunState& state, double insert_value, int& frame) {
  // The rate passes through single precision here, which leaves every rate
  // below 2^24 unchanged.
  const double factor = state.tasks.using_samples == 1 ? 1.0 : static_cast<double>(static_cast<float>(state.format.rate));
  return ToFrame(factor * insert_value, frame) && frame >= 0;
}

// Turns one entry's times into frames and checks them.
void ConvertEntry(RunState& state, int e) {
  TaskList& t = state.tasks;
  const int length = state.attributes.length_frames[e];
  const bool samples = t.using_samples == 1;
  const double rate = samples ? 1.0 : static_cast<double>(state.format.rate);

  if (!std::isfinite(t.xin[e]) || !std::isfinite(t.xout[e]) || !std::isfinite(t.trim[e])) RefuseEdit(t, e);
  int start = 0;
  int stop = 0;
  if (!ToFrame(rate * t.xin[e], start)) RefuseEdit(t, e);
  if (t.xout[e] == 0.0) {
    stop = length;
    t.xout[e] = samples ? static_cast<double>(length) : length / rate;
  } else if (!ToFrame(rate * t.xout[e], stop)) {
    RefuseEdit(t, e);
  }
  if (t.trim[e] != 0.0) {
    t.xout[e] += t.trim[e];
    int trim_frames = 0;
    if (!ToFrame(rate * t.trim[e], trim_frames)) RefuseEdit(t, e);
    const int64_t trimmed = int64_t{stop} + trim_frames;
    if (trimmed > INT_MAX || trimmed < INT_MIN) RefuseEdit(t, e);
    stop = static_cast<int>(trimmed);
  }

  // A start before the source's first frame would read its header.
  if (stop <= start || start < 0) RefuseEdit(t, e);
  int64_t read_length = int64_t{stop} - start;
  if (read_length > length || stop > length) read_length = int64_t{length} - start;
  if (read_length > length) RefuseEdit(t, e);
  t.read_start_frame[e] = start;
  t.stop_frame[e] = stop;
  t.read_length[e] = static_cast<int>(read_length < INT_MIN ? INT_MIN : read_length);

  // Inserted entries are checked now so that only usable values reach the
  // write order; appended ones when their insert point is known.
  int frame = 0;
  if (t.append_flag[e] != 1 && !InsertFrame(state, t.insert_value[e], frame)) RefuseEdit(t, e);
}

// Places appended entries after the previous entry of the task file and
// returns the destination's length in frames.
int64_t PlaceEntries(RunState& state) {
  TaskList& t = state.tasks;
  int64_t length = 0;
  for (int j = 0; j < t.entry_count; ++j) {
    if (t.append_flag[j] == 1) {
      // The extent as written in the task file, not the read length that a
      // short source may have cut.
      t.insert_value[j] = j == 0 ? 0.0 : t.insert_value[j - 1] + (t.xout[j - 1] - t.xin[j - 1]);
    }
    if (!InsertFrame(state, t.insert_value[j], t.insert_frame[j])) RefuseEdit(t, j);
    const int64_t end = int64_t{t.insert_frame[j]} + t.read_length[j];
    if (end > length) length = end;
  }
  return length;
}

}  // namespace

void ResolvePlan(RunState& state) {
  TaskList& t = state.tasks;
  if (t.destination_name[0] == '\0') {
    Fatal(1, "%s\n", "Your destination name appears to be too short or missing");
  }
  RefuseClobbering(state);

  for (int i = 0; i < t.entry_count; ++i) GET_ATTRIBUTES(i, t.source_name[i].data(), state.attributes);
  CheckConsistency(state);
  if (t.entry_count > 0) {
    state.format.rate = state.attributes.rate[0];
    state.format.bits = state.attributes.bits[0];
    state.format.channels = state.attributes.channels[0];
    state.format.bytes_per_sample = state.attributes.bits[0] >> 3;
  }

  for (int i = 0; i < t.entry_count; ++i) ConvertEntry(state, i);
  FindOrder(t.entry_count, t.insert_value, state.write_order, t.append_flag);

  const int64_t length = PlaceEntries(state);
  const StreamFormat& f = state.format;
  if (length * f.bytes_per_sample * f.channels > kMaxDataSize) Fatal(1, "Destination file would be too large\n");
  state.destination_length = static_cast<int>(length);

  const char* destination = t.destination_name.data();
  MAKE_HEADER(destination, f.rate, static_cast<unsigned>(f.bits), state.destination_length,
              static_cast<uint16_t>(f.channels));
  PAD_FILE(destination, 0, f.bytes_per_sample, f.channels, state.destination_length);
}
