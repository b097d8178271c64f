#include "wav/destination.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "driver/fatal.hpp"
#include "dsp/level.hpp"
#include "wav/chunk.hpp"
#include "wav/file_io.hpp"

namespace {

constexpr int kBlockFrames = 1024;

}  // namespace

void PAD_FILE(const char* wav_path, int start_frame, int bytes_per_sample, int channels, int frame_count) {
  const int64_t frame_size = int64_t{bytes_per_sample} * channels;
  const std::vector<unsigned char> silence(static_cast<size_t>(kBlockFrames * frame_size), 0);

  std::FILE* file = OpenRegular(wav_path, "rb+");
  if (file == nullptr) FailOpen(wav_path);
  const int64_t data_start = DataStart(file);
  if (data_start < 0) {
    std::fclose(file);
    FailNoData();
  }
  if (frame_count > 0 && start_frame < 0) FailWrite(file, wav_path);

  for (int done = 0; done < frame_count;) {
    const int n = frame_count - done < kBlockFrames ? frame_count - done : kBlockFrames;
    const int64_t offset = data_start + (int64_t{start_frame} + done) * frame_size;
    if (!WriteAt(file, offset, std::span(silence.data(), static_cast<size_t>(n * frame_size)))) {
      FailWrite(file, wav_path);
    }
    done += n;
  }
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
  const int64_t destination_start = DataStart(destination);
  const int64_t source_start = destination_start < 0 ? -1 : DataStart(source);
  if (destination_start < 0 || source_start < 0) {
    std::fclose(source);
    std::fclose(destination);
    FailNoData();
  }

  std::vector<unsigned char> block(static_cast<size_t>(kBlockFrames * frame_size));
  // Positions before a file's first frame would address its header.
  if (frame_count > 0 && (insert_frame < 0 || read_start_frame < 0)) {
    std::fclose(source);
    FailWrite(destination, destination_path);
  }

  int64_t destination_at = destination_start + int64_t{insert_frame} * frame_size;
  int64_t source_at = source_start + int64_t{read_start_frame} * frame_size;
  bool source_short = false;
  for (int done = 0; done < frame_count;) {
    const int n = frame_count - done < kBlockFrames ? frame_count - done : kBlockFrames;
    const auto bytes = static_cast<size_t>(n * frame_size);
    const size_t got = ReadAt(source, source_at, std::span(block.data(), bytes));
    // The plan keeps every run within its source, so a short read means the
    // source was cut since the plan measured it: the missing frames become
    // silence, never stale bytes, and the run fails once the run is written.
    std::memset(block.data() + got, 0, bytes - got);
    source_short = source_short || got < bytes;
    if (level_db != 0.0) NewLevel(std::span(block.data(), bytes), bytes_per_sample, channels, n, level_db);
    if (!WriteAt(destination, destination_at, std::span(block.data(), bytes))) {
      std::fclose(source);
      FailWrite(destination, destination_path);
    }
    destination_at += static_cast<int64_t>(bytes);
    source_at += static_cast<int64_t>(bytes);
    done += n;
  }
  std::fclose(source);
  CloseWritten(destination, destination_path);
  if (source_short) Fatal(2, "Cannot read wave file %s!\n", source_path);
}
