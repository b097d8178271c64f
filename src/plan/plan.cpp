#include "plan/plan.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "common/text.hpp"
#include "io/work_file.hpp"
#include "plan/sharing.hpp"
#include "task/labels.hpp"
#include "task/write_order.hpp"
#include "wav/chunk.hpp"
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

// Whether a file is the work file. The work file comes and goes with other
// runs in the folder, so a file looked at a moment earlier that has gone (an
// old destination another run replaced) may have left its number to a new
// work file: the same number counts only for one file under several names
// (hard links) or where both names resolve to one path (symbolic links).
bool IsWorkFile(const Identity& file, const Identity& work) {
  if (!SameFile(file, work)) return false;
  struct stat status {};
  if (!file.file || (stat(work.name.c_str(), &status) == 0 && status.st_nlink > 1)) return true;
  char* const a = realpath(file.name.c_str(), nullptr);
  char* const b = realpath(work.name.c_str(), nullptr);
  const bool same = a != nullptr && b != nullptr && std::string(a) == b;
  std::free(a);
  std::free(b);
  return same;
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
  for (const TaskEntry& entry : tasks.entries) {
    for (const NamedFile& labels : entry.label_files) {
      if (SameFile(destination_file, IdentityOf(labels.name))) {
        Fail(ExitStatus::kTaskError, message::kDestinationIsLabelFile, destination.c_str());
      }
    }
  }
  if (!HasCrossfade(tasks)) return;
  const Identity work = IdentityOf(kWorkFileName);
  bool named = IsWorkFile(destination_file, work) || IsWorkFile(task_file, work);
  for (const Identity& source : sources) named = named || IsWorkFile(source, work);
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

// A marker of the destination with where it comes from, while the plan
// gathers them.
struct PlacedMarker {
  CuePoint point;
  MarkerOrigin origin;
};

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
    ExactNumber insert_units;  // of the previous entry, with using_samples
    for (size_t j = 0; j < count; ++j) {
      Entry& entry = plan.entries[j];
      Placement& p = entry.placement;
      bool placed = true;
      if (!entry.task.appended) {
        insert_units = Multiply(entry.task.insert_value.exact, unit);
        placed = InsertFrame(insert_units, p.insert_frame);
      } else if (j == 0) {
        p.insert_frame = 0;
      } else if (tasks.using_samples) {
        // The extent as written in the task file, not the read length that a
        // short source may have cut.
        const Placement& previous = plan.entries[j - 1].placement;
        insert_units = Add(insert_units, Subtract(previous.stop_units, previous.start_units));
        placed = InsertFrame(insert_units, p.insert_frame);
      } else {
        // Right after the frames the previous entry reads, its stop and
        // start truncated as they are for its copy: the sum of the exact
        // times lies a fraction of a frame off wherever a time is not a whole
        // frame, which would leave a frame of silence or overwrite one. A
        // short source's cut does not count: past it lies the silence asked
        // for.
        const Placement& previous = plan.entries[j - 1].placement;
        const int64_t frame = int64_t{previous.insert_frame} + previous.stop_frame - previous.read_start_frame;
        placed = frame >= 0 && frame <= INT_MAX;
        p.insert_frame = placed ? static_cast<int>(frame) : 0;
      }
      if (!placed) {
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
    p.stop_frame = stop;
    p.read_length = static_cast<int>(read_length);

    // Inserted entries are checked now so that only usable values reach the
    // write order; appended ones when their insert point is known.
    int frame = 0;
    if (!t.appended && (!IsFinite(t.insert_value.exact) || !InsertFrame(Multiply(t.insert_value.exact, unit), frame))) {
      RefuseEdit(entry, "ins",
                 "is not a frame of the destination (before its start, or beyond the frames a file can have)");
    }
  }

  // A fade's width in frames: the milliseconds as written times the rate in
  // single precision, / 1000, truncated; none for 0 or less or NaN, the whole
  // entry for infinity, and never more than the entry's `copied` frames.
  int FadeFrames(const WrittenNumber& ms, int copied) const {
    const ExactNumber& width = ms.exact;
    if (width.kind == ExactNumber::Kind::kNotANumber || width.kind == ExactNumber::Kind::kMinusInfinity) return 0;
    if (width.kind == ExactNumber::Kind::kPlusInfinity) return copied;
    const std::optional<int64_t> frames =
        TruncatedProduct(width, static_cast<uint64_t>(static_cast<float>(plan.format.rate)), 1000);
    if (!frames) return width.negative ? 0 : copied;
    return static_cast<int>(std::clamp<int64_t>(*frames, 0, copied));
  }

  // The frames of each entry's landing that no later-written entry replaces
  // (a mix keeps what lies under it), by index in task-file order.
  std::vector<std::vector<FrameSpan>> SurvivingSpans() const {
    std::vector<std::vector<FrameSpan>> kept(plan.entries.size());
    const auto landing = [&](const Entry& entry) {
      const Placement& p = entry.placement;
      return FrameSpan{p.insert_frame, int64_t{p.insert_frame} + p.read_length};
    };
    for (size_t k = 0; k < plan.write_order.size(); ++k) {
      const Entry& entry = plan.entries[static_cast<size_t>(plan.write_order[k])];
      std::vector<FrameSpan>& spans = kept[static_cast<size_t>(plan.write_order[k])];
      if (entry.placement.read_length > 0) spans.push_back(landing(entry));
      for (size_t later = k + 1; later < plan.write_order.size() && !spans.empty(); ++later) {
        const Entry& other = plan.entries[static_cast<size_t>(plan.write_order[later])];
        if (!other.task.mixed && other.placement.read_length > 0) spans = Uncovered(spans, landing(other));
      }
    }
    return kept;
  }

  // The points of a source (their frames, `by_frame` their indexes in order
  // of frame) that lie where an entry's copy stays in the destination (its
  // `kept` spans): counted into `count`, and their indexes added to `taken`
  // while those counted `before` and `count` stay within the most a
  // destination holds.
  static void TakeInSpans(std::span<const uint32_t> frames, std::span<const uint32_t> by_frame, const Placement& p,
                          const std::vector<FrameSpan>& kept, int64_t before, int64_t& count,
                          std::vector<uint32_t>& taken) {
    const auto frame_below = [&](uint32_t i, int64_t frame) { return frames[i] < frame; };
    const int64_t shift = int64_t{p.read_start_frame} - p.insert_frame;  // destination to source frames
    for (const FrameSpan& span : kept) {
      const auto from = std::lower_bound(by_frame.begin(), by_frame.end(), span.from + shift, frame_below);
      const auto to = std::lower_bound(from, by_frame.end(), span.to + shift, frame_below);
      count += to - from;
      if (before + count <= kMaxMarkers) taken.insert(taken.end(), from, to);
    }
  }

  // The indexes of frames in order of frame, ties in their order.
  static std::vector<uint32_t> ByFrame(std::span<const uint32_t> frames) {
    std::vector<uint32_t> by_frame(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) by_frame[i] = static_cast<uint32_t>(i);
    std::stable_sort(by_frame.begin(), by_frame.end(), [&](uint32_t a, uint32_t b) { return frames[a] < frames[b]; });
    return by_frame;
  }

  // A point of a source at `frame` (a region of `length` frames) moved with
  // an entry's copy; a region ends where the copy does, at the latest.
  static void MoveWithCopy(CuePoint& point, int64_t frame, int64_t length, const Placement& p) {
    point.frame = p.insert_frame + (frame - p.read_start_frame);
    const int64_t rest = int64_t{p.read_start_frame} + p.read_length - frame;
    point.length = std::clamp<int64_t>(std::min(length, rest), 0, INT32_MAX);
  }

  // The cue points one source carries into the destination for the entries
  // that read it (`readers`, in task-file order): those in each entry's copy
  // whose frame no later entry replaces, moved with it, into `carried` by
  // entry, with their labels, notes and region lengths. The source's
  // metadata is read once, whatever the number of its readers; every reader
  // learns what is wrong with it, the metadata entry gets its chunks. Returns
  // how many points it carries; keeps them only while those counted `before`
  // and they stay within the most a destination holds.
  int64_t CarryCuePoints(const std::vector<size_t>& readers, const std::vector<std::vector<FrameSpan>>& kept,
                         int64_t before, std::vector<std::vector<PlacedMarker>>& carried) {
    SourceFile& source = plan.entries[readers.front()].source;
    const SourceState ready = ReopenSource(source);
    if (ready == SourceState::kGone) Fail(ExitStatus::kWavError, message::kCannotOpen, source.name.c_str());
    if (ready == SourceState::kChanged) Fail(ExitStatus::kWavError, message::kCannotRead, source.name.c_str());
    const auto metadata_reader = std::find(readers.begin(), readers.end(), static_cast<size_t>(plan.metadata_entry));
    std::vector<CuePlace> points;
    Metadata metadata =
        ReadMetadata(source.file, source.size, source.info.format, metadata_reader != readers.end(), &points);
    for (const size_t e : readers) {
      Metadata& what = plan.entries[e].source.metadata;
      what.cue_count = metadata.cue_count;
      what.malformed = metadata.malformed;
    }
    if (metadata_reader != readers.end()) plan.entries[*metadata_reader].source.metadata = std::move(metadata);

    // The points by frame, to find those of a span at once.
    std::vector<uint32_t> frames(points.size());
    for (size_t i = 0; i < points.size(); ++i) frames[i] = points[i].frame;
    const std::vector<uint32_t> by_frame = ByFrame(frames);
    int64_t count = 0;
    std::vector<std::vector<uint32_t>> taken(readers.size());  // indexes into points, by reader
    for (size_t r = 0; r < readers.size(); ++r) {
      TakeInSpans(frames, by_frame, plan.entries[readers[r]].placement, kept[readers[r]], before, count, taken[r]);
    }
    if (before + count <= kMaxMarkers) {
      std::vector<uint32_t> ids;
      for (const std::vector<uint32_t>& indexes : taken) {
        for (const uint32_t i : indexes) ids.push_back(points[i].id);
      }
      std::sort(ids.begin(), ids.end());
      ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
      const std::vector<CuePoint> texts = ReadCueTexts(source.file, source.size, ids);
      for (size_t r = 0; r < readers.size(); ++r) {
        const Placement& p = plan.entries[readers[r]].placement;
        // In the cue chunk's order.
        std::sort(taken[r].begin(), taken[r].end());
        for (const uint32_t i : taken[r]) {
          const size_t text = static_cast<size_t>(std::lower_bound(ids.begin(), ids.end(), points[i].id) - ids.begin());
          PlacedMarker moved{.point = texts[text],
                             .origin = {.kind = MarkerOrigin::Kind::kCuePoint,
                                        .entry = static_cast<int>(readers[r]),
                                        .file = 0,
                                        .at = points[i].id}};
          MoveWithCopy(moved.point, points[i].frame, moved.point.length, p);
          carried[readers[r]].push_back(std::move(moved));
        }
      }
    }
    source.file = FileHandle();
    return count;
  }

  // The labels of one label file for the entries that name it (`uses`: an
  // entry and which of its label files, in task-file order): those whose
  // start lies in the entry's copy where no later entry replaces it, moved
  // with it (a region's end where the copy ends, at the latest), into
  // `carried` by entry. The file is read once. Returns how many labels it
  // carries; keeps them only while those counted `before` and they stay
  // within the most a destination holds.
  int64_t CarryLabels(const std::vector<std::pair<size_t, size_t>>& uses,
                      const std::vector<std::vector<FrameSpan>>& kept, int64_t before,
                      std::vector<std::vector<PlacedMarker>>& carried) {
    const auto [first, first_file] = uses.front();
    const NamedFile& named = plan.entries[first].task.label_files[first_file];
    const LabelTrack track = ReadLabelFile(named.name, plan.format.rate);
    std::vector<uint32_t> starts(track.labels.size());
    for (size_t i = 0; i < starts.size(); ++i) starts[i] = track.labels[i].start;
    const std::vector<uint32_t> by_frame = ByFrame(starts);
    int64_t count = 0;
    for (const auto& [e, j] : uses) {
      const Placement& p = plan.entries[e].placement;
      std::vector<uint32_t> taken;
      const int64_t counted = count;
      TakeInSpans(starts, by_frame, p, kept[e], before, count, taken);
      plan.entries[e].label_files[j] =
          LabelFileUse{.read = static_cast<int>(plan.label_files.size()), .kept = count - counted};
      if (before + count > kMaxMarkers) continue;
      for (const uint32_t i : taken) {
        const Label& label = track.labels[i];
        const std::string_view text = track.Text(label);
        PlacedMarker moved{.point = {.frame = 0,
                                     .length = 0,
                                     .has_label = !text.empty(),
                                     .label = std::string(text),
                                     .has_note = false,
                                     .note = {}},
                           .origin = {.kind = MarkerOrigin::Kind::kLabelFile,
                                      .entry = static_cast<int>(e),
                                      .file = static_cast<int>(j),
                                      .at = static_cast<uint32_t>(label.line)}};
        MoveWithCopy(moved.point, label.start, int64_t{label.end} - label.start, p);
        carried[e].push_back(std::move(moved));
      }
    }
    plan.label_files.push_back(LabelFileRead{.named = named,
                                             .entry = static_cast<int>(first),
                                             .labels = track.labels.size(),
                                             .unreadable = track.unreadable});
    return count;
  }

  // Markers: with "meta", the cue points of every entry's source that lie in
  // its copy move with it (unless a later entry replaces their frame), and so
  // do the labels of its label files; the task file's own marks sit at their
  // entry's insert frame (also where it writes nothing). In order of frame;
  // ties in task-file order, and within an entry its source's points, then
  // its labels (its label files in order, each in the file's order), then
  // its own marks. A destination holds at most kMaxMarkers: the plan refuses
  // more before anything is written, and keeps no more while it counts them.
  void PlaceMarkers() {
    int64_t count = 0;
    for (const Entry& entry : plan.entries) count += static_cast<int64_t>(entry.task.markers.size());
    std::vector<std::vector<PlacedMarker>> carried(plan.entries.size());
    std::vector<std::vector<PlacedMarker>> labelled(plan.entries.size());
    const bool labels = std::any_of(plan.entries.begin(), plan.entries.end(),
                                    [](const Entry& e) { return !e.task.label_files.empty(); });
    const std::vector<std::vector<FrameSpan>> kept =
        plan.metadata_entry >= 0 || labels ? SurvivingSpans() : std::vector<std::vector<FrameSpan>>{};
    if (plan.metadata_entry >= 0) {
      // Entries that name one file (by any name) share its reading.
      std::vector<bool> read(plan.entries.size(), false);
      for (size_t first = 0; first < plan.entries.size(); ++first) {
        if (read[first]) continue;
        std::vector<size_t> readers;
        for (size_t e = first; e < plan.entries.size(); ++e) {
          if (!read[e] && plan.entries[e].source.identity == plan.entries[first].source.identity) {
            readers.push_back(e);
            read[e] = true;
          }
        }
        count += CarryCuePoints(readers, kept, count, carried);
        if (count > kMaxMarkers) carried.assign(plan.entries.size(), {});
      }
    }
    // Label files too: one file (by any name) is read once for every entry
    // that names it.
    std::vector<std::pair<size_t, size_t>> named;  // entry and which of its label files
    std::vector<std::optional<FileIdentity>> identities;
    for (size_t e = 0; e < plan.entries.size(); ++e) {
      plan.entries[e].label_files.resize(plan.entries[e].task.label_files.size());
      for (size_t j = 0; j < plan.entries[e].task.label_files.size(); ++j) {
        named.emplace_back(e, j);
        identities.push_back(IdentityOfName(plan.entries[e].task.label_files[j].name.c_str()));
      }
    }
    std::vector<bool> read(named.size(), false);
    for (size_t first = 0; first < named.size(); ++first) {
      if (read[first]) continue;
      std::vector<std::pair<size_t, size_t>> uses;
      for (size_t k = first; k < named.size(); ++k) {
        // A name that leads to no file is read alone, and refused.
        if (!read[k] && (k == first || (identities[k] && identities[k] == identities[first]))) {
          uses.push_back(named[k]);
          read[k] = true;
        }
      }
      count += CarryLabels(uses, kept, count, labelled);
      if (count > kMaxMarkers) labelled.assign(plan.entries.size(), {});
    }
    if (count > kMaxMarkers) {
      Fail(ExitStatus::kTaskError, message::kTooManyMarkers, static_cast<long long>(count), kMaxMarkers);
    }
    std::vector<PlacedMarker> markers;
    markers.reserve(static_cast<size_t>(count));
    for (size_t e = 0; e < plan.entries.size(); ++e) {
      for (PlacedMarker& marker : carried[e]) markers.push_back(std::move(marker));
      std::sort(labelled[e].begin(), labelled[e].end(), [](const PlacedMarker& a, const PlacedMarker& b) {
        return a.origin.file != b.origin.file ? a.origin.file < b.origin.file : a.origin.at < b.origin.at;
      });
      for (PlacedMarker& marker : labelled[e]) markers.push_back(std::move(marker));
      const TaskEntry& task = plan.entries[e].task;
      for (size_t m = 0; m < task.markers.size(); ++m) {
        markers.push_back(PlacedMarker{
            .point = {.frame = plan.entries[e].placement.insert_frame,
                      .length = 0,
                      .has_label = true,
                      .label = task.markers[m],
                      .has_note = false,
                      .note = {}},
            .origin = {.kind = MarkerOrigin::Kind::kMark,
                       .entry = static_cast<int>(e),
                       .file = 0,
                       .at = m < task.marker_lines.size() ? static_cast<uint32_t>(task.marker_lines[m]) : 0}});
      }
      carried[e] = {};
      labelled[e] = {};
    }
    std::stable_sort(markers.begin(), markers.end(),
                     [](const PlacedMarker& a, const PlacedMarker& b) { return a.point.frame < b.point.frame; });
    plan.markers.reserve(markers.size());
    plan.marker_origins.reserve(markers.size());
    for (PlacedMarker& marker : markers) {
      plan.markers.push_back(std::move(marker.point));
      plan.marker_origins.push_back(marker.origin);
    }
  }

  void Resolve(const std::string& task_path) {
    if (tasks.destination_name.empty()) Fail(ExitStatus::kTaskError, message::kDestinationNameMissing);
    const bool metadata = !tasks.metadata_source.empty();
    if (metadata) {
      const long n = std::strtol(tasks.metadata_source.c_str(), nullptr, 10);
      if (n < 1 || n > static_cast<long>(tasks.entries.size())) {
        Fail(ExitStatus::kTaskError, message::kNoMetadataSource, tasks.metadata_source.c_str());
      }
      plan.metadata_entry = static_cast<int>(n - 1);
    }
    RefuseClobbering(tasks, task_path);

    // Each source is read and closed again: the entries open them when their
    // turn comes, so a few files are open at once, whatever their number.
    for (const TaskEntry& task : tasks.entries) {
      plan.entries.push_back(Entry{.number = static_cast<int>(plan.entries.size()) + 1,
                                   .task = task,
                                   .placement = {},
                                   .source = OpenSource(task.source_name, plan.said),
                                   .label_files = {}});
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
    for (Entry& entry : plan.entries) {
      const int copied = std::max(entry.placement.read_length, 0);
      // A crossfade made over the splice already brings an entry in; one
      // that will not be made leaves its fade-in to do it.
      if (!FitCrossfade(plan, entry).Made()) entry.placement.fade_in_frames = FadeFrames(entry.task.fade_in, copied);
      entry.placement.fade_out_frames = FadeFrames(entry.task.fade_out, copied);
    }
    // "lufs" chooses an entry's level from its copy as its source sounds:
    // measured here, so that a check and a run agree.
    for (Entry& entry : plan.entries) {
      if (entry.task.lufs) MeasureCopy(entry, plan.format);
    }
    plan.loudness_goal = GoalOf(tasks, plan.format);
    PlaceMarkers();

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

namespace {

// The line a destination adds to its bext's CodingHistory.
std::string CodingHistoryLine(const AudioFormat& f) {
  const std::string mode = f.channels == 1   ? "mono"
                           : f.channels == 2 ? "stereo"
                                             : std::to_string(f.channels) + " channels";
  return Format("A=PCM,F=%u,W=%i,M=%s,T=wavsplice %s\r\n", f.rate, f.bits, mode.c_str(), WAVSPLICE_VERSION);
}

// The chunks before the data, the JUNK chunk last, with a body of `junk`
// bytes.
DestinationLayout WithJunk(DestinationLayout layout, int64_t junk) {
  const std::vector<unsigned char> chunk = ChunkBytes("JUNK", std::vector<unsigned char>(static_cast<size_t>(junk), 0));
  layout.before_data.insert(layout.before_data.end(), chunk.begin(), chunk.end());
  return layout;
}

}  // namespace

DestinationLayout DestinationLayoutOf(const Plan& plan, int64_t align_block, Alignment* alignment) {
  DestinationLayout layout = DestinationLayoutOf(plan);
  if (align_block <= 0) return layout;
  const std::vector<PlainRun> runs = PlainRuns(plan);
  Alignment chosen;
  chosen.junk = AlignmentPadding(plan, runs, SamplesStart(WithJunk(layout, 0)), align_block, &chosen.entry);
  // The few bytes may carry a destination just past the size of a RIFF file:
  // as RF64 its samples start later.
  if (IsRf64(WithJunk(layout, chosen.junk)) != IsRf64(WithJunk(layout, 0))) {
    const int64_t moved = SamplesStart(WithJunk(layout, chosen.junk)) - chosen.junk;
    chosen.junk = AlignmentPadding(plan, runs, moved, align_block, &chosen.entry);
  }
  if (alignment != nullptr) *alignment = chosen;
  return WithJunk(std::move(layout), chosen.junk);
}

DestinationLayout DestinationLayoutOf(const Plan& plan) {
  DestinationLayout layout{.format = plan.format,
                           .frames = plan.destination_length,
                           .format_body = {},
                           .before_data = {},
                           .after_data = CueChunks(plan.markers)};
  if (plan.metadata_entry < 0) return layout;
  const Entry& entry = plan.entries[static_cast<size_t>(plan.metadata_entry)];
  const Metadata& m = entry.source.metadata;
  layout.format_body = m.extensible_format;
  const auto append = [&](const char* tag, const std::vector<unsigned char>& body) {
    const std::vector<unsigned char> chunk = ChunkBytes(tag, body);
    layout.before_data.insert(layout.before_data.end(), chunk.begin(), chunk.end());
  };
  if (!m.bext.empty()) {
    // The entry's audio keeps its time on the recording's clock.
    uint64_t reference = Little64(&m.bext[kBextTimeReference]);
    // Not below 0, and not past the largest count either.
    const auto start = static_cast<uint64_t>(std::max(entry.placement.read_start_frame, 0));
    reference = reference > UINT64_MAX - start ? UINT64_MAX : reference + start;
    const auto insert = static_cast<uint64_t>(std::max(entry.placement.insert_frame, 0));
    append("bext", EditedBext(m.bext, reference > insert ? reference - insert : 0, CodingHistoryLine(plan.format)));
  }
  if (!m.ixml.empty()) append("iXML", m.ixml);
  if (!m.axml.empty()) append("axml", m.axml);
  for (const std::vector<unsigned char>& info : m.info) append("LIST", info);
  return layout;
}

bool DestinationUpToDate(const TaskList& tasks, const std::string& task_path) {
  struct stat status {};
  // Only a regular file can be up to date (a folder of its name is no destination).
  if (tasks.destination_name.empty() || stat(tasks.destination_name.c_str(), &status) != 0 ||
      !S_ISREG(status.st_mode)) {
    return false;
  }
  const struct timespec* destination = &status.st_mtim;
  const auto older = [&](const std::string& name) {
    const auto time = ModifiedTime(name.c_str());
    return time && (time->tv_sec < destination->tv_sec ||
                    (time->tv_sec == destination->tv_sec && time->tv_nsec < destination->tv_nsec));
  };
  if (!older(task_path)) return false;
  return std::all_of(tasks.entries.begin(), tasks.entries.end(), [&](const TaskEntry& entry) {
    return older(entry.source_name) && std::all_of(entry.label_files.begin(), entry.label_files.end(),
                                                   [&](const NamedFile& labels) { return older(labels.name); });
  });
}

bool NamesOneFile(const std::string& a, const std::string& b) { return SameFile(IdentityOf(a), IdentityOf(b)); }

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

CrossfadeFit FitCrossfade(const Plan& plan, const Entry& entry) {
  CrossfadeFit fit;
  if (!Crossfades(entry.task)) return fit;
  fit.width = CrossfadeWidth(entry.task, plan.format);
  if (fit.width < 0) return fit;
  const Placement& p = entry.placement;
  const int64_t frame_bytes = FrameBytes(plan.format);
  const int half = fit.width / 2;
  const AudioExtent destination{0, int64_t{plan.destination_length} * frame_bytes};
  fit.destination = FitWindow(destination, int64_t{p.insert_frame} - half, frame_bytes);
  fit.source = FitWindow(entry.source.info.audio, int64_t{p.read_start_frame} - half, frame_bytes);
  fit.laid = CrossfadeIsLaid(p.insert_frame, fit.width);
  return fit;
}

int64_t LaidFrames(const Plan& plan, const Entry& entry) {
  const CrossfadeFit fit = FitCrossfade(plan, entry);
  if (!fit.Made()) return 0;
  const int64_t room = plan.destination_length - (int64_t{entry.placement.insert_frame} - fit.width / 2);
  return room < 0 ? 0 : room < fit.width ? room : fit.width;
}

std::vector<FrameSpan> Uncovered(const std::vector<FrameSpan>& parts, const FrameSpan& cover) {
  std::vector<FrameSpan> rest;
  for (const FrameSpan& part : parts) {
    if (cover.to <= part.from || cover.from >= part.to) {
      rest.push_back(part);
      continue;
    }
    if (part.from < cover.from) rest.push_back({part.from, cover.from});
    if (cover.to < part.to) rest.push_back({cover.to, part.to});
  }
  return rest;
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
    outgoing.uncovered = Uncovered(outgoing.uncovered, landing);
  }
  if (outgoing.entry < 0) {
    outgoing.uncovered.clear();
    return outgoing;
  }
  const Placement& o = plan.entries[static_cast<size_t>(outgoing.entry)].placement;
  if (o.fade_in_frames > 0) outgoing.sounding.from = o.insert_frame;
  if (o.fade_out_frames > 0) outgoing.sounding.to = int64_t{o.insert_frame} + o.read_length;
  return outgoing;
}

bool Crossfades(const TaskEntry& entry) { return entry.xfade_type != 0 && !entry.mixed; }

bool HasCrossfade(const TaskList& tasks) { return std::any_of(tasks.entries.begin(), tasks.entries.end(), Crossfades); }
