#include "wav/crossfade_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "common/failure.hpp"
#include "dsp/level.hpp"
#include "wav/chunk.hpp"
#include "wav/header.hpp"
#include "wav/stop.hpp"

namespace {

constexpr int kRunFrames = 16 * 1024;

[[noreturn]] void FailWorkFileWrite() { Fail(2, "Cannot write wave file %s!\n", kWorkFileName); }

// Whether the name still leads to the open file (whose status `held`
// receives), itself and not through a link: another run may have removed it,
// and maybe made a new one, while this one waited.
bool NameLeadsTo(const FileHandle& file, struct stat& held) {
  struct stat named {};
  return fstat(file.fd, &held) == 0 && lstat(kWorkFileName, &named) == 0 && IdentityOf(named) == IdentityOf(held);
}

}  // namespace

WorkFileHold::~WorkFileHold() {
  if (!file.IsOpen()) return;
  // Given up and removed as one step: a stop in between would leave it.
  const StopHold stops;
  // Given up before the name goes, so that a stop in between never removes
  // a file another run has made under the name since.
  KeepWhenStopped(StopSlot::kWorkFile);
  // Emptied before the name goes: freeing its blocks at the last close of a
  // file that no longer has a name measured about 0.2 ms a crossfade slower.
  if (ftruncate(file.fd, 0) != 0) {
    // Removing it frees the blocks all the same.
  }
  struct stat held {};
  if (NameLeadsTo(file, held)) unlink(kWorkFileName);
  // Closing ends the hold.
}

namespace {

// Opens the work file without following a link and without blocking on a
// FIFO; only a regular file with one name will do (another name would be a
// file of the user's that the crossfade would empty). `created`: whether this
// call made it.
FileHandle OpenWorkFile(bool& created) {
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  // Another run may remove its file between the tries (or just after the
  // open, leaving it without a name): then try again, or make it.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    FileHandle file(open(kWorkFileName, kFlags | O_CREAT | O_EXCL, 0666));
    created = file.IsOpen();
    if (!created && errno == EEXIST) {
      file = FileHandle(open(kWorkFileName, kFlags));
      if (!file.IsOpen() && errno == ENOENT) continue;
    }
    struct stat status {};
    if (!file.IsOpen() || fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) break;
    if (status.st_nlink == 0) continue;
    if (status.st_nlink != 1 || fcntl(file.fd, F_SETFL, 0) != 0) break;
    return file;
  }
  Fail(2, "Cannot create wave file %s!\n", kWorkFileName);
}

}  // namespace

WorkFileHold HoldWorkFile(const AudioFormat& format, int frames) {
  WorkFileHold hold;
  struct stat held {};
  for (;;) {
    bool created = false;
    FileHandle file;
    {
      // A file this run makes is its own to remove from the moment it exists.
      const StopHold stops;
      file = OpenWorkFile(created);
      if (created && fstat(file.fd, &held) == 0) RemoveWhenStopped(StopSlot::kWorkFile, kWorkFileName, IdentityOf(held));
    }
    int locked = -1;
    do {
      locked = flock(file.fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    const StopHold stops;
    // While this run waited, another may have removed the file, and a new
    // one (or something else) may stand under the name: try it again.
    if (locked == 0 && !NameLeadsTo(file, held)) {
      if (created) KeepWhenStopped(StopSlot::kWorkFile);
      continue;
    }
    if (locked == 0 && held.st_nlink != 1) {
      // Someone gave the file another name: it is no longer ours alone to empty.
      if (created) KeepWhenStopped(StopSlot::kWorkFile);
      Fail(2, "Cannot create wave file %s!\n", kWorkFileName);
    }
    // Locked, or on a file system without locks.
    if (locked != 0 && fstat(file.fd, &held) != 0) held = {};
    hold.file = std::move(file);
    RemoveWhenStopped(StopSlot::kWorkFile, kWorkFileName, IdentityOf(held));
    break;
  }
  // A file left by a killed run is emptied; a new one is empty already.
  const auto header = HeaderBytes(format, frames);
  if ((held.st_size != 0 && ftruncate(hold.file.fd, 0) != 0) || !WriteAt(hold.file, 0, header)) FailWorkFileWrite();
  hold.audio = AudioExtent{kHeaderSize, kHeaderSize + int64_t{frames} * FrameBytes(format)};
  return hold;
}

bool WorkFileNameUsable() {
  struct stat named {};
  if (lstat(kWorkFileName, &named) != 0) return errno == ENOENT;
  return S_ISREG(named.st_mode) && named.st_nlink == 1;
}

OpenAudio WorkFileAudio(const WorkFileHold& work) {
  return OpenAudio{.file = &work.file, .audio = work.audio, .name = kWorkFileName};
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
             int64_t& clipped) {
  const int64_t frame_bytes = FrameBytes(format);
  const int64_t last = first + static_cast<int64_t>(outgoing.size()) / frame_bytes;
  for (const FrameSpan& span : carried.spans) {
    const int64_t from = std::max(span.from, first);
    const int64_t to = std::min(span.to, last);
    if (from >= to) continue;
    const auto part = outgoing.subspan(static_cast<size_t>((from - first) * frame_bytes),
                                       static_cast<size_t>((to - from) * frame_bytes));
    // Before the source's first frame there is silence; ReadAudio gives it past the end.
    const int64_t source_first = from + carried.source_offset;
    const int64_t silent = std::clamp<int64_t>(-source_first, 0, to - from);
    std::memset(part.data(), 0, static_cast<size_t>(silent * frame_bytes));
    if (silent < to - from && carried.source != nullptr) {
      const AudioExtent& audio = carried.source->info.audio;
      ReadAudio(carried.source->file, audio, audio.start + (source_first + silent) * frame_bytes,
                part.subspan(static_cast<size_t>(silent * frame_bytes)));
    } else {
      std::memset(part.data(), 0, part.size());
    }
    if (carried.level_db != 0.0) {
      clipped += ApplyLevel(part, format, static_cast<int>(to - from), carried.level_db);
    }
  }
}

}  // namespace

CrossfadeResult RenderCrossfade(const CrossfadeJob& job, const AudioFormat& format, KeptCurve& kept,
                                int64_t& clipped) {
  const FileHandle& destination = *job.destination.file;
  const AudioExtent& destination_audio = job.destination.audio;
  if (job.source == nullptr) return CrossfadeResult::kSource;
  const FileHandle& source = job.source->file;
  const AudioExtent& source_audio = job.source->info.audio;

  const int64_t frame_bytes = FrameBytes(format);
  const int half_width = job.width_frames / 2;
  const int64_t destination_first = int64_t{job.insert_frame} - half_width;
  const int64_t source_first = int64_t{job.read_start_frame} - half_width;
  if (!FitWindow(destination_audio, destination_first, frame_bytes).Fits()) {
    std::puts("Invalid crossfade for destination file");
    return CrossfadeResult::kDestination;
  }
  if (!FitWindow(source_audio, source_first, frame_bytes).Fits()) {
    std::puts("Invalid crossfade for source file");
    return CrossfadeResult::kSource;
  }
  int64_t destination_at = destination_audio.start + frame_bytes * destination_first;
  int64_t source_at = source_audio.start + frame_bytes * source_first;
  if (format.channels < 1 || format.channels > kMaxChannels ||
      (format.bits != 16 && format.bits != 24 && format.bits != 32)) {
    return CrossfadeResult::kFormat;
  }
  if (job.width_frames <= 0) return CrossfadeResult::kRendered;

  // The windows are read and the mixed frames written in runs of many
  // blocks: the mix goes frame by frame, so the grouping changes no byte.
  const int run_frames = job.width_frames < kRunFrames ? job.width_frames : kRunFrames;
  const auto run_bytes = static_cast<size_t>(run_frames * frame_bytes);
  // Filled before every use, so not zeroed first.
  const auto old_bytes = std::make_unique_for_overwrite<unsigned char[]>(run_bytes);
  const auto new_bytes = std::make_unique_for_overwrite<unsigned char[]>(run_bytes);
  const auto mixed_bytes = std::make_unique_for_overwrite<unsigned char[]>(run_bytes);
  MixSpan span{.curve = job.curve,
               .width_frames = job.width_frames,
               .gain = job.level_db != 0.0 ? std::pow(10.0, job.level_db / 20.0) : 1.0,
               .kept = CurveFor(kept, job.curve, job.width_frames)};

  int64_t work_at = kHeaderSize;
  for (int done = 0; done < job.width_frames;) {
    const int run = job.width_frames - done < run_frames ? job.width_frames - done : run_frames;
    const auto bytes = static_cast<size_t>(run * frame_bytes);
    ReadAudio(destination, destination_audio, destination_at, std::span(old_bytes.get(), bytes));
    if (job.outgoing != nullptr && !job.outgoing->spans.empty()) {
      CarryOn(*job.outgoing, destination_first + done, std::span(old_bytes.get(), bytes), format, clipped);
    }
    ReadAudio(source, source_audio, source_at, std::span(new_bytes.get(), bytes));
    span.first = done;
    span.frames = run;
    clipped += MixFrames(std::span(old_bytes.get(), bytes), std::span(new_bytes.get(), bytes), std::span(mixed_bytes.get(), bytes),
              format, span);
    if (!WriteAt(job.work->file, work_at, std::span(mixed_bytes.get(), bytes))) FailWorkFileWrite();
    work_at += static_cast<int64_t>(bytes);
    destination_at += static_cast<int64_t>(bytes);
    source_at += static_cast<int64_t>(bytes);
    done += run;
  }
  return CrossfadeResult::kRendered;
}
