#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/audio_format.hpp"
#include "common/exact_number.hpp"
#include "engine/crossfade.hpp"
#include "engine/source.hpp"
#include "task/labels.hpp"
#include "plan/loudness.hpp"
#include "task/task_list.hpp"
#include "wav/cue.hpp"
#include "wav/header.hpp"

// The most markers a destination holds (cue points carried and marks).
inline constexpr int kMaxMarkers = 1000000;

// Where one entry's segment comes from and lands, in frames.
struct Placement {
  int read_start_frame = 0;
  int read_length = 0;  // 0 or less: nothing is copied
  int insert_frame = 0;
  int stop_frame = 0;       // the stop (after its default and trim), before any cut at the source's end
  bool stop_cut = false;    // the stop lay past the source's end
  int fade_in_frames = 0;   // the entry's first frames rise from silence
  int fade_out_frames = 0;  // its last frames fall to silence
  // The copy start and the stop as written (after its default and trim),
  // exactly, in frames: the values times the rate (or times 1 for samples).
  // With using_samples, appended entries are placed by them.
  ExactNumber start_units;
  ExactNumber stop_units;
};

// Where a marker of the destination comes from.
struct MarkerOrigin {
  enum class Kind : uint8_t { kMark, kLabelFile, kCuePoint };
  Kind kind = Kind::kMark;
  int entry = 0;    // its entry, by index in task-file order
  int file = 0;     // a label's: which of the entry's label files
  uint32_t at = 0;  // a mark's task-file line, a label's line in its file, a cue point's id in its source
};

// A label file as the plan read it (once, however many entries name it).
struct LabelFileRead {
  NamedFile named;  // as the first entry that names it gives it
  int entry = 0;    // that entry, by index in task-file order
  size_t labels = 0;
  std::vector<UnreadableLine> unreadable;
};

// What an entry took from one of its label files.
struct LabelFileUse {
  int read = 0;      // which of the plan's label files
  int64_t kept = 0;  // its markers in the destination
};

// One entry of the task file as the run knows it: what the task file said,
// what the plan decided, and its source.
struct Entry {
  int number = 0;  // its position in the task file, from 1
  TaskEntry task;
  Placement placement;
  SourceFile source;
  std::vector<LabelFileUse> label_files;  // as its task lists them
  std::optional<CopyLoudness> loudness{};  // its copy measured: with "lufs" (or --check --loudness)
};

// The run as the plan decided it.
struct Plan {
  std::vector<Entry> entries;    // in task-file order
  std::vector<int> write_order;  // indexes into entries
  // The sources' common format; without entries there is no source to take
  // it from, and CD-quality stereo stands in.
  AudioFormat format;
  int destination_length = 0;
  std::vector<CuePoint> markers;  // in order of frame (ties in task-file order)
  std::vector<MarkerOrigin> marker_origins;  // of each marker
  std::vector<LabelFileRead> label_files;
  int metadata_entry = -1;        // the entry whose source's metadata the destination takes ("meta"); -1: none
  LoudnessGoal loudness_goal;     // "loud" and "peak": the programme's gain after it is built
  std::string said;               // notes of the source reader, printed before the entries
};

// Why the plan refused an edit, for a check to show: the run itself says
// only "Edit start/stop set incorrectly".
struct EditRefusal {
  int entry = -1;             // its index in task-file order; -1: none
  const char* command = "";   // whose value is at fault ("" for an appended position)
  std::string reason;         // what that value does wrong
  std::vector<Entry> placed;  // the entries before it, as far as they could be placed (without sources)
  uint32_t rate = 0;          // the run's rate
};

// Reads the sources, checks and converts every entry, decides the write order,
// the destination's length and its markers, and checks the names a run would
// write.
// Creates no file. Every refusal ends the run; one of an edit also fills
// `refusal` when given. A failure's message begins with what was said before
// it (a source without a format chunk).
Plan ResolvePlan(const TaskList& tasks, const std::string& task_path, EditRefusal* refusal = nullptr);

// What the destination holds around its samples: the metadata it takes over
// before them ("meta"), its markers after them.
DestinationLayout DestinationLayoutOf(const Plan& plan);
// With --align: the same, and a JUNK chunk right before the data whose size
// (see AlignmentPadding) aligns the largest plain run it can with its
// source's blocks of `align_block` bytes; which, in `alignment`.
struct Alignment {
  int64_t junk = 0;  // the JUNK chunk's body size
  int entry = -1;    // the entry whose run it aligns (index in task-file order); -1: none
};
DestinationLayout DestinationLayoutOf(const Plan& plan, int64_t align_block, Alignment* alignment = nullptr);

// With --update: whether the destination is a regular file modified after
// the task file, every source and every label file (a missing one never
// leaves it up to date). A run gives its destination the time it started at, so that
// whatever changed while it ran is newer.
bool DestinationUpToDate(const TaskList& tasks, const std::string& task_path);

// Whether two names lead to one file, as the destination is compared with
// the files a run reads: the same existing file (through links too), or the
// same name in the same folder where neither exists yet.
bool NamesOneFile(const std::string& a, const std::string& b);

// Seconds as the summaries show them: frames and rate in single precision.
double Seconds(int64_t frames, uint32_t rate);

// The crossfade width of an entry in frames; -1 when it cannot be rendered.
int CrossfadeWidth(const TaskEntry& entry, const AudioFormat& format);

// Whether a rendered crossfade is laid over its splice: not when it would
// start at the destination's first frame or before it.
inline bool CrossfadeIsLaid(int insert_frame, int width_frames) {
  return int64_t{insert_frame} - width_frames / 2 >= 1;
}

// What the plan knows of an entry's crossfade before the run: its width and
// how its windows fall in the destination's and the source's samples. The
// run renders it when the width can be rendered and both windows fit, and it
// is made when it is also laid over its splice; the fade-in, the copy, block
// sharing and the check all go by this. An entry without a crossfade (or a
// mixed one) has a width of -1.
struct CrossfadeFit {
  int width = -1;  // frames; -1: it cannot be rendered
  WindowFit destination;
  WindowFit source;
  bool laid = false;
  bool Rendered() const { return width >= 0 && destination.Fits() && source.Fits(); }
  bool Made() const { return Rendered() && laid; }
};
CrossfadeFit FitCrossfade(const Plan& plan, const Entry& entry);

// How many frames of an entry's crossfade window are laid over its splice,
// from insert_frame - width/2 on: none when it is not made, and none at or
// beyond the destination's length.
int64_t LaidFrames(const Plan& plan, const Entry& entry);

// The parts of `parts` that `cover` leaves uncovered.
std::vector<FrameSpan> Uncovered(const std::vector<FrameSpan>& parts, const FrameSpan& cover);

// The outgoing entry of the crossfade of the entry at `position` of the write
// order: the entry written last, before it, over the frame before its splice
// (-1: none), the frames of the window that no entry written before it
// covers (none without an outgoing entry), and where the outgoing entry
// carried on sounds: it keeps its envelope, so it is silent before its
// start when it fades in and past its end when it fades out.
struct OutgoingPlan {
  int entry = -1;
  std::vector<FrameSpan> uncovered;
  FrameSpan sounding{INT64_MIN, INT64_MAX};
};
OutgoingPlan PlanOutgoing(const Plan& plan, size_t position, int width_frames);

// Whether an entry is joined to what lies before it by a crossfade: a mixed
// entry's crossfade is ignored.
bool Crossfades(const TaskEntry& entry);

// A task without a crossfade never touches the work file.
bool HasCrossfade(const TaskList& tasks);

// Whether an entry is written through the mix (a fade, or laid over what lies
// under it) rather than copied.
inline bool Shaped(const Entry& entry) {
  return entry.task.mixed || entry.placement.fade_in_frames > 0 || entry.placement.fade_out_frames > 0;
}
