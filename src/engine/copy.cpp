#include "engine/copy.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <span>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "dsp/level.hpp"
#include "dsp/mix.hpp"

namespace {

// What goes through the buffer (copies with a level) moves in runs of many
// 1024-frame blocks: one system call per run instead of a seek, a read and a
// write per block. The level arithmetic works sample by sample, so the
// grouping does not change a byte of the result.
constexpr int64_t kRunBytes = 384 * 1024;

[[noreturn]] void FailWrite(const char* name) { Fail(ExitStatus::kWavError, message::kCannotWrite, name); }

// Plain copies move through a pipe of this size: a page of the source goes
// in by reference and is copied once, into the destination, where a read and
// a write through a buffer copy it twice. A smaller pipe measured slower than
// the buffer (every page of a source whose frames do not line up with the
// destination's pages goes in two pieces, the more of them the smaller the
// pipe).
constexpr int kPipeBytes = 1024 * 1024;

bool PipeUsable(CopyScratch& scratch) {
  if (scratch.pipe_state == 0) {
    int ends[2];
    scratch.pipe_state = -1;
    if (pipe2(ends, O_CLOEXEC) == 0) {
      scratch.pipe_out = FileHandle(ends[0]);
      scratch.pipe_in = FileHandle(ends[1]);
      if (fcntl(scratch.pipe_in.fd, F_SETPIPE_SZ, kPipeBytes) >= kPipeBytes) scratch.pipe_state = 1;
    }
  }
  return scratch.pipe_state == 1;
}

// Moves up to `bytes` bytes from the source to the destination through the
// pipe. Returns the bytes moved (fewer where the source ends), or -1 when the
// files cannot be spliced and nothing was moved.
int64_t SpliceRun(CopyScratch& scratch, const FileHandle& source, int64_t source_at, const FileHandle& destination,
                  int64_t destination_at, int64_t bytes, const char* destination_name) {
  auto in_at = static_cast<loff_t>(source_at);
  auto out_at = static_cast<loff_t>(destination_at);
  int64_t moved = 0;
  while (moved < bytes) {
    const auto want = static_cast<size_t>(std::min<int64_t>(bytes - moved, kPipeBytes));
    const ssize_t got = splice(source.fd, &in_at, scratch.pipe_in.fd, nullptr, want, SPLICE_F_MOVE);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && moved == 0 && (errno == EINVAL || errno == ENOSYS)) return -1;
    if (got <= 0) break;  // the end of the source, or it cannot be read: what is missing is silence
    for (ssize_t drained = 0; drained < got;) {
      const ssize_t put = splice(scratch.pipe_out.fd, nullptr, destination.fd, &out_at,
                                 static_cast<size_t>(got - drained), SPLICE_F_MOVE);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) FailWrite(destination_name);
      drained += put;
    }
    moved += got;
  }
  return moved;
}

// Copies through the buffer, changing the level when the copy has one, in
// whole frames a run so that a level change sees every frame whole. The plan
// keeps every copy within its source's samples, so a short read means the
// source was cut since the plan measured it: the missing frames become
// silence, and the function returns false once all of it is written.
bool MoveThroughBuffer(CopyScratch& scratch, const OpenAudio& source, int64_t source_at, const OpenAudio& destination,
                       int64_t destination_at, int64_t bytes, const AudioFormat& format, const FrameCopy& copy,
                       int64_t& clipped) {
  if (bytes <= 0) return true;
  const int64_t frame_bytes = FrameBytes(format);
  const int64_t run_bytes = kRunBytes / frame_bytes * frame_bytes;
  // Every byte is read into before it is used, so the buffer is not zeroed.
  if (scratch.buffer == nullptr) {
    scratch.buffer = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(kRunBytes));
  }
  bool whole = true;
  while (bytes > 0) {
    const int64_t run = std::min(bytes, run_bytes);
    const auto span = std::span(scratch.buffer.get(), static_cast<size_t>(run));
    const size_t got = ReadAudio(*source.file, source.audio, source_at, span);
    whole = whole && got == span.size();
    if (copy.level_db != 0.0) {
      clipped += ApplyLevel(span, format, static_cast<int>(run / frame_bytes), copy.level_db, copy.instructions);
    }
    if (!WriteAt(*destination.file, destination_at, span)) FailWrite(destination.name);
    destination_at += run;
    source_at += run;
    bytes -= run;
  }
  return whole;
}

// Moves the bytes of a plain copy: through the pipe while it can, then
// through the buffer, which finds out why the pipe stopped. False when the
// source delivered fewer (it was cut short): the rest is silence.
bool MovePlain(CopyScratch& scratch, const OpenAudio& source, int64_t source_at, const OpenAudio& destination,
               int64_t destination_at, int64_t bytes, const AudioFormat& format) {
  if (bytes > 0 && PipeUsable(scratch)) {
    const int64_t moved =
        SpliceRun(scratch, *source.file, source_at, *destination.file, destination_at, bytes, destination.name);
    if (moved < 0) {
      scratch.pipe_state = -1;
    } else {
      source_at += moved;
      destination_at += moved;
      bytes -= moved;
    }
  }
  int64_t clipped = 0;
  return MoveThroughBuffer(scratch, source, source_at, destination, destination_at, bytes, format, FrameCopy{},
                           clipped);
}

// Where the file system can, the whole blocks of a plain copy become the
// source's own blocks instead of copies of them: a run whose offsets do not
// lie the same distance past a block boundary, or whose source lies on
// another file system, is copied. The first refusal ends sharing for the
// run; the destination's data area, left unreserved for the blocks it was to
// share, is then reserved as for any copy.
SharedSpan ShareWhatCan(CopyScratch& scratch, const OpenAudio& source, int64_t source_at, const OpenAudio& destination,
                        int64_t destination_at, int64_t bytes) {
  BlockSharing& sharing = scratch.sharing;
  if (sharing.state < 0) return {};
  const SharedSpan span = ShareableSpan(source_at, destination_at, bytes, sharing.block);
  if (span.bytes == 0) return {};
  struct stat status {};
  if (fstat(source.file->fd, &status) != 0 || static_cast<uint64_t>(status.st_dev) != sharing.device) return {};
  if (ShareBlocks(*destination.file, destination_at + span.head, *source.file, source_at + span.head, span.bytes)) {
    sharing.state = 1;
    sharing.shared += span.bytes;
    return span;
  }
  sharing.state = -1;
  if (!sharing.reserved) ReserveBlocks(*destination.file, destination.audio.start, destination.audio.end);
  sharing.reserved = true;
  return {};
}

}  // namespace

int64_t CopyFrames(const OpenAudio& destination, const OpenAudio& source, const AudioFormat& format,
                   const FrameCopy& copy, CopyScratch& scratch) {
  const int64_t frame_bytes = FrameBytes(format);
  int64_t clipped = 0;
  if (copy.count <= 0) return clipped;
  // Positions before a file's first frame would address its header.
  if (copy.to_frame < 0 || copy.from_frame < 0) FailWrite(destination.name);

  int64_t destination_at = destination.audio.start + int64_t{copy.to_frame} * frame_bytes;
  int64_t source_at = source.audio.start + int64_t{copy.from_frame} * frame_bytes;
  int64_t remaining = int64_t{copy.count} * frame_bytes;
  bool whole = true;

  // A plain copy within the source's samples is shared or moved byte for
  // byte; what lies past the source's end, and a copy at a level, goes
  // through the buffer.
  const int64_t in_samples = std::min(remaining, std::max<int64_t>(source.audio.end - source_at, 0));
  if (copy.level_db == 0.0 && in_samples > 0) {
    const SharedSpan shared =
        copy.share ? ShareWhatCan(scratch, source, source_at, destination, destination_at, in_samples) : SharedSpan{};
    const int64_t after = shared.head + shared.bytes;
    whole = MovePlain(scratch, source, source_at, destination, destination_at,
                      shared.bytes > 0 ? shared.head : in_samples, format);
    if (shared.bytes > 0) {
      whole = MovePlain(scratch, source, source_at + after, destination, destination_at + after, in_samples - after,
                        format) &&
              whole;
    }
    source_at += in_samples;
    destination_at += in_samples;
    remaining -= in_samples;
  }
  whole =
      MoveThroughBuffer(scratch, source, source_at, destination, destination_at, remaining, format, copy, clipped) &&
      whole;
  if (!whole) Fail(ExitStatus::kWavError, message::kCannotRead, source.name);
  return clipped;
}

namespace {

// The envelope of a shaped entry at its frame i: 1, times the quarter sine of
// its fade-in over its first frames, times the quarter cosine of its fade-out
// over its last, with the arithmetic of the crossfade's curve 1.
double Envelope(const Shape& shape, int i) {
  double e = 1.0;
  if (i < shape.fade_in) e = CurveWeights(1, i, shape.fade_in).w_in;
  const int fading_out = shape.frames - shape.fade_out;
  if (shape.fade_out > 0 && i >= fading_out) e *= CurveWeights(1, i - fading_out, shape.fade_out).w_out;
  return e;
}

}  // namespace

int64_t ShapeFrames(const OpenAudio& destination, const OpenAudio& source, const AudioFormat& format,
                    const FrameCopy& copy, const Shape& shape, CopyScratch& scratch) {
  const int64_t frame_bytes = FrameBytes(format);
  int64_t clipped = 0;
  if (copy.count <= 0) return clipped;
  if (copy.to_frame < 0 || copy.from_frame < 0) FailWrite(destination.name);
  const int run_frames = static_cast<int>(kRunBytes / frame_bytes);
  for (std::unique_ptr<unsigned char[]>* buffer : {&scratch.buffer, &scratch.under, &scratch.mixed}) {
    if (*buffer == nullptr) *buffer = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(kRunBytes));
  }
  scratch.w_out.resize(static_cast<size_t>(run_frames));
  scratch.w_in.resize(static_cast<size_t>(run_frames));
  bool source_short = false;
  for (int done = 0; done < copy.count;) {
    const int run = std::min(copy.count - done, run_frames);
    const auto bytes = static_cast<size_t>(run * frame_bytes);
    const int64_t destination_at = destination.audio.start + (int64_t{copy.to_frame} + done) * frame_bytes;
    const int64_t source_at = source.audio.start + (int64_t{copy.from_frame} + done) * frame_bytes;
    const auto incoming = std::span(scratch.buffer.get(), bytes);
    const auto under = std::span(scratch.under.get(), bytes);
    const auto mixed = std::span(scratch.mixed.get(), bytes);
    source_short = ReadAudio(*source.file, source.audio, source_at, incoming) < bytes || source_short;
    // What entries written before left there; silence where none did. The
    // destination holds every frame of the span: a short read is a failure.
    if (shape.over) {
      if (ReadAudio(*destination.file, destination.audio, destination_at, under) < bytes) {
        Fail(ExitStatus::kWavError, message::kCannotRead, destination.name);
      }
    } else {
      std::fill(under.begin(), under.end(), 0);
    }
    for (int i = 0; i < run; ++i) {
      const double e = Envelope(shape, shape.first + done + i);
      scratch.w_in[static_cast<size_t>(i)] = e * shape.gain;
      scratch.w_out[static_cast<size_t>(i)] = shape.over ? 1.0 + (shape.under_gain - 1.0) * e : 0.0;
    }
    const auto count = static_cast<size_t>(run);
    clipped += MixFrames(under, incoming, mixed, format,
                         MixWeights{std::span(scratch.w_out).first(count), std::span(scratch.w_in).first(count)},
                         copy.instructions);
    if (!WriteAt(*destination.file, destination_at, mixed)) FailWrite(destination.name);
    done += run;
  }
  if (source_short) Fail(ExitStatus::kWavError, message::kCannotRead, source.name);
  return clipped;
}
