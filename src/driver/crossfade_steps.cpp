#include <cstdint>
#include <cstdio>
#include <optional>

#include "driver/run_state.hpp"
#include "wav/crossfade_file.hpp"
#include "wav/destination.hpp"
#include "wav/header.hpp"

namespace {

// The width of an entry whose own width is 0, negative or not a number.
constexpr int kDefaultWidthFrames = 4410;

}  // namespace

int CrossfadeWidth(const RunState& state, const TaskEntry& entry) {
  if (!(entry.xfade_width_ms > 0.0F)) return kDefaultWidthFrames;
  const AudioFormat& f = state.format;
  const double frames = static_cast<double>(static_cast<float>(f.rate) * entry.xfade_width_ms) / 1000.0;
  // A width beyond the int range, or one whose work file could not be a
  // valid WAV file, cannot be rendered.
  if (!(frames < 2147483648.0) || static_cast<int64_t>(frames) * FrameBytes(f) > kMaxDataSize) return -1;
  return static_cast<int>(frames);
}

// Renders the crossfade into the work file from the destination as it stands,
// before the entry's segment overwrites the splice.
std::optional<WorkFileHold> PrepareCrossfade(RunState& state, int e, int width_frames, bool source_present) {
  std::optional<WorkFileHold> work;
  if (width_frames >= 0) {
    const TaskEntry& t = state.tasks.entries[e];
    const EntryPlan& p = state.plan[e];
    work.emplace(HoldWorkFile(state.format, width_frames));
    const CrossfadeJob job{.insert_frame = p.insert_frame,
                           .read_start_frame = p.read_start_frame,
                           .width_frames = width_frames,
                           .curve = t.xfade_type,
                           .level_db = t.level_db,
                           .destination = DestinationAudio(state.destination),
                           .source = source_present ? &state.sources[e] : nullptr,
                           .work = &*work};
    if (RenderCrossfade(job, state.format, state.curve) == CrossfadeResult::kRendered) return work;
    work.reset();  // removes the work file
  }
  std::puts("Could not generate crossfade");
  return std::nullopt;
}

// Lays the rendered frames over the splice. Frames at or beyond the
// destination's length are not written: the file stays as long as its header
// says.
void PlaceCrossfade(RunState& state, int e, int width_frames, const WorkFileHold& work) {
  if (!CrossfadeIsLaid(state.plan[e].insert_frame, width_frames)) return;
  const int64_t start = int64_t{state.plan[e].insert_frame} - width_frames / 2;
  const int64_t room = state.destination_length - start;
  const int count = static_cast<int>(room < width_frames ? room : width_frames);
  CopyFrames(DestinationAudio(state.destination), WorkFileAudio(work), state.format,
             FrameCopy{.to_frame = static_cast<int>(start), .from_frame = 0, .count = count}, state.scratch);
}
