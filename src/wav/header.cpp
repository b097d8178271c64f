#include "wav/header.hpp"

#include <cstring>

#include "io/file.hpp"

namespace {

constexpr uint32_t kFormatInteger = 1;
constexpr uint32_t kFormatFloat = 3;

void Put16(unsigned char* at, uint32_t value) {
  at[0] = static_cast<unsigned char>(value & 0xFFU);
  at[1] = static_cast<unsigned char>((value >> 8) & 0xFFU);
}

void Put32(unsigned char* at, uint32_t value) {
  Put16(at, value & 0xFFFFU);
  Put16(at + 2, value >> 16);
}

constexpr uint32_t kSizeInDs64 = 0xFFFFFFFFU;

}  // namespace

std::array<unsigned char, kHeaderSize> HeaderBytes(const AudioFormat& format, int64_t frames) {
  // Sizes are formed in 64 bits and stored as their low 32: the plan keeps the
  // destination's data size within range before it asks for a header.
  const auto bits = static_cast<uint64_t>(format.bits);
  const auto channels = static_cast<uint64_t>(format.channels);
  const uint64_t bytes_per_sample = bits / 8;
  const uint64_t data_size = static_cast<uint64_t>(frames < 0 ? 0 : frames) * bytes_per_sample * channels;
  const uint64_t byte_rate = uint64_t{format.rate} * bytes_per_sample * channels;
  const uint64_t block_align = channels * bits / 8;

  std::array<unsigned char, kHeaderSize> h{};
  std::memcpy(&h[0], "RIFF", 4);
  Put32(&h[4], static_cast<uint32_t>(data_size + 36));
  std::memcpy(&h[8], "WAVE", 4);
  std::memcpy(&h[12], "fmt ", 4);
  Put32(&h[16], 16);
  Put16(&h[20], format.type == SampleType::kFloat ? kFormatFloat : kFormatInteger);
  Put16(&h[22], static_cast<uint32_t>(channels));
  Put32(&h[24], format.rate);
  Put32(&h[28], static_cast<uint32_t>(byte_rate));
  Put16(&h[32], static_cast<uint32_t>(block_align));
  Put16(&h[34], static_cast<uint32_t>(bits));
  std::memcpy(&h[36], "data", 4);
  Put32(&h[40], static_cast<uint32_t>(data_size));
  return h;
}

void AppendLittle16(std::vector<unsigned char>& out, uint32_t value) {
  out.push_back(static_cast<unsigned char>(value & 0xFFU));
  out.push_back(static_cast<unsigned char>((value >> 8) & 0xFFU));
}

void AppendLittle32(std::vector<unsigned char>& out, uint32_t value) {
  AppendLittle16(out, value & 0xFFFFU);
  AppendLittle16(out, value >> 16);
}

void AppendLittle64(std::vector<unsigned char>& out, uint64_t value) {
  AppendLittle32(out, static_cast<uint32_t>(value));
  AppendLittle32(out, static_cast<uint32_t>(value >> 32));
}

void AppendTag(std::vector<unsigned char>& out, const char* tag) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(tag[i]));
}

std::vector<unsigned char> ChunkBytes(const char* tag, const std::vector<unsigned char>& body) {
  std::vector<unsigned char> chunk;
  AppendTag(chunk, tag);
  AppendLittle32(chunk, static_cast<uint32_t>(body.size()));
  chunk.insert(chunk.end(), body.begin(), body.end());
  if (body.size() % 2 != 0) chunk.push_back(0);
  return chunk;
}

namespace {

int64_t DataSize(const DestinationLayout& layout) {
  return (layout.frames < 0 ? 0 : layout.frames) * FrameBytes(layout.format);
}

// The pad byte that keeps the chunks after an odd data chunk word-aligned.
int64_t DataPad(const DestinationLayout& layout) {
  return !layout.after_data.empty() && DataSize(layout) % 2 != 0 ? 1 : 0;
}

std::vector<unsigned char> FormatChunk(const DestinationLayout& layout) {
  if (!layout.format_body.empty()) return ChunkBytes("fmt ", layout.format_body);
  const auto header = HeaderBytes(layout.format, 0);
  return {header.begin() + 12, header.begin() + 36};
}

}  // namespace

int64_t RiffSize(const DestinationLayout& layout) {
  return 4 + static_cast<int64_t>(FormatChunk(layout).size() + layout.before_data.size()) + 8 + DataSize(layout) +
         DataPad(layout) + static_cast<int64_t>(layout.after_data.size());
}

bool IsRf64(const DestinationLayout& layout) { return RiffSize(layout) > kMaxRiffSize; }

std::vector<unsigned char> DestinationHeader(const DestinationLayout& layout) {
  const uint64_t data_size = static_cast<uint64_t>(DataSize(layout));
  const std::vector<unsigned char> format = FormatChunk(layout);
  std::vector<unsigned char> h;
  if (!IsRf64(layout)) {
    AppendTag(h, "RIFF");
    AppendLittle32(h, static_cast<uint32_t>(RiffSize(layout)));
    AppendTag(h, "WAVE");
  } else {
    // The sizes move into a ds64 chunk: the RIFF size then counts that
    // chunk too.
    AppendTag(h, "RF64");
    AppendLittle32(h, kSizeInDs64);
    AppendTag(h, "WAVE");
    AppendTag(h, "ds64");
    AppendLittle32(h, 28);
    AppendLittle64(h, static_cast<uint64_t>(RiffSize(layout)) + 36);
    AppendLittle64(h, data_size);
    AppendLittle64(h, static_cast<uint64_t>(layout.frames));
    AppendLittle32(h, 0);  // no table of other chunk sizes
  }
  h.insert(h.end(), format.begin(), format.end());
  h.insert(h.end(), layout.before_data.begin(), layout.before_data.end());
  AppendTag(h, "data");
  AppendLittle32(h, IsRf64(layout) ? kSizeInDs64 : static_cast<uint32_t>(data_size));
  return h;
}

int64_t SamplesStart(const DestinationLayout& layout) { return static_cast<int64_t>(DestinationHeader(layout).size()); }

std::optional<uint32_t> ChannelMaskOf(const DestinationLayout& layout) {
  const std::vector<unsigned char>& body = layout.format_body;
  if (body.size() < 24 || body[0] != 0xFE || body[1] != 0xFF) return std::nullopt;
  return uint32_t{body[20]} | uint32_t{body[21]} << 8 | uint32_t{body[22]} << 16 | uint32_t{body[23]} << 24;
}

std::optional<int64_t> BodyBeforeData(const DestinationLayout& layout, const char* tag) {
  const std::vector<unsigned char>& chunks = layout.before_data;
  // They end right before the data chunk's 8-byte header.
  const int64_t first = SamplesStart(layout) - 8 - static_cast<int64_t>(chunks.size());
  for (size_t at = 0; at + 8 <= chunks.size();) {
    const uint64_t size = uint64_t{chunks[at + 4]} | uint64_t{chunks[at + 5]} << 8 | uint64_t{chunks[at + 6]} << 16 |
                          uint64_t{chunks[at + 7]} << 24;
    if (std::memcmp(&chunks[at], tag, 4) == 0) return first + static_cast<int64_t>(at) + 8;
    at += 8 + size + (size & 1);
  }
  return std::nullopt;
}

std::vector<unsigned char> DestinationTrailer(const DestinationLayout& layout) {
  std::vector<unsigned char> trailer = layout.after_data;
  if (DataPad(layout) != 0) trailer.insert(trailer.begin(), 0);
  return trailer;
}

bool WriteHeader(const char* path, const AudioFormat& format, int64_t frames) {
  FileHandle file = CreateEmpty(path);
  const auto header = HeaderBytes(format, frames);
  return file.IsOpen() && WriteAt(file, 0, header) && CloseWritten(file);
}
