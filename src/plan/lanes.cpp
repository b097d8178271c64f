#include "plan/lanes.hpp"

#include <algorithm>

#include "dsp/level.hpp"
#include "plan/sharing.hpp"

namespace {

bool Empty(const FrameSpan& span) { return span.to <= span.from; }

bool Meets(const std::vector<FrameSpan>& runs, const FrameSpan& span) {
  return std::any_of(runs.begin(), runs.end(),
                     [&](const FrameSpan& r) { return r.from < span.to && span.from < r.to; });
}

// Spans in order, those that touch or overlap made one.
std::vector<FrameSpan> Merged(std::vector<FrameSpan> spans) {
  std::sort(spans.begin(), spans.end(), [](const FrameSpan& a, const FrameSpan& b) { return a.from < b.from; });
  std::vector<FrameSpan> merged;
  for (const FrameSpan& span : spans) {
    if (Empty(span)) continue;
    if (!merged.empty() && span.from <= merged.back().to) {
      merged.back().to = std::max(merged.back().to, span.to);
    } else {
      merged.push_back(span);
    }
  }
  return merged;
}

// The entry's own weight: its fades, and over its crossfade's window the
// curve's incoming weight, which the crossfade lays over whatever the fades
// made of those frames.
void OwnShape(const Plan& plan, const Entry& entry, LaneSound& lane) {
  const Placement& p = entry.placement;
  const FrameSpan landing = Landing(p);
  const FrameSpan window = LaidWindow(plan, entry);
  lane.source_offset = int64_t{p.read_start_frame} - p.insert_frame;
  lane.gain = GainOf(entry.task.level_db);
  lane.runs = Merged({landing, window});
  if (!Empty(window)) {
    const int width = FitCrossfade(plan, entry).width;
    lane.factors.push_back({.kind = WeightFactor::Kind::kCurveIn,
                            .from = window.from,
                            .to = window.to,
                            .start = window.from,
                            .width = width,
                            .curve = entry.task.xfade_type});
  }
  if (p.fade_in_frames > 0) {
    lane.factors.push_back({.kind = WeightFactor::Kind::kCurveIn,
                            .from = landing.from,
                            .to = landing.from + p.fade_in_frames,
                            .start = landing.from,
                            .width = p.fade_in_frames,
                            .curve = 1});
  }
  if (p.fade_out_frames > 0) {
    const int64_t start = landing.to - p.fade_out_frames;
    lane.factors.push_back({.kind = WeightFactor::Kind::kCurveOut,
                            .from = Empty(window) ? start : std::max(start, window.to),
                            .to = landing.to,
                            .start = start,
                            .width = p.fade_out_frames,
                            .curve = 1});
  }
}

}  // namespace

FrameSpan Landing(const Placement& p) { return {p.insert_frame, int64_t{p.insert_frame} + std::max(p.read_length, 0)}; }

FrameSpan LaidWindow(const Plan& plan, const Entry& entry) {
  const int64_t laid = LaidFrames(plan, entry);
  if (laid <= 0) return {};
  const int64_t first = int64_t{entry.placement.insert_frame} - FitCrossfade(plan, entry).width / 2;
  return {first, first + laid};
}

std::vector<LaneSound> LaneSounds(const Plan& plan) {
  const size_t count = plan.write_order.size();
  const auto at = [&](size_t k) -> const Entry& { return plan.entries[static_cast<size_t>(plan.write_order[k])]; };
  std::vector<size_t> position(plan.entries.size());
  for (size_t k = 0; k < count; ++k) position[static_cast<size_t>(plan.write_order[k])] = k;
  std::vector<LaneSound> lanes(count);
  for (size_t k = 0; k < count; ++k) OwnShape(plan, at(k), lanes[k]);

  for (size_t k = 0; k < count; ++k) {
    const Entry& entry = at(k);
    // A crossfade fades out what lies in its window when it is written, and
    // carries the outgoing entry on where nothing lies there.
    const FrameSpan window = LaidWindow(plan, entry);
    if (!Empty(window)) {
      const int width = FitCrossfade(plan, entry).width;
      const OutgoingPlan outgoing = PlanOutgoing(plan, k, width);
      if (outgoing.entry >= 0) {
        LaneSound& carried = lanes[position[static_cast<size_t>(outgoing.entry)]];
        std::vector<FrameSpan> runs = carried.runs;
        for (const FrameSpan& span : outgoing.uncovered) {
          runs.push_back({std::max({span.from, window.from, outgoing.sounding.from}),
                          std::min({span.to, window.to, outgoing.sounding.to})});
        }
        carried.runs = Merged(std::move(runs));
      }
      const WeightFactor out{.kind = WeightFactor::Kind::kCurveOut,
                             .from = window.from,
                             .to = window.to,
                             .start = int64_t{entry.placement.insert_frame} - width / 2,
                             .width = width,
                             .curve = entry.task.xfade_type};
      for (size_t j = 0; j < k; ++j) {
        if (Meets(lanes[j].runs, window)) lanes[j].factors.push_back(out);
      }
    }
    // A mixed entry changes what lies under it when it is written.
    const double under = GainOf(entry.task.mix_db);
    const FrameSpan landing = Landing(entry.placement);
    if (!entry.task.mixed || under == 1.0 || Empty(landing)) continue;
    const WeightFactor duck = DuckOf(entry.placement, under);
    for (size_t j = 0; j < k; ++j) {
      if (Meets(lanes[j].runs, landing)) lanes[j].factors.push_back(duck);
    }
  }
  return lanes;
}

WeightFactor DuckOf(const Placement& placement, double under) {
  const FrameSpan landing = Landing(placement);
  return WeightFactor{.kind = WeightFactor::Kind::kDuck,
                      .from = landing.from,
                      .to = landing.to,
                      .start = landing.from,
                      .width = 0,
                      .curve = 1,
                      .frames = placement.read_length,
                      .fade_in = placement.fade_in_frames,
                      .fade_out = placement.fade_out_frames,
                      .under_gain = under};
}

std::vector<std::vector<FrameSpan>> SurvivingParts(const Plan& plan) {
  const size_t count = plan.write_order.size();
  const auto at = [&](size_t k) -> const Entry& { return plan.entries[static_cast<size_t>(plan.write_order[k])]; };
  std::vector<std::vector<FrameSpan>> kept(count);
  for (size_t k = 0; k < count; ++k) {
    std::vector<FrameSpan> parts;
    if (const FrameSpan landing = Landing(at(k).placement); !Empty(landing)) parts.push_back(landing);
    for (size_t later = k + 1; later < count && !parts.empty(); ++later) {
      if (at(later).task.mixed) continue;  // a mix lies over what is there, and keeps it
      parts = Uncovered(parts, Landing(at(later).placement));
    }
    kept[k] = std::move(parts);
  }
  return kept;
}

std::vector<std::vector<FrameSpan>> UntouchedPlainFrames(const Plan& plan) {
  const size_t count = plan.write_order.size();
  std::vector<size_t> position(plan.entries.size());
  for (size_t k = 0; k < count; ++k) position[static_cast<size_t>(plan.write_order[k])] = k;
  std::vector<std::vector<FrameSpan>> untouched(count);
  for (const PlainRun& run : PlainRuns(plan)) {
    const size_t k = position[static_cast<size_t>(run.entry)];
    std::vector<FrameSpan> spans{{run.to_frame, run.to_frame + run.frames}};
    for (size_t later = k + 1; later < count && !spans.empty(); ++later) {
      const Entry& entry = plan.entries[static_cast<size_t>(plan.write_order[later])];
      spans = Uncovered(spans, Landing(entry.placement));
      if (const FrameSpan window = LaidWindow(plan, entry); !Empty(window)) spans = Uncovered(spans, window);
    }
    untouched[k] = std::move(spans);
  }
  return untouched;
}
