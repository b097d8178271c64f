#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/audio_format.hpp"

inline constexpr int kHeaderSize = 44;
// The largest data size whose RIFF size (data size + 36) stays below 2^31.
inline constexpr int64_t kMaxDataSize = 2147483611;
// The largest RIFF size of a RIFF file; past it a destination is RF64.
inline constexpr int64_t kMaxRiffSize = 2147483647;

// The 44-byte header for a file of `frames` frames: format code 3 for
// floats, 1 for integers.
std::array<unsigned char, kHeaderSize> HeaderBytes(const AudioFormat& format, int64_t frames);

// What a destination holds around its samples. Without chunks of its own it
// is the 44-byte header (the default many readers rely on).
struct DestinationLayout {
  AudioFormat format;
  int64_t frames = 0;
  std::vector<unsigned char> format_body{};  // the format chunk's body; empty: the 16-byte PCM one
  std::vector<unsigned char> before_data{};  // whole chunks between the format chunk and the data chunk
  std::vector<unsigned char> after_data{};   // whole chunks after the data chunk and its pad byte
};

// The RIFF size the destination would have as a RIFF file; past kMaxRiffSize
// it is written as RF64.
int64_t RiffSize(const DestinationLayout& layout);
bool IsRf64(const DestinationLayout& layout);

// The bytes before the samples: "RIFF" (or "RF64" with a ds64 chunk first),
// the format chunk, the chunks before the data, the data chunk's header.
std::vector<unsigned char> DestinationHeader(const DestinationLayout& layout);

// Where the samples start: the size of that header.
int64_t SamplesStart(const DestinationLayout& layout);

// The channel mask of the destination's format chunk: nothing for the
// classic one, which has none.
std::optional<uint32_t> ChannelMaskOf(const DestinationLayout& layout);

// Where the body of the first chunk of this tag among the chunks before the
// data lies in the destination's file; nothing without one.
std::optional<int64_t> BodyBeforeData(const DestinationLayout& layout, const char* tag);

// The bytes after the samples: a pad byte after an odd data chunk when
// chunks follow, then those chunks.
std::vector<unsigned char> DestinationTrailer(const DestinationLayout& layout);

// A chunk: its tag, its size and its body, and a pad byte after an odd body.
std::vector<unsigned char> ChunkBytes(const char* tag, const std::vector<unsigned char>& body);

// Creates (or empties) the file at path and writes the header; the data area
// is written afterwards. False when the file cannot be created or written.
bool WriteHeader(const char* path, const AudioFormat& format, int64_t frames);

// Little-endian fields into a byte vector.
void AppendLittle16(std::vector<unsigned char>& out, uint32_t value);
void AppendLittle32(std::vector<unsigned char>& out, uint32_t value);
void AppendLittle64(std::vector<unsigned char>& out, uint64_t value);
void AppendTag(std::vector<unsigned char>& out, const char* tag);
