#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/failure.hpp"
#include "common/text.hpp"
#include "driver/run_state.hpp"
#include "task/write_order.hpp"
#include "wav/crossfade_file.hpp"
#include "wav/destination.hpp"

namespace {

// A position in frames from a value in the task file's units, truncated
// toward zero; false when it is not finite or does not fit an int.
bool ToFrame(double value, int& frame) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return false;
  frame = static_cast<int>(value);
  return true;
}

[[noreturn]] void RefuseEdit(const TaskEntry& entry) {
  Fail(1, "Edit start/stop set incorrectly for %s\n", entry.source_name.c_str());
}

// The path as the directory it resolves to plus its last component, so that
// "a.wav" and "./a.wav" compare equal even before the file exists.
std::string CanonicalName(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  char* resolved = realpath(DirectoryOf(path).c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string result = std::string(resolved) + "/" + base;
  std::free(resolved);
  return result;
}

// What a name leads to: a file (through links too), or nothing yet.
struct Identity {
  std::string name;
  std::optional<FileIdentity> file;
};

Identity IdentityOf(const std::string& name) { return Identity{name, IdentityOfName(name.c_str())}; }

// Whether two names lead to one file: the same existing file, or the same
// name where neither exists yet. A name that leads to a file and one that
// does not are two files.
bool SameFile(const Identity& a, const Identity& b) {
  if (a.file.has_value() != b.file.has_value()) return false;
  if (a.file) return *a.file == *b.file;
  return CanonicalName(a.name) == CanonicalName(b.name);
}

// The destination replaces the file of its name, and every crossfade empties
// its work file: neither may be a file the run reads, nor the task file.
void RefuseClobbering(const RunState& state) {
  const TaskList& tasks = state.tasks;
  const std::string& destination = tasks.destination_name;
  const Identity destination_file = IdentityOf(destination);
  std::vector<Identity> sources;
  for (const TaskEntry& entry : tasks.entries) {
    sources.push_back(IdentityOf(entry.source_name));
    if (SameFile(destination_file, sources.back())) {
      Fail(1, "Destination %s is also a source track\n", destination.c_str());
    }
  }
  if (SameFile(destination_file, IdentityOf(state.task_path))) {
    Fail(1, "Destination %s is also the task file\n", destination.c_str());
  }
  bool any_crossfade = false;
  for (const TaskEntry& entry : tasks.entries) any_crossfade = any_crossfade || entry.xfade_type != 0;
  if (!any_crossfade) return;
  const Identity work = IdentityOf(kWorkFileName);
  bool named = SameFile(destination_file, work);
  for (const Identity& source : sources) named = named || SameFile(source, work);
  if (named) Fail(1, "Crossfade work file %s is also named as a track\n", kWorkFileName);
}

// A heading and the attribute of every source, so the odd one out is visible.
template <class Value>
void ListMismatch(std::string& listing, const RunState& state, const char* heading, const char* format,
                  Value (*value)(const AudioFormat&)) {
  listing += heading;
  listing += '\n';
  for (size_t i = 0; i < state.sources.size(); ++i) {
    listing += Format(format, state.tasks.entries[i].source_name.c_str(), value(state.sources[i].info.format));
  }
}

uint32_t Rate(const AudioFormat& f) { return f.rate; }
int Channels(const AudioFormat& f) { return f.channels; }
int Bits(const AudioFormat& f) { return f.bits; }
const char* Type(const AudioFormat& f) { return f.type == SampleType::kFloat ? "float" : "integer"; }

void CheckConsistency(const RunState& state) {
  std::string listing;
  const AudioFormat& first = state.sources.empty() ? state.format : state.sources[0].info.format;
  for (size_t h = 1; h < state.sources.size(); ++h) {
    const AudioFormat& f = state.sources[h].info.format;
    if (f.rate != first.rate) {
      ListMismatch(listing, state, "Sample rates do not match for source tracks:", "%s\t%u Hz\n", Rate);
    }
    if (f.channels != first.channels) {
      ListMismatch(listing, state, "Number of channels do not match for source tracks:", "%s\t%i channels\n", Channels);
    }
    if (f.bits != first.bits) {
      ListMismatch(listing, state, "Number of bits do not match for source tracks:", "%s\t%i\n", Bits);
    }
    if (f.type != first.type) {
      ListMismatch(listing, state, "Sample types do not match for source tracks:", "%s\t%s\n", Type);
    }
  }
  if (!listing.empty()) Fail(1, "%s", listing.c_str());
}

// The insert frame of an entry from its insert value; false when it is not a
// frame of the destination.
bool InsertFrame(const RunState& state, double insert_value, int& frame) {
  // The rate passes through single precision here, which leaves every rate
  // below 2^24 unchanged.
  const double factor = state.tasks.using_samples ? 1.0 : static_cast<double>(static_cast<float>(state.format.rate));
  return ToFrame(factor * insert_value, frame) && frame >= 0;
}

// Turns one entry's times into frames and checks them. The stop as written
// (after its default and trim) goes back into the entry: appended entries
// are placed by it.
void ConvertEntry(RunState& state, int e) {
  TaskEntry& t = state.tasks.entries[e];
  EntryPlan& p = state.plan[e];
  const int length = state.sources[e].info.length_frames;
  const bool samples = state.tasks.using_samples;
  const double rate = samples ? 1.0 : static_cast<double>(state.format.rate);

  if (!std::isfinite(t.xin) || !std::isfinite(t.xout) || !std::isfinite(t.trim)) RefuseEdit(t);
  int start = 0;
  int stop = 0;
  if (!ToFrame(rate * t.xin, start)) RefuseEdit(t);
  if (t.xout == 0.0) {
    stop = length;
    t.xout = samples ? static_cast<double>(length) : length / rate;
  } else if (!ToFrame(rate * t.xout, stop)) {
    RefuseEdit(t);
  }
  if (t.trim != 0.0) {
    t.xout += t.trim;
    int trim_frames = 0;
    if (!ToFrame(rate * t.trim, trim_frames)) RefuseEdit(t);
    const int64_t trimmed = int64_t{stop} + trim_frames;
    if (trimmed > INT_MAX || trimmed < INT_MIN) RefuseEdit(t);
    stop = static_cast<int>(trimmed);
  }

  // A start before the source's first frame would read its header.
  if (stop <= start || start < 0) RefuseEdit(t);
  int64_t read_length = int64_t{stop} - start;
  if (read_length > length || stop > length) {
    read_length = int64_t{length} - start;
    p.stop_cut = true;
  }
  if (read_length > length) RefuseEdit(t);
  p.read_start_frame = start;
  p.read_length = static_cast<int>(read_length < INT_MIN ? INT_MIN : read_length);

  // Inserted entries are checked now so that only usable values reach the
  // write order; appended ones when their insert point is known.
  int frame = 0;
  if (!t.appended && !InsertFrame(state, t.insert_value, frame)) RefuseEdit(t);
}

// Places appended entries after the previous entry of the task file and
// returns the destination's length in frames.
int64_t PlaceEntries(RunState& state) {
  std::vector<TaskEntry>& entries = state.tasks.entries;
  int64_t length = 0;
  for (size_t j = 0; j < entries.size(); ++j) {
    TaskEntry& t = entries[j];
    if (t.appended) {
      // The extent as written in the task file, not the read length that a
      // short source may have cut.
      const TaskEntry* previous = j == 0 ? nullptr : &entries[j - 1];
      t.insert_value = previous == nullptr ? 0.0 : previous->insert_value + (previous->xout - previous->xin);
    }
    EntryPlan& p = state.plan[j];
    if (!InsertFrame(state, t.insert_value, p.insert_frame)) RefuseEdit(t);
    const int64_t end = int64_t{p.insert_frame} + p.read_length;
    if (end > length) length = end;
  }
  return length;
}

}  // namespace

void ResolvePlan(RunState& state) {
  TaskList& tasks = state.tasks;
  if (tasks.destination_name.empty()) {
    Fail(1, "%s\n", "Your destination name appears to be too short or missing");
  }
  RefuseClobbering(state);

  state.plan.clear();
  state.sources.clear();
  // Every source stays open for its copies, as far as the run's share of
  // open files allows; the others are opened again when their turn comes.
  rlimit open_files{};
  const rlim_t limit = getrlimit(RLIMIT_NOFILE, &open_files) == 0 ? open_files.rlim_cur : 256;
  const size_t keep = std::min<rlim_t>(limit / 2, kMaxEntries);
  for (const TaskEntry& entry : tasks.entries) {
    state.sources.push_back(OpenSource(entry.source_name, state.sources.size() < keep));
  }
  state.plan.resize(tasks.entries.size());
  CheckConsistency(state);
  if (!state.sources.empty()) state.format = state.sources[0].info.format;

  for (size_t i = 0; i < tasks.entries.size(); ++i) ConvertEntry(state, static_cast<int>(i));
  state.write_order = ComputeWriteOrder(tasks.entries);

  const int64_t length = PlaceEntries(state);
  // Frame positions are 32-bit; bytes are not (past 2 GB the header is RF64).
  if (length > INT_MAX) Fail(1, "Destination file would be too large\n");
  state.destination_length = static_cast<int>(length);
}
