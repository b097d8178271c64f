#include "wav/chunk.hpp"

#include <array>
#include <cstring>
#include <span>

uint16_t Little16(const unsigned char* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

uint32_t Little32(const unsigned char* at) {
  return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

uint64_t Little64(const unsigned char* at) { return uint64_t{Little32(at)} | uint64_t{Little32(at + 4)} << 32; }

namespace {

constexpr uint32_t kSizeFromDs64 = 0xFFFFFFFFU;

// Bytes of the file read forward through one window, so that a walk over
// many small chunks costs a read per window rather than one per chunk.
struct ForwardReader {
  const FileHandle& file;
  std::array<unsigned char, 4096> window{};
  int64_t base = 0;  // file offset of window[0]
  int64_t have = 0;  // bytes valid in the window

  // The `count` bytes at `offset`, or nullptr when the file ends before them.
  const unsigned char* At(int64_t offset, int64_t count) {
    if (offset < base || offset + count > base + have) {
      base = offset;
      have = static_cast<int64_t>(ReadAt(file, base, window));
      if (count > have) return nullptr;
    }
    return &window[static_cast<size_t>(offset - base)];
  }
};

bool IsWaveHeader(const unsigned char* head) {
  const bool container =
      std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "RF64", 4) == 0 || std::memcmp(head, "BW64", 4) == 0;
  return container && std::memcmp(head + 8, "WAVE", 4) == 0;
}

struct Found {
  int64_t offset = -1;
  bool walked = false;
  uint32_t size = 0;  // the chunk's size field, when the walk found it
  int64_t file_size = 0;
};

// Follows the chunk sizes from offset 12; -1 when the walk leaves the file
// without meeting the tag. Offsets are 64-bit: a size near 2^32 moves past
// the end of the file instead of wrapping.
int64_t Walk(ForwardReader& reader, int64_t file_size, std::string_view tag) {
  for (int64_t p = 12; p + 8 <= file_size;) {
    const unsigned char* chunk = reader.At(p, 8);
    if (chunk == nullptr) return -1;  // the file shrank under us
    if (std::memcmp(chunk, tag.data(), tag.size()) == 0) return p;
    const uint32_t size = Little32(chunk + 4);
    p += 8 + int64_t{size} + (size & 1U);
  }
  return -1;
}

// The tag's bytes at the first even offset from 2 to 131,072; a tag cut by
// the end of the file does not match.
int64_t Probe(ForwardReader& reader, std::string_view tag) {
  const auto length = static_cast<int64_t>(tag.size());
  for (int64_t k = 2; k <= kLastProbeOffset; k += 2) {
    const unsigned char* at = reader.At(k, length);
    if (at == nullptr) return -1;
    if (std::memcmp(at, tag.data(), tag.size()) == 0) return k;
  }
  return -1;
}

Found Locate(ForwardReader& reader, int64_t file_size, std::string_view tag) {
  const unsigned char* head = reader.At(0, 12);
  if (head != nullptr && IsWaveHeader(head)) {
    const int64_t offset = Walk(reader, file_size, tag);
    // The walk read the chunk's header; it is still in the window.
    const unsigned char* chunk = offset >= 0 ? reader.At(offset, 8) : nullptr;
    if (chunk != nullptr) return {offset, true, Little32(chunk + 4), file_size};
  }
  return {Probe(reader, tag), false, 0, file_size};
}

Found Locate(const FileHandle& file, std::string_view tag) {
  ForwardReader reader{file};
  return Locate(reader, FileSize(file), tag);
}

std::optional<AudioExtent> AudioOf(const FileHandle& file, const Found& data) {
  if (data.offset < 0) return std::nullopt;
  const int64_t file_size = data.file_size;
  const AudioExtent whole_file{data.offset + 8, file_size};
  if (!data.walked) return whole_file;

  uint64_t size = data.size;
  std::array<unsigned char, 36> head{};
  if (size == kSizeFromDs64 && ReadAt(file, 0, head) == head.size() &&
      (std::memcmp(head.data(), "RF64", 4) == 0 || std::memcmp(head.data(), "BW64", 4) == 0) &&
      std::memcmp(&head[12], "ds64", 4) == 0 && Little32(&head[16]) >= 16) {
    size = Little64(&head[28]);
  }
  // An unfinished recording says 0; a size past the end cannot be believed.
  if (size == 0 || size > static_cast<uint64_t>(file_size - whole_file.start)) return whole_file;
  return AudioExtent{whole_file.start, whole_file.start + static_cast<int64_t>(size)};
}

}  // namespace

std::optional<AudioExtent> FindAudio(const FileHandle& file) { return AudioOf(file, Locate(file, "data")); }

WavLayout FindLayout(const FileHandle& file, int64_t file_size) {
  ForwardReader reader{file};
  WavLayout layout;
  layout.format_chunk = Locate(reader, file_size, "fmt").offset;
  const int64_t fields_at = layout.format_chunk >= 0 ? layout.format_chunk : kLastProbeOffset;
  const auto count = static_cast<int64_t>(layout.format_bytes.size());
  if (const unsigned char* fields = reader.At(fields_at, count)) {
    std::memcpy(layout.format_bytes.data(), fields, layout.format_bytes.size());
  } else {
    ReadAt(file, fields_at, layout.format_bytes);  // what the file holds of them; the rest stays zeros
  }
  layout.audio = AudioOf(file, Locate(reader, file_size, "data"));
  return layout;
}

size_t ReadAudio(const FileHandle& file, const AudioExtent& audio, int64_t offset, std::span<unsigned char> buffer) {
  const int64_t available = audio.end - offset;
  const size_t wanted =
      available <= 0
          ? 0
          : (static_cast<uint64_t>(available) < buffer.size() ? static_cast<size_t>(available) : buffer.size());
  const size_t got = ReadAt(file, offset, buffer.first(wanted));
  std::memset(buffer.data() + got, 0, buffer.size() - got);
  return got;
}
