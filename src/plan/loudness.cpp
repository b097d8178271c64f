#include "plan/loudness.hpp"

#include <algorithm>
#include <cmath>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "engine/measure.hpp"
#include "plan/plan.hpp"

LoudnessGoal GoalOf(const TaskList& tasks, const AudioFormat& format) {
  LoudnessGoal goal;
  goal.target = tasks.loud;
  goal.ceiling = tasks.peak;
  if (!goal.ceiling && goal.target) goal.ceiling = kDefaultCeiling;
  if (goal.ceiling && *goal.ceiling > 0.0 && format.type == SampleType::kInteger) {
    goal.ceiling = 0.0;
    goal.lowered = true;
  }
  return goal;
}

ProgrammeGain DecideGain(const LoudnessGoal& goal, const LoudnessResult& built) {
  ProgrammeGain gain;
  if (goal.target) {
    if (!built.integrated) {
      gain.unmeasured = true;
      return gain;
    }
    gain.gain_db = *goal.target - *built.integrated;
  }
  // Silence has no peak to hold.
  if (!goal.ceiling || !std::isfinite(built.true_peak)) return gain;
  const double room = *goal.ceiling - built.true_peak;
  if (room >= gain.gain_db && goal.target) return gain;
  if (!goal.target) {
    gain.gain_db = std::min(room, 0.0);
    return gain;
  }
  gain.gain_db = room;
  gain.short_lu = *goal.target - (*built.integrated + room);
  gain.held = gain.short_lu > kMissedBy;
  if (!gain.held) gain.short_lu = 0.0;
  return gain;
}

std::array<double, kMaxChannels> DestinationWeights(const DestinationLayout& layout) {
  return LoudnessWeights(layout.format.channels, ChannelMaskOf(layout));
}

void MeasureCopy(Entry& entry, const AudioFormat& format) {
  SourceFile& source = entry.source;
  const SourceState ready = ReopenSource(source);
  if (ready == SourceState::kGone) Fail(ExitStatus::kWavError, message::kCannotOpen, source.name.c_str());
  if (ready == SourceState::kChanged) Fail(ExitStatus::kWavError, message::kCannotRead, source.name.c_str());
  const Placement& p = entry.placement;
  const auto weights = LoudnessWeights(format.channels, source.info.channel_mask);
  LoudnessMeter meter = StartLoudness(format, weights, DetectInstructionSet());
  MeasureFrames(SourceAudio(source), format, p.read_start_frame, std::max(p.read_length, 0), meter);
  // The entries open their sources again when their turn comes.
  source.file = FileHandle();
  CopyLoudness copy{.measured = FinishLoudness(meter),
                    .lufs = LufsOutcome::kNone,
                    .written_level_db = entry.task.level_db,
                    .needed_db = 0.0};
  if (entry.task.lufs) {
    const LoudnessResult& m = copy.measured;
    if (!m.integrated) {
      // A 400 ms block is the least that measures.
      const bool short_copy = int64_t{std::max(p.read_length, 0)} * 10 < int64_t{format.rate} * 4;
      copy.lufs = short_copy ? LufsOutcome::kTooShort : LufsOutcome::kGatedOut;
    } else {
      copy.needed_db = *entry.task.lufs - *m.integrated;
      copy.lufs = LevelAllowed(copy.needed_db) ? LufsOutcome::kSet : LufsOutcome::kTooQuiet;
      if (copy.lufs == LufsOutcome::kSet) entry.task.level_db = copy.needed_db;
    }
  }
  entry.loudness = copy;
}

void MeasureCopies(Plan& plan) {
  for (Entry& entry : plan.entries) {
    if (!entry.loudness) MeasureCopy(entry, plan.format);
  }
}
