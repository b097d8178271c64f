#include "driver/execute.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <utility>

#include "check/check.hpp"
#include "common/failure.hpp"
#include "common/messages.hpp"
#include "common/text.hpp"
#include "driver/loudness.hpp"
#include "driver/report.hpp"
#include "dsp/level.hpp"
#include "engine/crossfade.hpp"
#include "plan/sharing.hpp"

namespace {

// Whether the entries print nothing: with --json (the document says it
// otherwise), and in a check's render.
bool Quiet(const RunState& state) { return state.options.json || !state.render_folder.empty(); }

// Prints a message of the run in text.
void Say(const RunState& state, const char* text) {
  if (!Quiet(state)) std::fputs(text, stdout);
}

void PrintSummary(const RunState& state, const Entry& entry) {
  const Placement& p = entry.placement;
  std::printf(message::kTask, entry.number);
  if (state.tasks.using_samples) {
    std::printf(message::kInsertSamples, p.insert_frame);
    std::printf(message::kFile, entry.task.source_name.c_str());
    std::printf(message::kReadStartSamples, p.read_start_frame);
    std::printf(message::kReadLengthSamples, p.read_length);
  } else {
    const uint32_t rate = state.plan.format.rate;
    std::printf(message::kInsertSeconds, Seconds(p.insert_frame, rate));
    std::printf(message::kFile, entry.task.source_name.c_str());
    std::printf(message::kReadStartSeconds, Seconds(p.read_start_frame, rate));
    std::printf(message::kReadLengthSeconds, Seconds(p.read_length, rate));
  }
  std::printf(message::kLevel, entry.task.level_db);
  if (const std::string lufs = LufsLine(entry); !lufs.empty()) std::printf("%s\n", lufs.c_str());
  if (entry.task.mixed) std::printf(message::kMixUnder, entry.task.mix_db);
  const auto fade = [&](int frames, const char* samples, const char* seconds) {
    if (frames < 1) return;
    if (state.tasks.using_samples) {
      std::printf(samples, frames);
    } else {
      std::printf(seconds, Seconds(frames, state.plan.format.rate));
    }
  };
  fade(p.fade_in_frames, message::kFadeInSamples, message::kFadeInSeconds);
  fade(p.fade_out_frames, message::kFadeOutSamples, message::kFadeOutSeconds);
  for (const std::string& label : entry.task.markers) std::printf(message::kMarker, Printable(label).c_str());
}

// Before the run reads a source: it must still be the file the plan read.
// False when it is gone.
bool ReadySource(SourceFile& source) {
  const SourceState ready = ReopenSource(source);
  if (ready == SourceState::kChanged) Fail(ExitStatus::kWavError, message::kCannotRead, source.name.c_str());
  return ready == SourceState::kReady;
}

// The outgoing side of the crossfade of the entry at `position` where no
// entry lies under the window: the outgoing entry carried on. Its source is
// opened only when the window takes frames of it; past its end (a take
// copied to its end), and where its envelope is silent, the outgoing side is
// silence.
Continuation OutgoingEntry(RunState& state, size_t position, int width_frames) {
  OutgoingPlan outgoing = PlanOutgoing(state.plan, position, width_frames);
  Continuation carried;
  if (outgoing.uncovered.empty()) return carried;
  Entry& out = state.plan.entries[static_cast<size_t>(outgoing.entry)];
  carried.source_offset = int64_t{out.placement.read_start_frame} - out.placement.insert_frame;
  carried.level_db = out.task.level_db;
  carried.sounding = outgoing.sounding;
  const int64_t length = out.source.info.length_frames;
  const bool reads = std::any_of(outgoing.uncovered.begin(), outgoing.uncovered.end(), [&](const FrameSpan& span) {
    const int64_t from = std::max(span.from, carried.sounding.from);
    const int64_t to = std::min(span.to, carried.sounding.to);
    return from < to && from + carried.source_offset < length && to + carried.source_offset > 0;
  });
  if (reads) {
    if (!ReadySource(out.source)) Fail(ExitStatus::kWavError, message::kCannotOpen, out.source.name.c_str());
    carried.source = &out.source;
  }
  carried.spans = std::move(outgoing.uncovered);
  return carried;
}

// Renders the crossfade into the work file from the destination as it stands,
// before the entry's segment overwrites the splice; says why when it cannot
// (in `failure`, the message for the JSON document; printed in text). A
// crossfade whose windows the plan knows do not fit never takes the work
// file.
std::optional<WorkFile> PrepareCrossfade(RunState& state, Entry& entry, const CrossfadeFit& fit, bool source_present,
                                         const Continuation& outgoing, int64_t& clipped, const char*& failure) {
  std::optional<WorkFile> work;
  if (fit.width >= 0) {
    CrossfadeResult result = !source_present           ? CrossfadeResult::kNoSource
                             : !fit.destination.Fits() ? CrossfadeResult::kDestination
                             : !fit.source.Fits()      ? CrossfadeResult::kSource
                                                       : CrossfadeResult::kRendered;
    if (result == CrossfadeResult::kRendered) {
      const Placement& p = entry.placement;
      work.emplace(state.render_folder.empty()
                       ? TakeWorkFile(state.work_file, state.plan.format, fit.width)
                       : TakeUnnamedWorkFile(state.work_file, state.plan.format, fit.width, state.render_folder));
      const CrossfadeJob job{.insert_frame = p.insert_frame,
                             .read_start_frame = p.read_start_frame,
                             .width_frames = fit.width,
                             .curve = entry.task.xfade_type,
                             .level_db = entry.task.level_db,
                             .destination = DestinationAudio(state.destination),
                             .source = &entry.source,
                             .work = &*work,
                             .outgoing = &outgoing,
                             .instructions = state.instructions};
      result = RenderCrossfade(job, state.plan.format, state.curve, clipped);
      if (result == CrossfadeResult::kRendered) return work;
      work.reset();
      // Before saying why: see ExecuteEntry.
      LetWorkFileGo(state.work_file);
    }
    if (result == CrossfadeResult::kDestination) Say(state, message::kInvalidDestinationWindow);
    if (result == CrossfadeResult::kSource) Say(state, message::kInvalidSourceWindow);
    failure = result == CrossfadeResult::kDestination ? message::kInvalidDestinationWindow
              : result == CrossfadeResult::kSource    ? message::kInvalidSourceWindow
                                                      : message::kNoCrossfade;
  } else {
    failure = message::kNoCrossfade;
  }
  Say(state, message::kNoCrossfade);
  return std::nullopt;
}

// Lays the rendered frames over the splice. Frames at or beyond the
// destination's length are not written: the file stays as long as its header
// says.
void PlaceCrossfade(RunState& state, const Entry& entry, int width_frames, const WorkFile& work) {
  const int64_t count = LaidFrames(state.plan, entry);
  if (count == 0) return;
  const int64_t start = int64_t{entry.placement.insert_frame} - width_frames / 2;
  const OpenAudio destination = DestinationAudio(state.destination);
  const int64_t frame_bytes = FrameBytes(state.plan.format);
  // What the render wrote is still at hand, as written: no need to read it
  // back.
  if (!work.rendered.empty() && start >= 0) {
    const auto frames = std::span(work.rendered)
                            .subspan(static_cast<size_t>(work.audio.start), static_cast<size_t>(count * frame_bytes));
    if (!WriteAt(*destination.file, destination.audio.start + start * frame_bytes, frames)) {
      Fail(ExitStatus::kWavError, message::kCannotWrite, destination.name);
    }
    return;
  }
  CopyFrames(destination, WorkFileAudio(work), state.plan.format,
             FrameCopy{.to_frame = static_cast<int>(start), .from_frame = 0, .count = static_cast<int>(count)},
             state.scratch);
}

// After the entry at `position`: its source stays open only for the next
// entry in write order when that one reads the same file; every other source
// this entry opened is closed.
void ReleaseSources(RunState& state, size_t position) {
  const std::vector<int>& order = state.plan.write_order;
  SourceFile& current = state.plan.entries[static_cast<size_t>(order[position])].source;
  SourceFile* next =
      position + 1 < order.size() ? &state.plan.entries[static_cast<size_t>(order[position + 1])].source : nullptr;
  if (next != nullptr && !next->file.IsOpen() && current.file.IsOpen() && next->name == current.name &&
      next->identity == current.identity) {
    next->file = std::move(current.file);
  }
  for (Entry& entry : state.plan.entries) {
    if (&entry.source != next) entry.source.file = FileHandle();
  }
}

// `last_crossfade`: no entry after this one in write order takes the work
// file.
void ExecuteEntry(RunState& state, size_t position, bool last_crossfade) {
  Entry& entry = state.plan.entries[static_cast<size_t>(state.plan.write_order[position])];
  const TaskEntry& t = entry.task;
  const Placement& p = entry.placement;
  if (!Quiet(state)) {
    PrintSummary(state, entry);
    // A log shows each entry as it starts and as it completes, and nothing
    // printed is lost when the run is stopped.
    FlushReport();
  }
  const char* crossfade_failure = nullptr;
  // A crossfade without the source is not made, a copy without it fails.
  const bool present = ReadySource(entry.source);
  const bool crossfades = Crossfades(t);
  const CrossfadeFit fit = FitCrossfade(state.plan, entry);
  const int width = fit.width;
  int64_t clipped = 0;
  const Continuation outgoing = fit.Rendered() && present ? OutgoingEntry(state, position, width) : Continuation{};
  const std::optional<WorkFile> work =
      crossfades ? PrepareCrossfade(state, entry, fit, present, outgoing, clipped, crossfade_failure) : std::nullopt;
  if (!present) Fail(ExitStatus::kWavError, message::kCannotOpen, entry.source.name.c_str());
  const FrameCopy copy{.to_frame = p.insert_frame,
                       .from_frame = p.read_start_frame,
                       .count = p.read_length,
                       .level_db = t.level_db,
                       .instructions = state.instructions};
  if (Shaped(entry)) {
    const Shape shape{.first = 0,
                      .frames = p.read_length,
                      .fade_in = p.fade_in_frames,
                      .fade_out = p.fade_out_frames,
                      .gain = GainOf(t.level_db),
                      .over = t.mixed,
                      .under_gain = GainOf(t.mix_db)};
    clipped += ShapeFrames(DestinationAudio(state.destination), SourceAudio(entry.source), state.plan.format, copy,
                           shape, state.scratch);
  } else {
    // The window a crossfade is laid over is written again at once: the
    // rest of a plain copy may share the source's blocks, and the frames
    // under the window need not be copied first. Copied or not, they come
    // out the same; they are copied where nothing follows them, to find a
    // source cut short under them (which the rest, read on from there,
    // finds otherwise), and at a level, whose clipped samples are counted.
    const int64_t under = work ? FramesUnderCrossfade(state.plan, entry) : 0;
    FrameCopy first = copy;
    first.count = static_cast<int>(under);
    FrameCopy rest = copy;
    rest.to_frame += first.count;
    rest.from_frame += first.count;
    rest.count -= first.count;
    rest.share = true;
    // A render for a picture alone writes no frame that is its source's
    // bytes and stays so.
    std::vector<FrameSpan> written{{rest.to_frame, int64_t{rest.to_frame} + std::max(rest.count, 0)}};
    if (!state.render_folder.empty() && position < state.render_skips.size()) {
      for (const FrameSpan& skip : state.render_skips[position]) written = Uncovered(written, skip);
    }
    const bool followed = std::any_of(written.begin(), written.end(), [](const FrameSpan& s) { return s.to > s.from; });
    if (followed && copy.level_db == 0.0) first.count = 0;
    std::vector<FrameCopy> parts{first};
    for (const FrameSpan& span : written) {
      FrameCopy part = rest;
      part.to_frame = static_cast<int>(span.from);
      part.from_frame = rest.from_frame + static_cast<int>(span.from - rest.to_frame);
      part.count = static_cast<int>(span.to - span.from);
      parts.push_back(part);
    }
    for (const FrameCopy& part : parts) {
      clipped += CopyFrames(DestinationAudio(state.destination), SourceAudio(entry.source), state.plan.format, part,
                            state.scratch);
    }
  }
  if (work) PlaceCrossfade(state, entry, width, *work);
  // Given back before the entry's last lines go out: a report that cannot be
  // written at once (into a pipe not read yet, a terminal paused) must not
  // keep the other runs in the folder from their crossfades meanwhile.
  if (last_crossfade) {
    RemoveWorkFile(state.work_file);
  } else {
    LetWorkFileGo(state.work_file);
  }
  ReleaseSources(state, position);
  state.outcomes.push_back(EntryOutcome{
      .entry = state.plan.write_order[position], .crossfade_failure = crossfade_failure, .clipped = clipped});
  if (Quiet(state)) return;
  if (clipped > 0) std::printf(message::kClipped, static_cast<long long>(clipped));
  std::fputs(message::kDone, stdout);
  FlushReport();
}

}  // namespace

void ExecuteEntries(RunState& state) {
  const std::vector<int>& order = state.plan.write_order;
  // The work file goes once the last entry that may take it is done.
  size_t last_crossfade = order.size();
  for (size_t position = 0; position < order.size(); ++position) {
    if (Crossfades(state.plan.entries[static_cast<size_t>(order[position])].task)) last_crossfade = position;
  }
  for (size_t position = 0; position < order.size(); ++position) {
    ExecuteEntry(state, position, position == last_crossfade);
  }
}

void PrintReport(const RunState& state) {
  const AudioFormat& f = state.plan.format;
  std::printf(message::kBuilt, state.tasks.destination_name.c_str());
  if (state.tasks.using_samples) {
    std::printf(message::kLengthSamples, state.plan.destination_length);
  } else {
    std::printf(message::kLengthSeconds, Seconds(state.plan.destination_length, f.rate));
  }
  std::printf(message::kBits, f.bits);
  std::printf(message::kChannels, f.channels);
  std::printf(message::kSampleRate, f.rate);
  if (state.plan.metadata_entry >= 0) {
    std::printf(message::kMetadataFrom,
                state.plan.entries[static_cast<size_t>(state.plan.metadata_entry)].task.source_name.c_str());
  }
  PrintProgrammeLoudness(state);
  std::fputs(message::kReportEnd, stdout);
}
