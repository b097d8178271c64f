#include "wav/source.hpp"

#include <sys/stat.h>

#include <array>
#include <climits>
#include <cstdio>
#include <optional>
#include <utility>

#include "common/failure.hpp"
#include "wav/chunk.hpp"
#include "wav/file.hpp"

namespace {

constexpr uint32_t kFormatInteger = 1;
constexpr uint32_t kFormatFloat = 3;
constexpr uint32_t kFormatExtensible = 0xFFFE;

// The fields the reader takes from a format chunk, read at once: bytes beyond
// the end of the file read as 0.
struct FormatFields {
  std::array<unsigned char, 34> bytes{};  // from the chunk's tag to its sub-format's first two bytes

  uint32_t At(int offset, int width) const {
    uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[static_cast<size_t>(offset + i)];
    return value;
  }
};

}  // namespace

SourceFile OpenSource(const std::string& name, bool keep_open) {
  const char* path = name.c_str();
  struct stat identity {};
  FileHandle file = OpenRegular(path, false, &identity);
  if (!file.IsOpen()) Fail(2, "Cannot find file in track list called %s!!\n", path);

  const WavLayout layout = FindLayout(file, identity.st_size);
  if (layout.format_chunk < 0) {
    // Reading goes on where the probe gave up; what lies there is usually
    // refused as a format below.
    std::puts("Can't find format chunk in wave file!");
  }
  FormatFields fields{layout.format_bytes};
  SourceInfo source;
  AudioFormat& f = source.format;
  f.channels = static_cast<int>(fields.At(10, 2));
  f.bits = static_cast<int>(fields.At(22, 2));
  f.rate = fields.At(12, 4);
  // Only 32 bits may be floats. An extensible chunk gives its code as the
  // first two bytes of its sub-format.
  uint32_t code = fields.At(8, 2);
  if (code == kFormatExtensible) code = fields.At(32, 2);
  const bool known_type = f.bits != 32 || code == kFormatInteger || code == kFormatFloat;
  if (f.bits == 32 && code == kFormatFloat) f.type = SampleType::kFloat;

  const std::optional<AudioExtent>& audio = layout.audio;
  if (!audio) Fail(2, "%s\n", "Can't find data block in wave file!");
  if ((f.bits != 16 && f.bits != 24 && f.bits != 32) || !known_type || f.channels < 1 || f.channels > kMaxChannels ||
      f.rate == 0) {
    Fail(2, "Unsupported wave format in %s: %i bits, %i channels, %u Hz\n", path, f.bits, f.channels, f.rate);
  }
  // A partial last frame is dropped. Frames past the 32-bit frame range
  // cannot be addressed, so a longer source is taken as that long.
  const int64_t frames = (audio->end - audio->start) / FrameBytes(f);
  source.length_frames = static_cast<int>(frames > INT_MAX ? INT_MAX : frames);
  source.audio = *audio;

  SourceFile kept{.name = name, .file = FileHandle(), .info = source, .audio = audio, .identity = {}};
  if (keep_open) {
    kept.file = std::move(file);
    kept.identity = IdentityOf(identity);
  }
  return kept;
}

SourceInfo ReadSourceFormat(const char* path) { return OpenSource(path, false).info; }

bool RefreshSource(SourceFile& source) {
  struct stat named {};
  if (stat(source.name.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return false;
  if (source.file.IsOpen() && IdentityOf(named) == source.identity) return true;
  struct stat opened {};
  source.file = OpenRegular(source.name.c_str(), false, &opened);
  if (!source.file.IsOpen()) return false;
  source.identity = IdentityOf(opened);
  source.audio = FindAudio(source.file);
  return true;
}

OpenAudio SourceAudio(const SourceFile& source) {
  return OpenAudio{.file = &source.file, .audio = source.audio.value_or(AudioExtent{}), .name = source.name.c_str()};
}
