#include "wav/attributes.hpp"

#include <array>
#include <climits>
#include <cstdio>
#include <optional>

#include "driver/fatal.hpp"
#include "wav/chunk.hpp"
#include "wav/file_io.hpp"

namespace {

// Little-endian unsigned field; bytes beyond the end of the file read as 0.
uint32_t ReadField(std::FILE* file, int64_t offset, int width) {
  std::array<unsigned char, 4> bytes{};
  ReadAt(file, offset, std::span(bytes.data(), static_cast<size_t>(width)));
  uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

void GET_ATTRIBUTES(int index, const char* path, SourceAttributes& attributes) {
  std::FILE* file = OpenRegular(path, "rb");
  if (file == nullptr) Fatal(2, "Cannot find file in track list called %s!!\n", path);

  int64_t format = FindChunk(file, "fmt");
  if (format < 0) {
    std::puts("Can't find format chunk in wave file!");
    format = kLastProbeOffset;
  }
  const int channels = static_cast<int>(ReadField(file, format + 10, 2));
  const int bits = static_cast<int>(ReadField(file, format + 22, 2));
  const uint32_t rate = ReadField(file, format + 12, 4);

  const std::optional<AudioExtent> audio = FindAudio(file);
  if (!audio) {
    std::fclose(file);
    FailNoData();
  }
  if ((bits != 16 && bits != 24) || (channels != 1 && channels != 2) || rate == 0) {
    std::fclose(file);
    Fatal(2, "Unsupported wave format in %s: %i bits, %i channels, %u Hz\n", path, bits, channels, rate);
  }
  std::fclose(file);

  const int bytes_per_sample = bits / 8;
  // A partial last frame is dropped. Frames past the 32-bit frame range
  // cannot be addressed, so a longer source is taken as that long.
  int64_t frames = (audio->end - audio->start) / (bytes_per_sample * channels);
  if (frames > INT_MAX) frames = INT_MAX;

  attributes.channels[index] = channels;
  attributes.bits[index] = bits;
  attributes.bytes_per_sample[index] = bytes_per_sample;
  attributes.rate[index] = rate;
  attributes.data_start[index] = audio->start;
  attributes.length_frames[index] = static_cast<int>(frames);
}
