#include "wav/crossfade_file.hpp"

#include <fcntl.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

#include "common/failure.hpp"
#include "wav/chunk.hpp"
#include "wav/file.hpp"

namespace {

constexpr int kRunFrames = 16 * 1024;

// A run that cannot write its work file ends, leaving no work file behind.
[[noreturn]] void FailWorkFileWrite(const char* work_path) {
  std::remove(work_path);
  Fail(2, "Cannot write wave file %s!\n", work_path);
}

}  // namespace

CrossfadeResult RenderCrossfade(const CrossfadeJob& job, const AudioFormat& format, KeptCurve& kept) {
  const double gain = std::pow(10.0, job.level_db / 20.0);

  // All three are opened before any of them is looked at.
  const FileHandle destination = OpenRegular(job.destination_path, false);
  const FileHandle source = OpenRegular(job.source_path, false);
  FileHandle work = OpenForAppend(job.work_path);
  if (!destination.IsOpen()) return CrossfadeResult::kDestination;
  if (!source.IsOpen()) return CrossfadeResult::kSource;
  if (!work.IsOpen()) return CrossfadeResult::kWorkFile;

  // The window after the splice is usually a hole of the new destination:
  // reading ahead there would only fill the cache with zeros.
  posix_fadvise(destination.fd, 0, 0, POSIX_FADV_RANDOM);

  const std::optional<AudioExtent> destination_audio = FindAudio(destination);
  if (!destination_audio) {
    std::puts("Data block not found error");
    return CrossfadeResult::kDestination;
  }
  const std::optional<AudioExtent> source_audio = FindAudio(source);
  if (!source_audio) {
    std::puts("Data block not found error");
    return CrossfadeResult::kSource;
  }

  const int64_t frame_bytes = FrameBytes(format);
  const int half_width = job.width_frames / 2;
  // A window may start anywhere from the first frame of the samples to just
  // after their last.
  int64_t destination_at = destination_audio->start + frame_bytes * (int64_t{job.insert_frame} - half_width);
  if (destination_at > destination_audio->end || destination_at < destination_audio->start) {
    std::puts("Invalid crossfade for destination file");
    return CrossfadeResult::kDestination;
  }
  int64_t source_at = source_audio->start + frame_bytes * (int64_t{job.read_start_frame} - half_width);
  if (source_at > source_audio->end || source_at < source_audio->start) {
    std::puts("Invalid crossfade for source file");
    return CrossfadeResult::kSource;
  }
  if ((format.channels != 1 && format.channels != 2) || (format.bits != 16 && format.bits != 24)) {
    return CrossfadeResult::kFormat;
  }
  if (job.width_frames <= 0) return CrossfadeResult::kRendered;

  // The windows are read and the mixed frames appended in runs of many
  // blocks: the mix goes frame by frame, so the grouping changes no byte.
  const int run_frames = job.width_frames < kRunFrames ? job.width_frames : kRunFrames;
  const auto run_bytes = static_cast<size_t>(run_frames * frame_bytes);
  // Filled before every use, so not zeroed first.
  const auto old_bytes = std::make_unique_for_overwrite<unsigned char[]>(run_bytes);
  const auto new_bytes = std::make_unique_for_overwrite<unsigned char[]>(run_bytes);
  const auto mixed_bytes = std::make_unique_for_overwrite<unsigned char[]>(run_bytes);
  MixSpan span{.curve = job.curve,
               .width_frames = job.width_frames,
               .gain = job.level_db != 0.0 ? gain : 1.0,
               .kept = CurveFor(kept, job.curve, job.width_frames)};

  for (int done = 0; done < job.width_frames;) {
    const int run = job.width_frames - done < run_frames ? job.width_frames - done : run_frames;
    const auto bytes = static_cast<size_t>(run * frame_bytes);
    ReadAudio(destination, *destination_audio, destination_at, std::span(old_bytes.get(), bytes));
    ReadAudio(source, *source_audio, source_at, std::span(new_bytes.get(), bytes));
    span.first = done;
    span.frames = run;
    MixFrames(std::span(old_bytes.get(), bytes), std::span(new_bytes.get(), bytes), std::span(mixed_bytes.get(), bytes),
              BytesPerSample(format), format.channels, span);
    if (!WriteAll(work, std::span(mixed_bytes.get(), bytes))) FailWorkFileWrite(job.work_path);
    destination_at += static_cast<int64_t>(bytes);
    source_at += static_cast<int64_t>(bytes);
    done += run;
  }
  if (!CloseWritten(work)) FailWorkFileWrite(job.work_path);
  return CrossfadeResult::kRendered;
}
