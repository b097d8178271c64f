#include "engine/crossfade.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "dsp/level.hpp"
#include "wav/header.hpp"

namespace {

// The windows are read and the mixed frames written in runs of this many
// frames at most.
constexpr int kRunFrames = 16 * 1024;

[[noreturn]] void FailWorkFileWrite() { Fail(ExitStatus::kWavError, message::kCannotWrite, kWorkFileName); }

// The work file's extent for `frames` frames, what it holds past them cut
// off: a crossfade leaves it holding its header and frames alone.
WorkFile FitWorkFile(WorkFileHold& hold, const AudioFormat& format, int frames) {
  WorkFile work;
  work.hold = &hold;
  work.audio = AudioExtent{kHeaderSize, kHeaderSize + int64_t{std::max(frames, 0)} * FrameBytes(format)};
  if (hold.size > work.audio.end && ftruncate(hold.file.fd, static_cast<off_t>(work.audio.end)) != 0) {
    FailWorkFileWrite();
  }
  hold.size = work.audio.end;
  return work;
}

}  // namespace

WorkFile TakeWorkFile(WorkFileHold& hold, const AudioFormat& format, int frames) {
  if (!HoldWorkFile(hold)) Fail(ExitStatus::kWavError, message::kCannotCreate, kWorkFileName);
  return FitWorkFile(hold, format, frames);
}

WorkFile TakeUnnamedWorkFile(WorkFileHold& hold, const AudioFormat& format, int frames, const std::string& folder) {
  if (!hold.file.IsOpen()) {
    hold.unnamed = true;
    hold.file = CreateUnnamed(folder);
    if (!hold.file.IsOpen()) Fail(ExitStatus::kWavError, message::kCannotCreate, kWorkFileName);
    hold.size = 0;
  }
  hold.held = true;
  return FitWorkFile(hold, format, frames);
}

OpenAudio WorkFileAudio(const WorkFile& work) {
  return OpenAudio{.file = &work.hold->file, .audio = work.audio, .name = kWorkFileName};
}

WindowFit FitWindow(const AudioExtent& audio, int64_t first_frame, int64_t frame_bytes) {
  const int64_t at = audio.start + frame_bytes * first_frame;
  if (at < audio.start) return WindowFit{.missing_before = -first_frame};
  if (at > audio.end) return WindowFit{.past_end = (at - audio.end + frame_bytes - 1) / frame_bytes};
  return {};
}

namespace {

// Replaces the frames of `outgoing` (destination frames from `first`) that the
// continuation covers with the outgoing entry's source carried on.
void CarryOn(const Continuation& carried, int64_t first, std::span<unsigned char> outgoing, const AudioFormat& format,
             InstructionSet instructions, int64_t& clipped) {
  const int64_t frame_bytes = FrameBytes(format);
  const int64_t last = first + static_cast<int64_t>(outgoing.size()) / frame_bytes;
  for (const FrameSpan& span : carried.spans) {
    const int64_t from = std::max(span.from, first);
    const int64_t to = std::min(span.to, last);
    if (from >= to) continue;
    const auto part = outgoing.subspan(static_cast<size_t>((from - first) * frame_bytes),
                                       static_cast<size_t>((to - from) * frame_bytes));
    // Silence where the entry's envelope is silent and before its source's
    // first frame; ReadAudio gives it past the source's end.
    std::memset(part.data(), 0, part.size());
    const int64_t read_from = std::max({from, carried.sounding.from, -carried.source_offset});
    const int64_t read_to = std::min(to, carried.sounding.to);
    if (read_from < read_to && carried.source != nullptr) {
      const AudioExtent& audio = carried.source->info.audio;
      ReadAudio(carried.source->file, audio, audio.start + (read_from + carried.source_offset) * frame_bytes,
                part.subspan(static_cast<size_t>((read_from - from) * frame_bytes),
                             static_cast<size_t>((read_to - read_from) * frame_bytes)));
    }
    if (carried.level_db != 0.0) {
      clipped += ApplyLevel(part, format, static_cast<int>(to - from), carried.level_db, instructions);
    }
  }
}

}  // namespace

CrossfadeResult RenderCrossfade(const CrossfadeJob& job, const AudioFormat& format, KeptCurve& kept, int64_t& clipped) {
  const FileHandle& destination = *job.destination.file;
  const AudioExtent& destination_audio = job.destination.audio;
  if (job.source == nullptr) return CrossfadeResult::kNoSource;
  const FileHandle& source = job.source->file;
  const AudioExtent& source_audio = job.source->info.audio;

  const int64_t frame_bytes = FrameBytes(format);
  const int half_width = job.width_frames / 2;
  const int64_t destination_first = int64_t{job.insert_frame} - half_width;
  const int64_t source_first = int64_t{job.read_start_frame} - half_width;
  if (!FitWindow(destination_audio, destination_first, frame_bytes).Fits()) return CrossfadeResult::kDestination;
  if (!FitWindow(source_audio, source_first, frame_bytes).Fits()) return CrossfadeResult::kSource;
  int64_t destination_at = destination_audio.start + frame_bytes * destination_first;
  int64_t source_at = source_audio.start + frame_bytes * source_first;
  const auto header = HeaderBytes(format, job.width_frames > 0 ? job.width_frames : 0);
  if (job.width_frames <= 0) {
    if (!WriteAt(job.work->hold->file, 0, header)) FailWorkFileWrite();
    return CrossfadeResult::kRendered;
  }

  // The windows are read and the mixed frames written in runs of many
  // blocks: the mix goes frame by frame, so the grouping changes no byte.
  const int run_frames = job.width_frames < kRunFrames ? job.width_frames : kRunFrames;
  const auto run_bytes = static_cast<size_t>(run_frames * frame_bytes);
  // Filled before every use, so not zeroed first.
  const auto old_bytes = std::make_unique_for_overwrite<unsigned char[]>(run_bytes);
  const auto new_bytes = std::make_unique_for_overwrite<unsigned char[]>(run_bytes);
  // The header, then the mixed frames: the first run goes out with the
  // header in one write.
  std::vector<unsigned char> written(header.size() + run_bytes);
  std::copy(header.begin(), header.end(), written.begin());
  unsigned char* const mixed_bytes = written.data() + header.size();
  std::vector<double> w_out(static_cast<size_t>(run_frames));
  std::vector<double> w_in(static_cast<size_t>(run_frames));
  const double gain = GainOf(job.level_db);
  const KeptCurve* curve = CurveFor(kept, job.curve, job.width_frames);

  int64_t work_at = kHeaderSize;
  for (int done = 0; done < job.width_frames;) {
    const int run = job.width_frames - done < run_frames ? job.width_frames - done : run_frames;
    const auto bytes = static_cast<size_t>(run * frame_bytes);
    ReadAudio(destination, destination_audio, destination_at, std::span(old_bytes.get(), bytes));
    if (job.outgoing != nullptr && !job.outgoing->spans.empty()) {
      CarryOn(*job.outgoing, destination_first + done, std::span(old_bytes.get(), bytes), format, job.instructions,
              clipped);
    }
    ReadAudio(source, source_audio, source_at, std::span(new_bytes.get(), bytes));
    for (int i = 0; i < run; ++i) {
      const CrossfadeWeights w = curve != nullptr ? CrossfadeWeights{curve->w_out[static_cast<size_t>(done + i)],
                                                                     curve->w_in[static_cast<size_t>(done + i)]}
                                                  : CurveWeights(job.curve, done + i, job.width_frames);
      w_out[static_cast<size_t>(i)] = w.w_out;
      w_in[static_cast<size_t>(i)] = w.w_in * gain;
    }
    const auto count = static_cast<size_t>(run);
    clipped +=
        MixFrames(std::span(old_bytes.get(), bytes), std::span(new_bytes.get(), bytes), std::span(mixed_bytes, bytes),
                  format, MixWeights{std::span(w_out).first(count), std::span(w_in).first(count)}, job.instructions);
    const auto out = done == 0 ? std::span(written.data(), header.size() + bytes) : std::span(mixed_bytes, bytes);
    if (!WriteAt(job.work->hold->file, done == 0 ? 0 : work_at, out)) FailWorkFileWrite();
    work_at += static_cast<int64_t>(bytes);
    destination_at += static_cast<int64_t>(bytes);
    source_at += static_cast<int64_t>(bytes);
    done += run;
  }
  if (run_frames == job.width_frames) job.work->rendered = std::move(written);
  return CrossfadeResult::kRendered;
}
