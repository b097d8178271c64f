#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "common/failure.hpp"
#include "driver/run_state.hpp"
#include "wav/crossfade_file.hpp"
#include "wav/destination.hpp"
#include "wav/header.hpp"

namespace {

// The width of an entry whose own width is 0, negative or not a number.
constexpr int kDefaultWidthFrames = 4410;

}  // namespace

int CrossfadeWidth(const RunState& state, const TaskEntry& entry) {
  if (!IsPositive(entry.xfade_width)) return kDefaultWidthFrames;
  const AudioFormat& f = state.format;
  // The width as written times the rate in single precision, / 1000.
  const std::optional<int64_t> frames =
      TruncatedProduct(entry.xfade_width, static_cast<uint64_t>(static_cast<float>(f.rate)), 1000);
  // A width beyond the int range, or one whose work file could not be a
  // valid WAV file, cannot be rendered.
  if (!frames || *frames > INT_MAX || *frames * FrameBytes(f) > kMaxDataSize) return -1;
  return static_cast<int>(*frames);
}

OutgoingPlan PlanOutgoing(const RunState& state, size_t position, int width_frames) {
  const int e = state.write_order[position];
  const int64_t splice = state.plan[e].insert_frame;
  const int64_t first = splice - width_frames / 2;
  OutgoingPlan plan{.entry = -1, .uncovered = {{first, first + width_frames}}};
  for (size_t k = 0; k < position; ++k) {
    const EntryPlan& p = state.plan[state.write_order[k]];
    if (p.read_length <= 0) continue;
    const FrameSpan landing{p.insert_frame, int64_t{p.insert_frame} + p.read_length};
    if (landing.from < splice && splice <= landing.to) plan.entry = state.write_order[k];
    std::vector<FrameSpan> rest;
    for (const FrameSpan& part : plan.uncovered) {
      if (landing.to <= part.from || landing.from >= part.to) {
        rest.push_back(part);
        continue;
      }
      if (part.from < landing.from) rest.push_back({part.from, landing.from});
      if (landing.to < part.to) rest.push_back({landing.to, part.to});
    }
    plan.uncovered = std::move(rest);
  }
  if (plan.entry < 0) plan.uncovered.clear();
  return plan;
}

Continuation OutgoingEntry(RunState& state, size_t position, int width_frames) {
  OutgoingPlan plan = PlanOutgoing(state, position, width_frames);
  Continuation carried;
  if (plan.uncovered.empty()) return carried;
  const EntryPlan& o = state.plan[plan.entry];
  SourceFile& source = state.sources[plan.entry];
  carried.source_offset = int64_t{o.read_start_frame} - o.insert_frame;
  carried.level_db = state.tasks.entries[plan.entry].level_db;
  // The source is opened only when the window takes frames of it; past its
  // end (a take copied to its end) the outgoing side is silence.
  const int64_t length = source.info.length_frames;
  const bool reads = std::any_of(plan.uncovered.begin(), plan.uncovered.end(), [&](const FrameSpan& span) {
    return span.from + carried.source_offset < length && span.to + carried.source_offset > 0;
  });
  if (reads) {
    const SourceState ready = ReopenSource(source);
    if (ready == SourceState::kGone) Fail(2, "Cannot open wave file %s!\n", source.name.c_str());
    if (ready == SourceState::kChanged) Fail(2, "Cannot read wave file %s!\n", source.name.c_str());
    carried.source = &source;
  }
  carried.spans = std::move(plan.uncovered);
  return carried;
}

// Renders the crossfade into the work file from the destination as it stands,
// before the entry's segment overwrites the splice.
std::optional<WorkFileHold> PrepareCrossfade(RunState& state, int e, int width_frames, bool source_present,
                                             const Continuation& outgoing, int64_t& clipped) {
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
                           .work = &*work,
                           .outgoing = &outgoing};
    if (RenderCrossfade(job, state.format, state.curve, clipped) == CrossfadeResult::kRendered) return work;
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
