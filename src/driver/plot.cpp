#include "driver/plot.hpp"

#include <algorithm>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "engine/measure.hpp"
#include "plan/lanes.hpp"

ColumnGrid PlotGrid(const RunState& state) {
  return ColumnGrid{.frames = state.plan.destination_length, .count = kPlotColumns};
}

std::vector<ColumnFold> FoldLanes(RunState& state, ColumnFold* destination) {
  const std::vector<LaneSound> sounds = LaneSounds(state.plan);
  std::vector<ColumnFold> lanes;
  for (size_t k = 0; k < sounds.size(); ++k) {
    lanes.push_back(StartFold(PlotGrid(state)));
    if (sounds[k].runs.empty()) continue;
    SourceFile& source = state.plan.entries[static_cast<size_t>(state.plan.write_order[k])].source;
    const SourceState ready = ReopenSource(source);
    if (ready == SourceState::kGone) Fail(ExitStatus::kWavError, message::kCannotOpen, source.name.c_str());
    if (ready == SourceState::kChanged) Fail(ExitStatus::kWavError, message::kCannotRead, source.name.c_str());
    const std::span<const FrameSpan> skipped = k < state.render_skips.size()
                                                   ? std::span<const FrameSpan>(state.render_skips[k])
                                                   : std::span<const FrameSpan>();
    FoldLane(SourceAudio(source), state.plan.format, sounds[k], lanes.back(), state.instructions, skipped, destination);
    source.file = FileHandle();
  }
  return lanes;
}

void FoldDestination(const RunState& state, ColumnFold& fold) {
  std::vector<FrameSpan> read{{0, state.plan.destination_length}};
  for (const std::vector<FrameSpan>& skipped : state.render_skips) {
    for (const FrameSpan& span : skipped) read = Uncovered(read, span);
  }
  std::sort(read.begin(), read.end(), [](const FrameSpan& a, const FrameSpan& b) { return a.from < b.from; });
  for (const FrameSpan& span : read) {
    ReadInOrder(DestinationAudio(state.destination), state.plan.format, span.from, span.to - span.from, nullptr, &fold,
                state.instructions);
  }
}

void KeepLoudnessCurve(const RunState& state, const LoudnessMeter& meter, PlotData& plot) {
  const auto steps = static_cast<int64_t>(meter.step_energy.size());
  plot.short_term_every = static_cast<int>(std::max<int64_t>(1, (steps + kPlotColumns - 1) / kPlotColumns));
  plot.short_term = ShortTermCurve(meter, plot.short_term_every);
  plot.target_lufs = state.plan.loudness_goal.target;
}

void MakePicture(RunState& state, const CheckReport& report, const PlotData& plot) {
  MarkerFile* file = PlotFile(state);
  if (file == nullptr) return;
  file->text = PlotPicture(state.tasks, state.notes, state.plan, report, state.task_path, plot);
}

MarkerFile* PlotFile(RunState& state) {
  const auto file = std::find_if(state.marker_files.begin(), state.marker_files.end(),
                                 [](const MarkerFile& f) { return f.slot == StopSlot::kPlot; });
  return file == state.marker_files.end() ? nullptr : &*file;
}
