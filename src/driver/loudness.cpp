#include "driver/loudness.hpp"

#include <cmath>
#include <cstdio>
#include <vector>

#include "check/check.hpp"
#include "driver/plot.hpp"
#include "engine/measure.hpp"
#include "wav/metadata.hpp"

namespace {

// The bext the layout puts before the samples, with what was measured.
void WriteMeasuredBext(const DestinationFile& destination, const DestinationLayout& layout,
                       const LoudnessResult& measured) {
  const std::optional<int64_t> body = BodyBeforeData(layout, "bext");
  if (!body) return;
  const std::vector<unsigned char>& chunks = layout.before_data;
  const int64_t chunks_at = SamplesStart(layout) - 8 - static_cast<int64_t>(chunks.size());
  const auto at = static_cast<size_t>(*body - chunks_at);
  const std::vector<unsigned char> bext(chunks.begin() + static_cast<std::ptrdiff_t>(at),
                                        chunks.begin() + static_cast<std::ptrdiff_t>(at + Little32(&chunks[at - 4])));
  const std::optional<double> true_peak =
      std::isfinite(measured.true_peak) ? std::optional(measured.true_peak) : std::nullopt;
  WriteIntoHeader(destination, *body,
                  MeasuredBext(bext, {measured.integrated, measured.range, true_peak, measured.max_momentary,
                                      measured.max_short_term}));
}

}  // namespace

bool MeasuresProgramme(const RunState& state) { return state.options.loudness || state.plan.loudness_goal.Active(); }

ProgrammeLoudness FinishProgramme(RunState& state, const DestinationLayout& layout, PlotData* plot) {
  const AudioFormat& f = state.plan.format;
  const auto weights = DestinationWeights(layout);
  const OpenAudio audio = DestinationAudio(state.destination);
  const int64_t frames = state.plan.destination_length;
  ProgrammeLoudness loudness;
  std::optional<ColumnFold> fold;
  if (plot != nullptr) fold = StartFold(PlotGrid(state));
  LoudnessMeter built = StartLoudness(f, weights, state.instructions);
  ReadInOrder(audio, f, 0, frames, &built, fold ? &*fold : nullptr, state.instructions);
  loudness.built = FinishLoudness(built);
  loudness.written = loudness.built;
  const LoudnessMeter* last = &built;
  LoudnessMeter written;
  const LoudnessGoal& goal = state.plan.loudness_goal;
  if (goal.Active()) {
    loudness.gain = DecideGain(goal, loudness.built);
    if (loudness.gain.gain_db != 0.0) {
      // The picture shows the samples as written, after the gain.
      if (fold) fold = StartFold(PlotGrid(state));
      written = StartLoudness(f, weights, state.instructions);
      loudness.clipped =
          GainFrames(audio, f, frames, loudness.gain.gain_db, state.instructions, written, fold ? &*fold : nullptr);
      loudness.written = FinishLoudness(written);
      last = &written;
    }
  }
  if (plot != nullptr) {
    plot->destination = std::move(*fold);
    KeepLoudnessCurve(state, *last, *plot);
  }
  if (state.render_folder.empty()) WriteMeasuredBext(state.destination, layout, loudness.written);
  return loudness;
}

void PrintProgrammeLoudness(const RunState& state) {
  if (!state.loudness) return;
  for (const std::string& line : ProgrammeLines(*state.loudness, state.plan.loudness_goal)) {
    std::printf("%s\n", line.c_str());
  }
}
