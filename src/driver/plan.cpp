#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "common/exact_number.hpp"
#include "common/failure.hpp"
#include "common/text.hpp"
#include "driver/run_state.hpp"
#include "task/write_order.hpp"
#include "wav/crossfade_file.hpp"
#include "wav/destination.hpp"

namespace {

// A value times a factor, divided, truncated toward zero into an int; false
// when it is not finite or does not fit.
bool ToFrame(const ExactNumber& value, uint64_t factor, uint32_t divisor, int& frame) {
  const std::optional<int64_t> product = TruncatedProduct(value, factor, divisor);
  if (!product || *product < INT_MIN || *product > INT_MAX) return false;
  frame = static_cast<int>(*product);
  return true;
}

// Ends the run for entry e, keeping why for a check to show.
[[noreturn]] void RefuseEdit(RunState& state, int e, const char* command, std::string reason) {
  state.refusal = EditRefusal{.entry = e, .command = command, .reason = std::move(reason)};
  Fail(1, "Edit start/stop set incorrectly for %s\n", state.tasks.entries[e].source_name.c_str());
}

constexpr const char* kOutOfRange = "lies beyond the frames a file can have";

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

// A task without a crossfade never touches the work file.
bool HasCrossfade(const TaskList& tasks) {
  return std::any_of(tasks.entries.begin(), tasks.entries.end(), [](const TaskEntry& t) { return t.xfade_type != 0; });
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
  if (!HasCrossfade(tasks)) return;
  const Identity work = IdentityOf(kWorkFileName);
  bool named = SameFile(destination_file, work) || SameFile(IdentityOf(state.task_path), work);
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

// Frames per unit of the task file's times: the rate, or 1 for samples.
uint32_t FramesPerUnit(const RunState& state) { return state.tasks.using_samples ? 1 : state.format.rate; }

// The insert frame of an entry from its insert point in frame units (the
// value times FramesPerUnit); false when it is not a frame of the
// destination. The rate passes through single precision here, which leaves
// every rate below 2^24 unchanged.
bool InsertFrame(const RunState& state, const ExactNumber& insert_units, int& frame) {
  const uint32_t unit = FramesPerUnit(state);
  const uint64_t factor = state.tasks.using_samples ? 1 : static_cast<uint64_t>(static_cast<float>(unit));
  return ToFrame(insert_units, factor, unit, frame) && frame >= 0;
}

// Turns one entry's times into frames and checks them, on the numbers as
// written, exactly. Keeps the entry's start and its stop as written (after
// its default and trim) in frame units: appended entries are placed by them.
void ConvertEntry(RunState& state, int e) {
  const TaskEntry& t = state.tasks.entries[e];
  EntryPlan& p = state.plan[e];
  const int length = state.sources[e].info.length_frames;
  const uint32_t unit = FramesPerUnit(state);

  for (const auto& [command, number] : {std::pair{"xin", &t.xin}, {"xout", &t.xout}, {"trim", &t.trim}}) {
    if (!IsFinite(number->exact)) RefuseEdit(state, e, command, "is not a finite number");
  }
  int start = 0;
  int stop = 0;
  if (!ToFrame(t.xin.exact, unit, 1, start)) RefuseEdit(state, e, "xin", kOutOfRange);
  p.start_units = Multiply(t.xin.exact, unit);
  if (IsZero(t.xout.exact)) {
    stop = length;
    p.stop_units = ExactInteger(length);
  } else {
    if (!ToFrame(t.xout.exact, unit, 1, stop)) RefuseEdit(state, e, "xout", kOutOfRange);
    p.stop_units = Multiply(t.xout.exact, unit);
  }
  if (!IsZero(t.trim.exact)) {
    p.stop_units = Add(p.stop_units, Multiply(t.trim.exact, unit));
    int trim_frames = 0;
    if (!ToFrame(t.trim.exact, unit, 1, trim_frames)) RefuseEdit(state, e, "trim", kOutOfRange);
    const int64_t trimmed = int64_t{stop} + trim_frames;
    if (trimmed > INT_MAX || trimmed < INT_MIN) RefuseEdit(state, e, "trim", kOutOfRange);
    stop = static_cast<int>(trimmed);
  }

  // A start before the source's first frame would read its header.
  if (start < 0) RefuseEdit(state, e, "xin", "lies before the source's first frame");
  if (stop <= start) {
    const char* command = !IsZero(t.trim.exact) ? "trim" : !IsZero(t.xout.exact) ? "xout" : "xin";
    RefuseEdit(state, e, command,
               Format("puts the stop at frame %i, not after the start at frame %i%s", stop, start,
                      IsZero(t.xout.exact) ? " (without \"xout\" the stop is the source's end)" : ""));
  }
  int64_t read_length = int64_t{stop} - start;
  if (read_length > length || stop > length) {
    read_length = int64_t{length} - start;
    p.stop_cut = true;
  }
  p.read_start_frame = start;
  p.read_length = static_cast<int>(read_length);

  // Inserted entries are checked now so that only usable values reach the
  // write order; appended ones when their insert point is known.
  int frame = 0;
  if (!t.appended && (!IsFinite(t.insert_value.exact) ||
                      !InsertFrame(state, Multiply(t.insert_value.exact, unit), frame))) {
    RefuseEdit(state, e, "ins", "is not a frame of the destination (before its start, or beyond the frames a file can have)");
  }
}

// Places the first `count` entries, the appended ones after the previous
// entry of the task file, and returns the destination's length in frames
// they give. A position that is no frame of the destination ends the run
// with `refuse`; without, the entries before it are placed and `count`
// becomes their number.
int64_t PlaceEntries(RunState& state, size_t& count, bool refuse) {
  const std::vector<TaskEntry>& entries = state.tasks.entries;
  const uint32_t unit = FramesPerUnit(state);
  int64_t length = 0;
  ExactNumber insert_units;  // of the previous entry
  for (size_t j = 0; j < count; ++j) {
    const TaskEntry& t = entries[j];
    if (!t.appended) {
      insert_units = Multiply(t.insert_value.exact, unit);
    } else if (j > 0) {
      // The extent as written in the task file, not the read length that a
      // short source may have cut.
      const EntryPlan& previous = state.plan[j - 1];
      insert_units = Add(insert_units, Subtract(previous.stop_units, previous.start_units));
    }
    EntryPlan& p = state.plan[j];
    if (!InsertFrame(state, insert_units, p.insert_frame)) {
      if (refuse) RefuseEdit(state, static_cast<int>(j), "", "is appended where no frame of a file can lie");
      count = j;
      break;
    }
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
  // Each source is read and closed again: the entries open them when their
  // turn comes, so a few files are open at once, whatever their number.
  for (const TaskEntry& entry : tasks.entries) state.sources.push_back(OpenSource(entry.source_name));
  state.plan.resize(tasks.entries.size());
  CheckConsistency(state);
  if (!state.sources.empty()) state.format = state.sources[0].info.format;

  for (size_t i = 0; i < tasks.entries.size(); ++i) ConvertEntry(state, static_cast<int>(i));
  state.write_order = ComputeWriteOrder(tasks.entries);

  size_t count = tasks.entries.size();
  const int64_t length = PlaceEntries(state, count, true);
  // Frame positions are 32-bit; bytes are not (past 2 GB the header is RF64).
  if (length > INT_MAX) Fail(1, "Destination file would be too large\n");
  state.destination_length = static_cast<int>(length);

  // A crossfade empties its work file: only a regular file with no other
  // name may stand under that name, never a link to something else.
  if (HasCrossfade(tasks) && !WorkFileNameUsable()) Fail(2, "Cannot create wave file %s!\n", kWorkFileName);
}

size_t PlaceLeadingEntries(RunState& state, size_t count) {
  PlaceEntries(state, count, false);
  return count;
}
