#include "plan/plan.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "common/text.hpp"
#include "io/work_file.hpp"
#include "task/write_order.hpp"
#include "wav/header.hpp"

namespace {

// A width of 0 ms, negative or not a number.
constexpr int kDefaultWidthFrames = 4410;

constexpr const char* kOutOfRange = "lies beyond the frames a file can have";

// A value times a factor, divided, truncated toward zero into an int; false
// when it is not finite or does not fit.
bool ToFrame(const ExactNumber& value, uint64_t factor, uint32_t divisor, int& frame) {
  const std::optional<int64_t> product = TruncatedProduct(value, factor, divisor);
  if (!product || *product < INT_MIN || *product > INT_MAX) return false;
  frame = static_cast<int>(*product);
  return true;
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
void RefuseClobbering(const TaskList& tasks, const std::string& task_path) {
  const std::string& destination = tasks.destination_name;
  const Identity destination_file = IdentityOf(destination);
  std::vector<Identity> sources;
  for (const TaskEntry& entry : tasks.entries) {
    sources.push_back(IdentityOf(entry.source_name));
    if (SameFile(destination_file, sources.back())) {
      Fail(ExitStatus::kTaskError, message::kDestinationIsSource, destination.c_str());
    }
  }
  const Identity task_file = IdentityOf(task_path);
  if (SameFile(destination_file, task_file)) {
    Fail(ExitStatus::kTaskError, message::kDestinationIsTaskFile, destination.c_str());
  }
  if (!HasCrossfade(tasks)) return;
  const Identity work = IdentityOf(kWorkFileName);
  bool named = SameFile(destination_file, work) || SameFile(task_file, work);
  for (const Identity& source : sources) named = named || SameFile(source, work);
  if (named) Fail(ExitStatus::kTaskError, message::kWorkFileIsTrack, kWorkFileName);
}

// A heading and the attribute of every source, so the odd one out is visible.
template <class Value>
void ListMismatch(std::string& listing, const Plan& plan, const char* heading, const char* format,
                  Value (*value)(const AudioFormat&)) {
  listing += heading;
  for (const Entry& entry : plan.entries) {
    listing += Format(format, entry.task.source_name.c_str(), value(entry.source.info.format));
  }
}

uint32_t Rate(const AudioFormat& f) { return f.rate; }
int Channels(const AudioFormat& f) { return f.channels; }
int Bits(const AudioFormat& f) { return f.bits; }
const char* Type(const AudioFormat& f) { return f.type == SampleType::kFloat ? "float" : "integer"; }

void CheckConsistency(const Plan& plan) {
  if (plan.entries.empty()) return;
  std::string listing;
  const AudioFormat& first = plan.entries[0].source.info.format;
  for (size_t h = 1; h < plan.entries.size(); ++h) {
    const AudioFormat& f = plan.entries[h].source.info.format;
    if (f.rate != first.rate) ListMismatch(listing, plan, message::kRatesDiffer, message::kRateListing, Rate);
    if (f.channels != first.channels) {
      ListMismatch(listing, plan, message::kChannelsDiffer, message::kChannelsListing, Channels);
    }
    if (f.bits != first.bits) ListMismatch(listing, plan, message::kBitsDiffer, message::kBitsListing, Bits);
    if (f.type != first.type) ListMismatch(listing, plan, message::kTypesDiffer, message::kTypeListing, Type);
  }
  if (!listing.empty()) Fail(ExitStatus::kTaskError, "%s", listing.c_str());
}

// The plan as it is being made.
struct Resolver {
  const TaskList& tasks;
  Plan plan;
  EditRefusal* refusal;

  // Frames per unit of the task file's times: the rate, or 1 for samples.
  uint32_t FramesPerUnit() const { return tasks.using_samples ? 1 : plan.format.rate; }

  // The insert frame of an entry from its insert point in frame units (the
  // value times FramesPerUnit); false when it is not a frame of the
  // destination. The rate passes through single precision here, which leaves
  // every rate below 2^24 unchanged.
  bool InsertFrame(const ExactNumber& insert_units, int& frame) const {
    const uint32_t unit = FramesPerUnit();
    const uint64_t factor = tasks.using_samples ? 1 : static_cast<uint64_t>(static_cast<float>(unit));
    return ToFrame(insert_units, factor, unit, frame) && frame >= 0;
  }

  // Places the first `count` entries, the appended ones after the previous
  // entry of the task file, and returns the destination's length in frames
  // they give. A position that is no frame of the destination ends the run
  // with `refuse`; without, the entries before it are placed and `count`
  // becomes their number.
  int64_t PlaceEntries(size_t& count, bool refuse) {
    const uint32_t unit = FramesPerUnit();
    int64_t length = 0;
    ExactNumber insert_units;  // of the previous entry
    for (size_t j = 0; j < count; ++j) {
      Entry& entry = plan.entries[j];
      if (!entry.task.appended) {
        insert_units = Multiply(entry.task.insert_value.exact, unit);
      } else if (j > 0) {
        // The extent as written in the task file, not the read length that a
        // short source may have cut.
        const Placement& previous = plan.entries[j - 1].placement;
        insert_units = Add(insert_units, Subtract(previous.stop_units, previous.start_units));
      }
      Placement& p = entry.placement;
      if (!InsertFrame(insert_units, p.insert_frame)) {
        if (refuse) RefuseEdit(entry, "", "is appended where no frame of a file can lie");
        count = j;
        break;
      }
      const int64_t end = int64_t{p.insert_frame} + p.read_length;
      if (end > length) length = end;
    }
    return length;
  }

  // Ends the run for an entry, keeping why (and where the entries before it
  // land) for a check to show.
  [[noreturn]] void RefuseEdit(const Entry& entry, const char* command, std::string reason) {
    if (refusal != nullptr) {
      size_t before = static_cast<size_t>(entry.number - 1);
      PlaceEntries(before, false);
      *refusal = EditRefusal{.entry = entry.number - 1,
                             .command = command,
                             .reason = std::move(reason),
                             .placed = {},
                             .rate = plan.format.rate};
      for (size_t j = 0; j < before; ++j) {
        Entry placed;
        placed.number = plan.entries[j].number;
        placed.task = plan.entries[j].task;
        placed.placement = plan.entries[j].placement;
        refusal->placed.push_back(std::move(placed));
      }
    }
    Fail(ExitStatus::kTaskError, message::kBadEdit, entry.task.source_name.c_str());
  }

  // Turns one entry's times into frames and checks them, on the numbers as
  // written, exactly.
  void ConvertEntry(Entry& entry) {
    const TaskEntry& t = entry.task;
    Placement& p = entry.placement;
    const int length = entry.source.info.length_frames;
    const uint32_t unit = FramesPerUnit();

    for (const auto& [command, number] : {std::pair{"xin", &t.xin}, {"xout", &t.xout}, {"trim", &t.trim}}) {
      if (!IsFinite(number->exact)) RefuseEdit(entry, command, "is not a finite number");
    }
    int start = 0;
    int stop = 0;
    if (!ToFrame(t.xin.exact, unit, 1, start)) RefuseEdit(entry, "xin", kOutOfRange);
    p.start_units = Multiply(t.xin.exact, unit);
    if (IsZero(t.xout.exact)) {
      stop = length;
      p.stop_units = ExactInteger(length);
    } else {
      if (!ToFrame(t.xout.exact, unit, 1, stop)) RefuseEdit(entry, "xout", kOutOfRange);
      p.stop_units = Multiply(t.xout.exact, unit);
    }
    if (!IsZero(t.trim.exact)) {
      p.stop_units = Add(p.stop_units, Multiply(t.trim.exact, unit));
      int trim_frames = 0;
      if (!ToFrame(t.trim.exact, unit, 1, trim_frames)) RefuseEdit(entry, "trim", kOutOfRange);
      const int64_t trimmed = int64_t{stop} + trim_frames;
      if (trimmed > INT_MAX || trimmed < INT_MIN) RefuseEdit(entry, "trim", kOutOfRange);
      stop = static_cast<int>(trimmed);
    }

    // A start before the source's first frame would read its header.
    if (start < 0) RefuseEdit(entry, "xin", "lies before the source's first frame");
    if (stop <= start) {
      const char* command = !IsZero(t.trim.exact) ? "trim" : !IsZero(t.xout.exact) ? "xout" : "xin";
      RefuseEdit(entry, command,
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
    if (!t.appended && (!IsFinite(t.insert_value.exact) || !InsertFrame(Multiply(t.insert_value.exact, unit), frame))) {
      RefuseEdit(entry, "ins",
                 "is not a frame of the destination (before its start, or beyond the frames a file can have)");
    }
  }

  void Resolve(const std::string& task_path) {
    if (tasks.destination_name.empty()) Fail(ExitStatus::kTaskError, message::kDestinationNameMissing);
    RefuseClobbering(tasks, task_path);

    // Each source is read and closed again: the entries open them when their
    // turn comes, so a few files are open at once, whatever their number.
    for (const TaskEntry& task : tasks.entries) {
      plan.entries.push_back(Entry{.number = static_cast<int>(plan.entries.size()) + 1,
                                   .task = task,
                                   .placement = {},
                                   .source = OpenSource(task.source_name, plan.said)});
    }
    CheckConsistency(plan);
    if (!plan.entries.empty()) plan.format = plan.entries[0].source.info.format;

    for (Entry& entry : plan.entries) ConvertEntry(entry);
    plan.write_order = ComputeWriteOrder(tasks.entries);

    size_t count = plan.entries.size();
    const int64_t length = PlaceEntries(count, true);
    // Frame positions are 32-bit; bytes are not (past 2 GB the header is RF64).
    if (length > INT_MAX) Fail(ExitStatus::kTaskError, message::kDestinationTooLarge);
    plan.destination_length = static_cast<int>(length);

    // A crossfade empties its work file: only a regular file with no other
    // name may stand under that name, never a link to something else.
    if (HasCrossfade(tasks) && !WorkFileNameUsable())
      Fail(ExitStatus::kWavError, message::kCannotCreate, kWorkFileName);
  }
};

}  // namespace

Plan ResolvePlan(const TaskList& tasks, const std::string& task_path, EditRefusal* refusal) {
  Resolver resolver{.tasks = tasks, .plan = {}, .refusal = refusal};
  try {
    resolver.Resolve(task_path);
  } catch (RunFailure& failure) {
    // What the source reader said comes before the refusal, as it came first.
    failure.message = resolver.plan.said + failure.message;
    throw;
  }
  return std::move(resolver.plan);
}

double Seconds(int64_t frames, uint32_t rate) {
  return static_cast<double>(static_cast<float>(frames) / static_cast<float>(rate));
}

int CrossfadeWidth(const TaskEntry& entry, const AudioFormat& format) {
  if (!IsPositive(entry.xfade_width)) return kDefaultWidthFrames;
  // The width as written times the rate in single precision, / 1000.
  const std::optional<int64_t> frames =
      TruncatedProduct(entry.xfade_width, static_cast<uint64_t>(static_cast<float>(format.rate)), 1000);
  // A width beyond the int range, or one whose work file could not be a
  // valid WAV file, cannot be rendered.
  if (!frames || *frames > INT_MAX || *frames * FrameBytes(format) > kMaxDataSize) return -1;
  return static_cast<int>(*frames);
}

OutgoingPlan PlanOutgoing(const Plan& plan, size_t position, int width_frames) {
  const int64_t splice = plan.entries[static_cast<size_t>(plan.write_order[position])].placement.insert_frame;
  const int64_t first = splice - width_frames / 2;
  OutgoingPlan outgoing{.entry = -1, .uncovered = {{first, first + width_frames}}};
  for (size_t k = 0; k < position; ++k) {
    const Placement& p = plan.entries[static_cast<size_t>(plan.write_order[k])].placement;
    if (p.read_length <= 0) continue;
    const FrameSpan landing{p.insert_frame, int64_t{p.insert_frame} + p.read_length};
    if (landing.from < splice && splice <= landing.to) outgoing.entry = plan.write_order[k];
    std::vector<FrameSpan> rest;
    for (const FrameSpan& part : outgoing.uncovered) {
      if (landing.to <= part.from || landing.from >= part.to) {
        rest.push_back(part);
        continue;
      }
      if (part.from < landing.from) rest.push_back({part.from, landing.from});
      if (landing.to < part.to) rest.push_back({landing.to, part.to});
    }
    outgoing.uncovered = std::move(rest);
  }
  if (outgoing.entry < 0) outgoing.uncovered.clear();
  return outgoing;
}

bool HasCrossfade(const TaskList& tasks) {
  return std::any_of(tasks.entries.begin(), tasks.entries.end(), [](const TaskEntry& t) { return t.xfade_type != 0; });
}
