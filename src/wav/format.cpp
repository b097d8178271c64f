#include "wav/format.hpp"

#include <array>
#include <climits>

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
  // Its extension (from the valid bits on) is there when the chunk's size
  // holds it.
  if (code == kFormatExtensible && fields.At(4, 4) >= 40) read.info.channel_mask = fields.At(28, 4);
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
