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


// What a file's start says of its samples.
struct FormatRead {
  SourceInfo info;
  bool has_format = false;
  bool has_data = false;
  bool supported = false;
};

FormatRead ReadFormat(const FileHandle& file, int64_t size) {
  const WavLayout layout = FindLayout(file, size);
  FormatRead read;
  read.has_format = layout.format_chunk >= 0;
  FormatFields fields{layout.format_bytes};
  AudioFormat& f = read.info.format;
  f.channels = static_cast<int>(fields.At(10, 2));
  f.bits = static_cast<int>(fields.At(22, 2));
  f.rate = fields.At(12, 4);
  // Only 32 bits may be floats. An extensible chunk gives its code as the
  // first two bytes of its sub-format.
  uint32_t code = fields.At(8, 2);
  if (code == kFormatExtensible) code = fields.At(32, 2);
  const bool known_type = f.bits != 32 || code == kFormatInteger || code == kFormatFloat;
  if (f.bits == 32 && code == kFormatFloat) f.type = SampleType::kFloat;
  read.supported = (f.bits == 16 || f.bits == 24 || f.bits == 32) && known_type && f.channels >= 1 &&
                   f.channels <= kMaxChannels && f.rate != 0;
  read.has_data = layout.audio.has_value();
  if (read.has_data && read.supported) {
    // A partial last frame is dropped. Frames past the 32-bit frame range
    // cannot be addressed, so a longer source is taken as that long.
    const int64_t frames = (layout.audio->end - layout.audio->start) / FrameBytes(f);
    read.info.length_frames = static_cast<int>(frames > INT_MAX ? INT_MAX : frames);
    read.info.audio = *layout.audio;
  }
  return read;
}

}  // namespace

SourceFile OpenSource(const std::string& name) {
  const char* path = name.c_str();
  struct stat status {};
  FileHandle file = OpenRegular(path, false, &status);
  if (!file.IsOpen()) Fail(2, "Cannot find file in track list called %s!!\n", path);

  const FormatRead read = ReadFormat(file, status.st_size);
  // Reading goes on where the probe gave up; what lies there is usually
  // refused as a format below.
  if (!read.has_format) std::puts("Can't find format chunk in wave file!");
  if (!read.has_data) Fail(2, "%s\n", "Can't find data block in wave file!");
  const AudioFormat& f = read.info.format;
  if (!read.supported) {
    Fail(2, "Unsupported wave format in %s: %i bits, %i channels, %u Hz\n", path, f.bits, f.channels, f.rate);
  }
  return SourceFile{.name = name, .file = FileHandle(), .info = read.info, .identity = IdentityOf(status),
                    .size = status.st_size};
}

SourceInfo ReadSourceFormat(const char* path) { return OpenSource(path).info; }

SourceState ReopenSource(SourceFile& source) {
  struct stat named {};
  if (stat(source.name.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return SourceState::kGone;
  if (IdentityOf(named) != source.identity || named.st_size != source.size) return SourceState::kChanged;
  if (source.file.IsOpen()) return SourceState::kReady;
  struct stat opened {};
  FileHandle file = OpenRegular(source.name.c_str(), false, &opened);
  if (!file.IsOpen()) return SourceState::kGone;
  if (IdentityOf(opened) != source.identity || opened.st_size != source.size) return SourceState::kChanged;
  // Rewritten in place with another format: the same file, not the same source.
  const FormatRead read = ReadFormat(file, opened.st_size);
  if (!read.has_data || !read.supported || read.info.format != source.info.format ||
      read.info.audio.start != source.info.audio.start || read.info.audio.end != source.info.audio.end) {
    return SourceState::kChanged;
  }
  source.file = std::move(file);
  return SourceState::kReady;
}

OpenAudio SourceAudio(const SourceFile& source) {
  return OpenAudio{.file = &source.file, .audio = source.info.audio, .name = source.name.c_str()};
}
