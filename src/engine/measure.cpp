#include "engine/measure.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "dsp/level.hpp"
#include "engine/copy.hpp"

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
  ReadInOrder(audio, format, from_frame, frames, &meter, nullptr, meter.instructions);
}

void ReadInOrder(const OpenAudio& audio, const AudioFormat& format, int64_t from_frame, int64_t frames,
                 LoudnessMeter* meter, ColumnFold* fold, InstructionSet instructions) {
  if (frames <= 0) return;
  if (from_frame < 0) Fail(ExitStatus::kWavError, message::kCannotRead, audio.name);
  const Pieces pieces = StartPieces(audio, format, from_frame, frames);
  int64_t at = audio.audio.start + from_frame * pieces.frame_bytes;
  int64_t frame = from_frame;
  for (int64_t left = frames * pieces.frame_bytes; left > 0;) {
    const int64_t bytes = std::min(left, pieces.piece_bytes);
    const std::span<unsigned char> piece = ReadPiece(audio, pieces, at, bytes);
    if (meter != nullptr) FeedLoudness(*meter, piece);
    if (fold != nullptr) FoldFrames(piece, format, frame, 1.0, *fold, instructions);
    at += bytes;
    left -= bytes;
    frame += bytes / pieces.frame_bytes;
  }
}

int64_t GainFrames(const OpenAudio& audio, const AudioFormat& format, int64_t frames, double level_db,
                   InstructionSet instructions, LoudnessMeter& meter, ColumnFold* fold) {
  if (frames <= 0) return 0;
  const Pieces pieces = StartPieces(audio, format, 0, frames);
  // Scaled as a copy at a level is, through its stage.
  CopyScratch scratch;
  StagedCopy pass = StartStagedPass(audio, format, frames, level_db, instructions);
  // The meter and the picture take the results in the pieces a read gives
  // them elsewhere: the meter's arithmetic follows the pieces it is fed.
  const auto piece_bytes = static_cast<size_t>(pieces.piece_bytes);
  size_t held = 0;
  int64_t first = 0;
  const auto hand_over = [&] {
    const auto piece = std::span<const unsigned char>(pieces.buffer.get(), held);
    FeedLoudness(meter, piece);
    if (fold != nullptr) FoldFrames(piece, format, first, 1.0, *fold, instructions);
    first += static_cast<int64_t>(held) / pieces.frame_bytes;
    held = 0;
  };
  for (std::span<const unsigned char> run = NextStagedRun(pass, scratch); !run.empty();
       run = NextStagedRun(pass, scratch)) {
    while (!run.empty()) {
      const size_t taken = std::min(run.size(), piece_bytes - held);
      std::memcpy(pieces.buffer.get() + held, run.data(), taken);
      held += taken;
      run = run.subspan(taken);
      if (held == piece_bytes) hand_over();
    }
  }
  if (held > 0) hand_over();
  if (!pass.whole) Fail(ExitStatus::kWavError, message::kCannotRead, audio.name);
  return pass.clipped;
}

void FoldLane(const OpenAudio& source, const AudioFormat& format, const LaneSound& lane, ColumnFold& fold,
              InstructionSet instructions, std::span<const FrameSpan> as_they_are, ColumnFold* also) {
  std::vector<double> weights;
  for (const FrameSpan& run : lane.runs) {
    // Before the source's first frame it is silent; no header is read.
    const int64_t silent_to = std::min(run.to, -lane.source_offset);
    if (run.from < silent_to) FoldSilence(run.from, silent_to - run.from, fold);
    const int64_t from = std::max(run.from, silent_to);
    if (from >= run.to) continue;
    const Pieces pieces = StartPieces(source, format, from + lane.source_offset, run.to - from);
    const int64_t piece_frames = pieces.piece_bytes / pieces.frame_bytes;
    for (int64_t first = from; first < run.to; first += piece_frames) {
      const int64_t frames = std::min(piece_frames, run.to - first);
      const std::span<unsigned char> piece =
          ReadPiece(source, pieces, source.audio.start + (first + lane.source_offset) * pieces.frame_bytes,
                    frames * pieces.frame_bytes);
      // The piece in parts where the same factors apply: where none does, the
      // lane sounds at its gain, folded a run at a time.
      std::vector<int64_t> cuts{first, first + frames};
      const auto cut_at = [&](int64_t cut) {
        if (cut > first && cut < first + frames) cuts.push_back(cut);
      };
      for (const WeightFactor& factor : lane.factors) {
        cut_at(factor.from);
        cut_at(factor.to);
      }
      for (const FrameSpan& span : as_they_are) {
        cut_at(span.from);
        cut_at(span.to);
      }
      std::sort(cuts.begin(), cuts.end());
      cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
      for (size_t k = 0; k + 1 < cuts.size(); ++k) {
        const int64_t a = cuts[k];
        const int64_t b = cuts[k + 1];
        const auto part = piece.subspan(static_cast<size_t>((a - first) * pieces.frame_bytes),
                                        static_cast<size_t>((b - a) * pieces.frame_bytes));
        if (also != nullptr && std::any_of(as_they_are.begin(), as_they_are.end(),
                                           [&](const FrameSpan& s) { return s.from <= a && b <= s.to; })) {
          FoldFrames(part, format, a, 1.0, *also, instructions);
        }
        const bool shaped = std::any_of(lane.factors.begin(), lane.factors.end(),
                                        [&](const WeightFactor& f) { return f.from < b && a < f.to; });
        if (!shaped) {
          FoldFrames(part, format, a, lane.gain, fold, instructions);
          continue;
        }
        weights.assign(static_cast<size_t>(b - a), lane.gain);
        for (const WeightFactor& factor : lane.factors) MultiplyWeights(factor, a, weights);
        FoldWeightedFrames(part, format, a, weights, fold);
      }
    }
  }
}
