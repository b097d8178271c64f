#include "wav/destination.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "driver/fatal.hpp"
#include "dsp/level.hpp"
#include "wav/chunk.hpp"
#include "wav/file_io.hpp"

namespace {

// Data moves in runs of many 1024-frame blocks: one system call per run
// instead of a seek, a read and a write per block. The level arithmetic works
// sample by sample, so the grouping does not change a byte of the result.
// Plain copies go through the buffer too: an in-kernel copy between positions
// that differ within a page writes every page in two pieces, and measured
// slower than reading and writing here.
constexpr int64_t kRunBytes = 384 * 1024;  // a multiple of every frame size (2, 3, 4, 6)

}  // namespace

void PAD_FILE(const char* wav_path, int start_frame, int bytes_per_sample, int channels, int frame_count) {
  const int64_t frame_size = int64_t{bytes_per_sample} * channels;

  std::FILE* file = OpenRegular(wav_path, "rb+");
  if (file == nullptr) FailOpen(wav_path);
  const std::optional<AudioExtent> audio = FindAudio(file);
  if (!audio) {
    std::fclose(file);
    FailNoData();
  }
  const int64_t data_start = audio->start;
  if (frame_count <= 0) {
    CloseWritten(file, wav_path);
    return;
  }
  if (start_frame < 0) FailWrite(file, wav_path);

  // Only frames over existing content need zeros written; beyond the end of
  // the file, extending it makes them read as zeros.
  const int64_t from = data_start + int64_t{start_frame} * frame_size;
  const int64_t to = from + int64_t{frame_count} * frame_size;
  const int64_t overwrite_to = std::min(to, std::max(from, FileSize(file)));
  if (overwrite_to > from) {
    const std::vector<unsigned char> silence(static_cast<size_t>(std::min(kRunBytes, overwrite_to - from)), 0);
    for (int64_t at = from; at < overwrite_to;) {
      const auto n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(silence.size()), overwrite_to - at));
      if (!WriteAt(file, at, std::span(silence.data(), n))) FailWrite(file, wav_path);
      at += static_cast<int64_t>(n);
    }
  }
  if (!ExtendTo(file, to)) FailWrite(file, wav_path);
  CloseWritten(file, wav_path);
}

void INSERT_FILE(const char* destination_path, const char* source_path, int insert_frame, int bytes_per_sample,
                 double level_db, int channels, int frame_count, int read_start_frame) {
  const int64_t frame_size = int64_t{bytes_per_sample} * channels;

  std::FILE* destination = OpenRegular(destination_path, "rb+");
  if (destination == nullptr) FailOpen(destination_path);
  std::FILE* source = OpenRegular(source_path, "rb");
  if (source == nullptr) {
    std::fclose(destination);
    FailOpen(source_path);
  }
  const std::optional<AudioExtent> destination_audio = FindAudio(destination);
  const std::optional<AudioExtent> source_audio = destination_audio ? FindAudio(source) : std::nullopt;
  if (!destination_audio || !source_audio) {
    std::fclose(source);
    std::fclose(destination);
    FailNoData();
  }
  const int64_t destination_start = destination_audio->start;
  const int64_t source_start = source_audio->start;
  if (frame_count <= 0) {
    std::fclose(source);
    CloseWritten(destination, destination_path);
    return;
  }
  // Positions before a file's first frame would address its header.
  if (insert_frame < 0 || read_start_frame < 0) {
    std::fclose(source);
    FailWrite(destination, destination_path);
  }

  int64_t destination_at = destination_start + int64_t{insert_frame} * frame_size;
  int64_t source_at = source_start + int64_t{read_start_frame} * frame_size;
  int64_t remaining = int64_t{frame_count} * frame_size;
  bool source_short = false;
  const int64_t run_bytes = std::min(kRunBytes, remaining);
  // Every byte is read into before it is used, so the buffer is not zeroed.
  const auto run = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(run_bytes));
  while (remaining > 0) {
    const int64_t bytes = std::min(remaining, run_bytes);
    const auto span = std::span(run.get(), static_cast<size_t>(bytes));
    // The plan keeps every run within its source's audio, so a short read
    // means the source was cut since the plan measured it: the missing frames
    // become silence, and the run fails once the run is written.
    const size_t got = ReadAudio(source, *source_audio, source_at, span);
    source_short = source_short || got < span.size();
    if (level_db != 0.0) {
      NewLevel(span, bytes_per_sample, channels, static_cast<int>(bytes / frame_size), level_db);
    }
    if (!WriteAt(destination, destination_at, span)) {
      std::fclose(source);
      FailWrite(destination, destination_path);
    }
    destination_at += bytes;
    source_at += bytes;
    remaining -= bytes;
  }
  std::fclose(source);
  CloseWritten(destination, destination_path);
  if (source_short) Fatal(2, "Cannot read wave file %s!\n", source_path);
}
