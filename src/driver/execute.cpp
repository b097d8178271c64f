#include <cstdint>
#include <cstdio>
#include <utility>

#include "common/failure.hpp"
#include "driver/run_state.hpp"
#include "wav/destination.hpp"

double Seconds(int64_t frames, uint32_t rate) {
  return static_cast<double>(static_cast<float>(frames) / static_cast<float>(rate));
}

namespace {

void PrintSummary(const RunState& state, int e) {
  const TaskEntry& t = state.tasks.entries[e];
  const EntryPlan& p = state.plan[e];
  std::printf("Task %i", e + 1);
  if (state.tasks.using_samples) {
    std::printf("\tInsert point %i samples\n", p.insert_frame);
    std::printf("\tFile %s\n", t.source_name.c_str());
    std::printf("\tRead start %i samples\n", p.read_start_frame);
    std::printf("\tRead length %i samples\n", p.read_length);
  } else {
    const uint32_t rate = state.format.rate;
    std::printf("\tInsert point %.3f sec\n", Seconds(p.insert_frame, rate));
    std::printf("\tFile %s\n", t.source_name.c_str());
    std::printf("\tRead start %.3f sec\n", Seconds(p.read_start_frame, rate));
    std::printf("\tRead length %.3f sec\n", Seconds(p.read_length, rate));
  }
  std::printf("\tLevel %.3f dB\n", t.level_db);
}

}  // namespace

namespace {

// After the entry at `position`: its source stays open only for the next
// entry in write order when that one reads the same file; every other
// source this entry opened is closed.
void ReleaseSources(RunState& state, size_t position) {
  SourceFile& current = state.sources[state.write_order[position]];
  SourceFile* next = position + 1 < state.write_order.size() ? &state.sources[state.write_order[position + 1]] : nullptr;
  if (next != nullptr && !next->file.IsOpen() && current.file.IsOpen() && next->name == current.name &&
      next->identity == current.identity) {
    next->file = std::move(current.file);
  }
  for (SourceFile& source : state.sources) {
    if (&source != next) source.file = FileHandle();
  }
}

}  // namespace

void ExecuteEntries(RunState& state) {
  for (size_t position = 0; position < state.write_order.size(); ++position) {
    const int e = state.write_order[position];
    const TaskEntry& t = state.tasks.entries[e];
    const EntryPlan& p = state.plan[e];
    PrintSummary(state, e);
    // A log shows each entry as it starts and as it completes, and nothing
    // printed is lost when the run is stopped.
    std::fflush(stdout);
    // The source must still be the file the plan read; a crossfade without
    // it is not made, a copy without it fails.
    SourceFile& source = state.sources[e];
    const SourceState ready = ReopenSource(source);
    if (ready == SourceState::kChanged) Fail(2, "Cannot read wave file %s!\n", source.name.c_str());
    const bool present = ready == SourceState::kReady;
    const int width = t.xfade_type != 0 ? CrossfadeWidth(state, t) : 0;
    int64_t clipped = 0;
    const Continuation outgoing =
        t.xfade_type != 0 && width >= 0 && present ? OutgoingEntry(state, position, width) : Continuation{};
    const std::optional<WorkFileHold> work =
        t.xfade_type != 0 ? PrepareCrossfade(state, e, width, present, outgoing, clipped) : std::nullopt;
    if (!present) Fail(2, "Cannot open wave file %s!\n", source.name.c_str());
    clipped += CopyFrames(DestinationAudio(state.destination), SourceAudio(source), state.format,
                          FrameCopy{.to_frame = p.insert_frame, .from_frame = p.read_start_frame,
                                    .count = p.read_length, .level_db = t.level_db},
                          state.scratch);
    if (work) PlaceCrossfade(state, e, width, *work);
    ReleaseSources(state, position);
    if (clipped > 0) std::printf("\tClipped %lld samples\n", static_cast<long long>(clipped));
    std::puts("\tDone\n");
    std::fflush(stdout);
  }
}

void PrintReport(const RunState& state) {
  const AudioFormat& f = state.format;
  std::printf("Built\t%s\n", state.tasks.destination_name.c_str());
  if (state.tasks.using_samples) {
    std::printf("\tLength %i samples\n", state.destination_length);
  } else {
    std::printf("\tLength %.3f sec\n", Seconds(state.destination_length, f.rate));
  }
  std::printf("\tBits %i\n", f.bits);
  std::printf("\tChannels %i\n", f.channels);
  std::printf("\tSample rate %u\n\n", f.rate);
}
