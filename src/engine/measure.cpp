#include "engine/measure.hpp"

#include <fcntl.h>

#include <algorithm>
#include <memory>
#include <span>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "dsp/level.hpp"

namespace {

// Pieces of about this size: few system calls, and a buffer that stays in the
// processor's second-level cache while the meter reads it.
constexpr int64_t kPieceBytes = 1024 * 1024;

struct Pieces {
  int64_t frame_bytes;
  int64_t piece_bytes;
  std::unique_ptr<unsigned char[]> buffer;
};

Pieces StartPieces(const OpenAudio& audio, const AudioFormat& format, int64_t from_frame, int64_t frames) {
  const int64_t frame_bytes = FrameBytes(format);
  // Read once, in order: the file's pages are wanted ahead of the reads.
  posix_fadvise(audio.file->fd, audio.audio.start + from_frame * frame_bytes, frames * frame_bytes,
                POSIX_FADV_SEQUENTIAL);
  const int64_t piece = std::max<int64_t>(kPieceBytes / frame_bytes, 1) * frame_bytes;
  // Every byte is read into before it is used.
  return Pieces{frame_bytes, piece, std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(piece))};
}

// Reads a piece; the bytes past the file's samples are silence, and any the
// file holds but does not deliver end the run.
std::span<unsigned char> ReadPiece(const OpenAudio& audio, const Pieces& pieces, int64_t at, int64_t bytes) {
  const auto piece = std::span(pieces.buffer.get(), static_cast<size_t>(bytes));
  const size_t got = ReadAudio(*audio.file, audio.audio, at, piece);
  const int64_t held = std::clamp<int64_t>(audio.audio.end - at, 0, bytes);
  if (static_cast<int64_t>(got) < held) Fail(ExitStatus::kWavError, message::kCannotRead, audio.name);
  return piece;
}

}  // namespace

void MeasureFrames(const OpenAudio& audio, const AudioFormat& format, int64_t from_frame, int64_t frames,
                   LoudnessMeter& meter) {
  if (frames <= 0) return;
  if (from_frame < 0) Fail(ExitStatus::kWavError, message::kCannotRead, audio.name);
  const Pieces pieces = StartPieces(audio, format, from_frame, frames);
  int64_t at = audio.audio.start + from_frame * pieces.frame_bytes;
  for (int64_t left = frames * pieces.frame_bytes; left > 0;) {
    const int64_t bytes = std::min(left, pieces.piece_bytes);
    FeedLoudness(meter, ReadPiece(audio, pieces, at, bytes));
    at += bytes;
    left -= bytes;
  }
}

int64_t GainFrames(const OpenAudio& audio, const AudioFormat& format, int64_t frames, double level_db,
                   InstructionSet instructions, LoudnessMeter& meter) {
  int64_t clipped = 0;
  if (frames <= 0) return clipped;
  const Pieces pieces = StartPieces(audio, format, 0, frames);
  int64_t at = audio.audio.start;
  for (int64_t left = frames * pieces.frame_bytes; left > 0;) {
    const int64_t bytes = std::min(left, pieces.piece_bytes);
    const std::span<unsigned char> piece = ReadPiece(audio, pieces, at, bytes);
    clipped += ApplyLevel(piece, format, static_cast<int>(bytes / pieces.frame_bytes), level_db, instructions);
    if (!WriteAt(*audio.file, at, piece)) Fail(ExitStatus::kWavError, message::kCannotWrite, audio.name);
    FeedLoudness(meter, piece);
    at += bytes;
    left -= bytes;
  }
  return clipped;
}
