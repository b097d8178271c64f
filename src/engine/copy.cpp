#include "engine/copy.hpp"

#include <fcntl.h>
#include <setjmp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "dsp/level.hpp"
#include "dsp/mix.hpp"

namespace {

// The stage holds the results of a copy that changes samples until they are
// written, in slots of this many bytes: a slot is written once it holds the
// destination's bytes from one multiple of it to the next (the few bytes of
// the frame that crosses that boundary go on in the next slot), while the
// next slot fills (see io/write_ring.hpp).
constexpr int64_t kSlotBytes = 1024 * 1024;
// Room for the frame that crosses the boundary.
constexpr int64_t kSlotRoom = kSlotBytes + 64;

// Each write starts on a multiple of this many bytes in the destination and
// ends on the next, which the system then keeps as one piece of its page
// cache: 115 MB written in aligned writes of 128 KiB to 2 MiB took 16-21 ms
// on ext4 here, in writes of 384 KiB that started anywhere 44 ms. Pieces of
// 512 KiB and more made a 1.5 GB copy 2-4 times slower on this virtual
// machine, where large pieces of memory come back from the host a page at a
// time.
constexpr int64_t kWriteBytes = 256 * 1024;

// A copy this long reads its source where it lies, a window of this many
// bytes mapped at a time: reading 115 MB mapped took 25-27 ms where reading
// it into a buffer took 33 ms (level arithmetic included). Shorter copies
// read: mapping and unmapping a window costs more than reading a little.
constexpr int64_t kWindowBytes = 2 * 1024 * 1024;
constexpr int64_t kMapFrom = 256 * 1024;

// A copy this long hands its writes to the ring: a shorter one would wait
// for them at once.
constexpr int64_t kRingFrom = 2 * kSlotBytes;

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

unsigned char* Slot(CopyScratch& scratch, int slot) {
  // Every byte is made before it is written, so the stage is not zeroed.
  if (scratch.stage == nullptr) {
    scratch.stage = std::make_unique_for_overwrite<unsigned char[]>(kWriteSlots * kSlotRoom);
  }
  return scratch.stage.get() + slot * kSlotRoom;
}

// The end of the current slot's stretch: its next multiple of kSlotBytes.
int64_t Boundary(const StagedCopy& copy) { return (copy.stage_at / kSlotBytes + 1) * kSlotBytes; }

// The writes of a slot's bytes for [at, at + bytes) of the destination,
// split at the multiples of kWriteBytes.
int SplitWrites(const unsigned char* bytes, int64_t at, int64_t count,
                WritePiece (&pieces)[kSlotBytes / kWriteBytes + 2]) {
  int n = 0;
  for (int64_t done = 0; done < count; ++n) {
    const int64_t length = std::min(count - done, (at / kWriteBytes + 1) * kWriteBytes - at);
    pieces[n] = WritePiece{.offset = at, .bytes = std::span(bytes + done, static_cast<size_t>(length))};
    done += length;
    at += length;
  }
  return n;
}

// Writes a slot's bytes at once; a failure ends the run.
void WriteSlotNow(const StagedCopy& copy, CopyScratch& scratch, int slot) {
  WritePiece pieces[kSlotBytes / kWriteBytes + 2];
  const int n = SplitWrites(Slot(scratch, slot), copy.slot_at[slot], copy.slot_bytes[slot], pieces);
  for (int i = 0; i < n; ++i) {
    if (!WriteAt(*copy.destination.file, pieces[i].offset, pieces[i].bytes)) FailWrite(copy.destination.name);
  }
}

// Waits for the slot's writes in the ring. One that failed or came up short
// is made again at once, where a failure shows as it would have (a file-size
// limit, for one, raises its signal in this thread, not in a worker's). A
// ring that no longer says when its writes are done may still be writing
// from the stage: nothing written is sure, and the run ends.
void FinishSlot(StagedCopy& copy, CopyScratch& scratch, int slot) {
  if (copy.slot_bytes[slot] == 0) return;
  if (!WaitForSlot(*scratch.ring, slot)) {
    if (WritesLost(*scratch.ring)) FailWrite(copy.destination.name);
    WriteSlotNow(copy, scratch, slot);
  }
  copy.slot_bytes[slot] = 0;
}

// Writes the current slot up to `bytes` (in the ring where the copy uses it)
// and goes on in the other, with what lay after them (less than a frame) at
// its start.
void WriteStage(StagedCopy& copy, CopyScratch& scratch, int64_t bytes) {
  const int slot = copy.slot;
  copy.slot_at[slot] = copy.stage_at;
  copy.slot_bytes[slot] = bytes;
  WritePiece pieces[kSlotBytes / kWriteBytes + 2];
  const int n = SplitWrites(Slot(scratch, slot), copy.stage_at, bytes, pieces);
  if (!copy.rings ||
      !QueueWrites(*scratch.ring, *copy.destination.file, std::span(pieces, static_cast<size_t>(n)), slot)) {
    if (copy.rings && WritesLost(*scratch.ring)) FailWrite(copy.destination.name);
    WriteSlotNow(copy, scratch, slot);
    copy.slot_bytes[slot] = 0;
  }
  const int next = (slot + 1) % kWriteSlots;
  if (copy.rings) FinishSlot(copy, scratch, next);
  std::memcpy(Slot(scratch, next), Slot(scratch, slot) + bytes, static_cast<size_t>(copy.pending - bytes));
  copy.slot = next;
  copy.stage_at += bytes;
  copy.pending -= bytes;
}

// Done with the window: the file must still hold what was read from it. A
// file cut short within a page it had mapped reads as zeros past its end
// there, without a fault: as a read would, that counts as coming up short.
void LeaveWindow(StagedCopy& copy) {
  if (copy.window.IsMapped() && FileSize(*copy.source.file) < copy.window_used) copy.whole = false;
  copy.window = MappedWindow();
  copy.window_used = 0;
}

// Where the source's next bytes lie in memory, a window mapped from the next
// byte on when the current one does not hold the next frame; null when the
// copy reads them (it is short, or the system cannot map the file).
const unsigned char* WindowAt(StagedCopy& copy, int64_t frame_bytes) {
  if (!copy.maps) return nullptr;
  const MappedWindow& window = copy.window;
  if (!window.IsMapped() || copy.from < window.offset || copy.from + frame_bytes > window.End()) {
    LeaveWindow(copy);
    copy.window = MapForReading(*copy.source.file, copy.from, std::min(kWindowBytes, copy.remaining));
    if (!copy.window.IsMapped()) {
      copy.maps = false;
      return nullptr;
    }
  }
  return copy.window.bytes + (copy.from - copy.window.offset);
}

// The run's results from its incoming bytes into `out` (which may be where
// they are): arithmetic only, so that a fault while reading a mapped window
// can leave it at any point.
int64_t MakeRun(const StagedCopy& copy, CopyScratch& scratch, const unsigned char* in, unsigned char* out,
                int64_t bytes) {
  const auto n = static_cast<size_t>(bytes);
  const auto frames = static_cast<int>(bytes / FrameBytes(copy.format));
  if (copy.shape != nullptr) {
    const auto count = static_cast<size_t>(frames);
    return MixFrames(std::span(scratch.under.get(), n), std::span(in, n), std::span(out, n), copy.format,
                     MixWeights{std::span(scratch.w_out).first(count), std::span(scratch.w_in).first(count)},
                     copy.instructions);
  }
  if (copy.level_db == 0.0) {
    if (in != out) std::memcpy(out, in, n);
    return 0;
  }
  return ApplyLevelInto(std::span(in, n), std::span(out, n), copy.format, frames, copy.level_db, copy.instructions);
}

// MakeRun from the mapped window, guarded: false when the window lost pages
// under it (the file was cut short), with `out` holding anything.
bool MakeMappedRun(StagedCopy& copy, CopyScratch& scratch, const unsigned char* in, unsigned char* out, int64_t bytes) {
  sigjmp_buf resume;
  if (sigsetjmp(resume, 0) != 0) return false;
  ArmReadGuard(copy.window, &resume);
  const int64_t clipped = MakeRun(copy, scratch, in, out, bytes);
  DisarmReadGuard();
  copy.clipped += clipped;
  return true;
}

// The envelope of a shaped entry at its frame i: 1, times the quarter sine of
// its fade-in over its first frames, times the quarter cosine of its fade-out
// over its last, with the arithmetic of the crossfade's curve 1.
double Envelope(const Shape& shape, int64_t i) {
  double e = 1.0;
  if (i < shape.fade_in) e = CurveWeights(1, static_cast<int>(i), shape.fade_in).w_in;
  const int fading_out = shape.frames - shape.fade_out;
  if (shape.fade_out > 0 && i >= fading_out) {
    e *= CurveWeights(1, static_cast<int>(i - fading_out), shape.fade_out).w_out;
  }
  return e;
}

// What a mix needs besides the incoming frames: what entries written before
// left under them (silence where none did; the destination holds every frame
// of the span, so a short read is a failure) and the weights of each frame.
void PrepareMix(const StagedCopy& copy, CopyScratch& scratch, int64_t bytes) {
  const Shape& shape = *copy.shape;
  const auto under = std::span(scratch.under.get(), static_cast<size_t>(bytes));
  if (shape.over) {
    const OpenAudio& destination = copy.destination;
    if (ReadAudio(*destination.file, destination.audio, copy.stage_at + copy.pending, under) < under.size()) {
      Fail(ExitStatus::kWavError, message::kCannotRead, destination.name);
    }
  } else {
    std::fill(under.begin(), under.end(), 0);
  }
  const int64_t frames = bytes / FrameBytes(copy.format);
  for (int64_t i = 0; i < frames; ++i) {
    const double e = Envelope(shape, shape.first + copy.shaped + i);
    scratch.w_in[static_cast<size_t>(i)] = e * shape.gain;
    scratch.w_out[static_cast<size_t>(i)] = shape.over ? 1.0 + (shape.under_gain - 1.0) * e : 0.0;
  }
}

StagedCopy StagedCopyAt(const OpenAudio& destination, const OpenAudio& source, const AudioFormat& format,
                        int64_t destination_at, int64_t source_at, int64_t bytes, const FrameCopy& copy) {
  StagedCopy staged;
  staged.destination = destination;
  staged.source = source;
  staged.format = format;
  staged.instructions = copy.instructions;
  staged.level_db = copy.level_db;
  staged.from = source_at;
  staged.remaining = std::max<int64_t>(bytes, 0);
  staged.stage_at = destination_at;
  // Only a long copy within the source's samples is read where it lies.
  staged.maps = staged.remaining >= kMapFrom && source_at >= source.audio.start &&
                source_at + staged.remaining <= source.audio.end;
  return staged;
}

}  // namespace

StagedCopy StartStagedCopy(const OpenAudio& destination, const OpenAudio& source, const AudioFormat& format,
                           const FrameCopy& copy) {
  const int64_t frame_bytes = FrameBytes(format);
  if (copy.count > 0 && (copy.to_frame < 0 || copy.from_frame < 0)) FailWrite(destination.name);
  return StagedCopyAt(destination, source, format, destination.audio.start + int64_t{copy.to_frame} * frame_bytes,
                      source.audio.start + int64_t{copy.from_frame} * frame_bytes, int64_t{copy.count} * frame_bytes,
                      copy);
}

StagedCopy StartStagedPass(const OpenAudio& file, const AudioFormat& format, int64_t frames, double level_db,
                           InstructionSet instructions) {
  const int64_t bytes = std::max<int64_t>(frames, 0) * FrameBytes(format);
  return StagedCopyAt(file, file, format, file.audio.start, file.audio.start, bytes,
                      FrameCopy{.level_db = level_db, .instructions = instructions});
}

std::span<const unsigned char> NextStagedRun(StagedCopy& copy, CopyScratch& scratch) {
  if (!copy.started) {
    copy.started = true;
    if (copy.remaining >= kRingFrom && scratch.ring_state == 0) {
      scratch.ring = OpenWriteRing();
      scratch.ring_state = scratch.ring != nullptr ? 1 : -1;
    }
    copy.rings = copy.remaining >= kRingFrom && scratch.ring_state == 1;
  }
  const int64_t frame_bytes = FrameBytes(copy.format);
  const int64_t boundary = Boundary(copy);
  if (copy.stage_at + copy.pending >= boundary) WriteStage(copy, scratch, boundary - copy.stage_at);
  if (copy.remaining <= 0) {
    if (copy.pending > 0) WriteStage(copy, scratch, copy.pending);
    if (copy.rings) {
      for (int slot = 0; slot < kWriteSlots; ++slot) FinishSlot(copy, scratch, slot);
    }
    LeaveWindow(copy);
    return {};
  }
  unsigned char* stage = Slot(scratch, copy.slot);
  // Up to the next boundary, in whole frames: up to a frame past it.
  const int64_t room = Boundary(copy) - (copy.stage_at + copy.pending);
  int64_t bytes = std::min(copy.remaining, (room + frame_bytes - 1) / frame_bytes * frame_bytes);
  // Less than a frame left (a plain copy's rest after its move through the
  // pipe stopped within one) is read: a window of it holds no whole frame.
  const unsigned char* in = copy.remaining >= frame_bytes ? WindowAt(copy, frame_bytes) : nullptr;
  if (in != nullptr) bytes = std::min(bytes, (copy.window.End() - copy.from) / frame_bytes * frame_bytes);
  unsigned char* out = stage + copy.pending;
  if (copy.shape != nullptr) PrepareMix(copy, scratch, bytes);
  if (in != nullptr) {
    copy.window_used = copy.from + bytes;
    if (!MakeMappedRun(copy, scratch, in, out, bytes)) {
      // Cut short under the copy: the rest is read, and comes up short.
      copy.whole = false;
      copy.maps = false;
      copy.window = MappedWindow();
      in = nullptr;
    }
  }
  if (in == nullptr) {
    unsigned char* read_into = copy.shape != nullptr ? scratch.incoming.get() : out;
    const auto span = std::span(read_into, static_cast<size_t>(bytes));
    if (ReadAudio(*copy.source.file, copy.source.audio, copy.from, span) < span.size()) copy.whole = false;
    copy.clipped += MakeRun(copy, scratch, read_into, out, bytes);
  }
  copy.from += bytes;
  copy.remaining -= bytes;
  copy.pending += bytes;
  if (copy.shape != nullptr) copy.shaped += bytes / frame_bytes;
  return std::span(out, static_cast<size_t>(bytes));
}

namespace {

// Copies through the stage, changing the level when the copy has one. The
// plan keeps every copy within its source's samples, so a short read means
// the source was cut since the plan measured it: the missing frames become
// silence, and the function returns false once all of it is written.
bool MoveThroughStage(CopyScratch& scratch, const OpenAudio& source, int64_t source_at, const OpenAudio& destination,
                      int64_t destination_at, int64_t bytes, const AudioFormat& format, const FrameCopy& copy,
                      int64_t& clipped) {
  if (bytes <= 0) return true;
  StagedCopy staged = StagedCopyAt(destination, source, format, destination_at, source_at, bytes, copy);
  while (!NextStagedRun(staged, scratch).empty()) {
  }
  clipped += staged.clipped;
  return staged.whole;
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
  return MoveThroughStage(scratch, source, source_at, destination, destination_at, bytes, format, FrameCopy{}, clipped);
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
  whole = MoveThroughStage(scratch, source, source_at, destination, destination_at, remaining, format, copy, clipped) &&
          whole;
  if (!whole) Fail(ExitStatus::kWavError, message::kCannotRead, source.name);
  return clipped;
}

int64_t ShapeFrames(const OpenAudio& destination, const OpenAudio& source, const AudioFormat& format,
                    const FrameCopy& copy, const Shape& shape, CopyScratch& scratch) {
  if (copy.count <= 0) return 0;
  for (std::unique_ptr<unsigned char[]>* buffer : {&scratch.incoming, &scratch.under}) {
    if (*buffer == nullptr) *buffer = std::make_unique_for_overwrite<unsigned char[]>(kSlotRoom);
  }
  const auto frames = static_cast<size_t>(kSlotRoom / FrameBytes(format));
  scratch.w_out.resize(frames);
  scratch.w_in.resize(frames);
  StagedCopy staged = StartStagedCopy(destination, source, format, copy);
  staged.shape = &shape;
  while (!NextStagedRun(staged, scratch).empty()) {
  }
  if (!staged.whole) Fail(ExitStatus::kWavError, message::kCannotRead, source.name);
  return staged.clipped;
}
