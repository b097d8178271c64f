#include "wav/destination.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/failure.hpp"
#include "dsp/level.hpp"
#include "wav/chunk.hpp"
#include "wav/file.hpp"

namespace {

// Data moves in runs of many 1024-frame blocks: one system call per run
// instead of a seek, a read and a write per block. The level arithmetic works
// sample by sample, so the grouping does not change a byte of the result.
// Plain copies go through the buffer too: an in-kernel copy between positions
// that differ within a page writes every page in two pieces, and measured
// slower than reading and writing here.
constexpr int64_t kRunBytes = 384 * 1024;  // a multiple of every frame size (2, 3, 4, 6)

FileHandle OpenOrFail(const char* path, bool writable) {
  FileHandle file = OpenRegular(path, writable);
  if (!file.IsOpen()) Fail(2, "Cannot open wave file %s!\n", path);
  return file;
}

AudioExtent AudioOrFail(const FileHandle& file) {
  const std::optional<AudioExtent> audio = FindAudio(file);
  if (!audio) Fail(2, "%s\n", "Can't find data block in wave file!");
  return *audio;
}

[[noreturn]] void FailWrite(const char* path) { Fail(2, "Cannot write wave file %s!\n", path); }

void CloseOrFail(FileHandle& file, const char* path) {
  if (!CloseWritten(file)) FailWrite(path);
}

}  // namespace

void WriteSilence(const char* path, const AudioFormat& format, int start_frame, int frame_count) {
  const int64_t frame_bytes = FrameBytes(format);
  FileHandle file = OpenOrFail(path, true);
  const int64_t data_start = AudioOrFail(file).start;
  if (frame_count <= 0) return CloseOrFail(file, path);
  if (start_frame < 0) FailWrite(path);

  // Only frames over existing content need zeros written; beyond the end of
  // the file, extending it makes them read as zeros.
  const int64_t from = data_start + int64_t{start_frame} * frame_bytes;
  const int64_t to = from + int64_t{frame_count} * frame_bytes;
  const int64_t overwrite_to = std::min(to, std::max(from, FileSize(file)));
  if (overwrite_to > from) {
    const std::vector<unsigned char> silence(static_cast<size_t>(std::min(kRunBytes, overwrite_to - from)), 0);
    for (int64_t at = from; at < overwrite_to;) {
      const auto n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(silence.size()), overwrite_to - at));
      if (!WriteAt(file, at, std::span(silence.data(), n))) FailWrite(path);
      at += static_cast<int64_t>(n);
    }
  }
  if (!ExtendTo(file, to)) FailWrite(path);
  CloseOrFail(file, path);
}

void CopyFrames(const char* destination_path, const char* source_path, const AudioFormat& format,
                const FrameCopy& copy) {
  const int64_t frame_bytes = FrameBytes(format);
  FileHandle destination = OpenOrFail(destination_path, true);
  const FileHandle source = OpenOrFail(source_path, false);
  // The destination is looked at first: without its data chunk the run ends
  // before the source is.
  const int64_t destination_start = AudioOrFail(destination).start;
  const AudioExtent source_audio = AudioOrFail(source);
  if (copy.count <= 0) return CloseOrFail(destination, destination_path);
  // Positions before a file's first frame would address its header.
  if (copy.to_frame < 0 || copy.from_frame < 0) FailWrite(destination_path);

  int64_t destination_at = destination_start + int64_t{copy.to_frame} * frame_bytes;
  int64_t source_at = source_audio.start + int64_t{copy.from_frame} * frame_bytes;
  int64_t remaining = int64_t{copy.count} * frame_bytes;
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
    const size_t got = ReadAudio(source, source_audio, source_at, span);
    source_short = source_short || got < span.size();
    if (copy.level_db != 0.0) {
      ApplyLevel(span, BytesPerSample(format), format.channels, static_cast<int>(bytes / frame_bytes), copy.level_db);
    }
    if (!WriteAt(destination, destination_at, span)) FailWrite(destination_path);
    destination_at += bytes;
    source_at += bytes;
    remaining -= bytes;
  }
  CloseOrFail(destination, destination_path);
  if (source_short) Fail(2, "Cannot read wave file %s!\n", source_path);
}
