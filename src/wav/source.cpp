#include "wav/source.hpp"

#include <array>
#include <climits>
#include <cstdio>
#include <optional>

#include "common/failure.hpp"
#include "wav/chunk.hpp"
#include "wav/file.hpp"

namespace {

constexpr uint32_t kFormatInteger = 1;
constexpr uint32_t kFormatFloat = 3;
constexpr uint32_t kFormatExtensible = 0xFFFE;

// Little-endian unsigned field; bytes beyond the end of the file read as 0.
uint32_t ReadField(const FileHandle& file, int64_t offset, int width) {
  std::array<unsigned char, 4> bytes{};
  ReadAt(file, offset, std::span(bytes.data(), static_cast<size_t>(width)));
  uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

SourceInfo ReadSourceFormat(const char* path) {
  const FileHandle file = OpenRegular(path, false);
  if (!file.IsOpen()) Fail(2, "Cannot find file in track list called %s!!\n", path);

  int64_t format_chunk = FindChunk(file, "fmt");
  if (format_chunk < 0) {
    // Reading goes on where the probe gave up; what lies there is usually
    // refused as a format below.
    std::puts("Can't find format chunk in wave file!");
    format_chunk = kLastProbeOffset;
  }
  SourceInfo source;
  AudioFormat& f = source.format;
  f.channels = static_cast<int>(ReadField(file, format_chunk + 10, 2));
  f.bits = static_cast<int>(ReadField(file, format_chunk + 22, 2));
  f.rate = ReadField(file, format_chunk + 12, 4);
  // Only 32 bits may be floats. An extensible chunk gives its code as the
  // first two bytes of its sub-format.
  uint32_t code = ReadField(file, format_chunk + 8, 2);
  if (code == kFormatExtensible) code = ReadField(file, format_chunk + 32, 2);
  const bool known_type = f.bits != 32 || code == kFormatInteger || code == kFormatFloat;
  if (f.bits == 32 && code == kFormatFloat) f.type = SampleType::kFloat;

  const std::optional<AudioExtent> audio = FindAudio(file);
  if (!audio) Fail(2, "%s\n", "Can't find data block in wave file!");
  if ((f.bits != 16 && f.bits != 24 && f.bits != 32) || !known_type || f.channels < 1 || f.channels > kMaxChannels ||
      f.rate == 0) {
    Fail(2, "Unsupported wave format in %s: %i bits, %i channels, %u Hz\n", path, f.bits, f.channels, f.rate);
  }
  // A partial last frame is dropped. Frames past the 32-bit frame range
  // cannot be addressed, so a longer source is taken as that long.
  const int64_t frames = (audio->end - audio->start) / FrameBytes(f);
  source.length_frames = static_cast<int>(frames > INT_MAX ? INT_MAX : frames);
  return source;
}
