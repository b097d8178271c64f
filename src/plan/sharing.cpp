#include "plan/sharing.hpp"

#include <algorithm>

namespace {

int64_t SourceOffset(const Plan& plan, const PlainRun& run) {
  const Entry& entry = plan.entries[static_cast<size_t>(run.entry)];
  return entry.source.info.audio.start + run.from_frame * FrameBytes(plan.format);
}

int64_t Residue(int64_t value, int64_t block) { return ((value % block) + block) % block; }

}  // namespace

int64_t FramesUnderCrossfade(const Plan& plan, const Entry& entry) {
  const Placement& p = entry.placement;
  const int64_t laid = LaidFrames(plan, entry);
  if (laid == 0) return 0;
  const int64_t start = int64_t{p.insert_frame} - FitCrossfade(plan, entry).width / 2;
  return std::clamp<int64_t>(start + laid - p.insert_frame, 0, std::max(p.read_length, 0));
}

std::vector<PlainRun> PlainRuns(const Plan& plan) {
  std::vector<PlainRun> runs;
  // A programme gain rewrites every sample after the entries.
  if (plan.loudness_goal.Active()) return runs;
  for (const int index : plan.write_order) {
    const Entry& entry = plan.entries[static_cast<size_t>(index)];
    const Placement& p = entry.placement;
    if (entry.task.level_db != 0.0 || Shaped(entry) || p.read_length <= 0) continue;
    const int64_t skip = FramesUnderCrossfade(plan, entry);
    const int64_t in_source = std::min<int64_t>(p.read_length, entry.source.info.length_frames - p.read_start_frame);
    if (in_source <= skip) continue;
    runs.push_back(PlainRun{.entry = index,
                            .to_frame = p.insert_frame + skip,
                            .from_frame = p.read_start_frame + skip,
                            .frames = in_source - skip});
  }
  return runs;
}

int64_t AlignmentPadding(const Plan& plan, const std::vector<PlainRun>& runs, int64_t data_start, int64_t block,
                         int* aligned) {
  if (aligned != nullptr) *aligned = -1;
  if (block <= 0) return 0;
  // The largest first; among equals the one written first.
  std::vector<const PlainRun*> order;
  for (const PlainRun& run : runs) order.push_back(&run);
  std::stable_sort(order.begin(), order.end(),
                   [](const PlainRun* a, const PlainRun* b) { return a->frames > b->frames; });
  const int64_t frame_bytes = FrameBytes(plan.format);
  for (const PlainRun* run : order) {
    // Chunks keep even sizes: a run needing an odd shift cannot be aligned.
    const int64_t shift = Residue(SourceOffset(plan, *run) - (data_start + run->to_frame * frame_bytes), block);
    if (shift % 2 != 0) continue;
    if (aligned != nullptr) *aligned = run->entry;
    return shift;
  }
  return 0;
}

SharingForecast ForecastSharing(const Plan& plan, const std::vector<PlainRun>& runs, const FileSystem& destination,
                                int64_t data_start) {
  SharingForecast forecast;
  forecast.entries.resize(plan.entries.size());
  const int64_t frame_bytes = FrameBytes(plan.format);
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    const Entry& entry = plan.entries[i];
    const int64_t window = LaidFrames(plan, entry);
    forecast.entries[i].written = (std::max(entry.placement.read_length, 0) + window) * frame_bytes;
  }
  const bool can_share = CanShareBlocks(destination.type) && destination.block > 0;
  for (const PlainRun& run : runs) {
    EntrySharing& e = forecast.entries[static_cast<size_t>(run.entry)];
    e.plain = true;
    const int64_t source_at = SourceOffset(plan, run);
    const int64_t destination_at = data_start + run.to_frame * frame_bytes;
    const int64_t bytes = run.frames * frame_bytes;
    if (destination.block > 0) e.apart = Residue(source_at - destination_at, destination.block);
    e.other_device = plan.entries[static_cast<size_t>(run.entry)].source.identity.device != destination.device;
    if (can_share && !e.other_device)
      e.shared += ShareableSpan(source_at, destination_at, bytes, destination.block).bytes;
  }
  for (const EntrySharing& e : forecast.entries) {
    forecast.shared += e.shared;
    forecast.copied += e.written - e.shared;
  }
  return forecast;
}
