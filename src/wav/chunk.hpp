#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "io/file.hpp"

// Little-endian fields of a file's bytes.
uint16_t Little16(const unsigned char* at);
uint32_t Little32(const unsigned char* at);
uint64_t Little64(const unsigned char* at);

// The last offset the fallback probe looks at.
inline constexpr int64_t kLastProbeOffset = 131072;

// Chunks are found by their tags. A file with a RIFF, RF64 or BW64 header is
// walked chunk by chunk from offset 12, following the size fields; a file
// without one, or a walk that leaves the file without a match, is probed at
// the even offsets 2 to 131,072 for the tag's bytes. The format chunk is
// looked for by its three letters "fmt".

// Where a file's samples lie: bytes [start, end).
struct AudioExtent {
  int64_t start = 0;
  int64_t end = 0;
};

// An open WAV file, where its samples lie, and its name for messages.
struct OpenAudio {
  const FileHandle* file = nullptr;
  AudioExtent audio;
  const char* name = "";
};

// The extent of the "data" chunk, or nothing without one. A chunk found by
// the walk ends where its size says (the 64-bit size of a ds64 chunk for an
// RF64/BW64 size of 0xFFFFFFFF); a size of 0, one that runs past the end of
// the file, and a chunk found only by the probe end at the end of the file.
// For the probe's chunk that end may lie before the start (a file that stops
// inside the chunk's size field).
std::optional<AudioExtent> FindAudio(const FileHandle& file);

// What the attribute reader takes from a file, found in one pass over its
// start where the chunks stand there: the format chunk's offset (-1 without
// one), its first bytes (from its tag to its sub-format's first two bytes;
// read at kLastProbeOffset without one, zeros past the end of the file), and
// where the samples lie.
struct WavLayout {
  int64_t format_chunk = -1;
  std::array<unsigned char, 34> format_bytes{};
  std::optional<AudioExtent> audio;
};
WavLayout FindLayout(const FileHandle& file, int64_t file_size);

// Reads buffer.size() bytes from `offset` of a file whose audio is `audio`:
// bytes at or past the audio's end, and bytes the file cannot deliver, read
// as zeros (silence). Returns how many bytes came from the file's audio.
size_t ReadAudio(const FileHandle& file, const AudioExtent& audio, int64_t offset, std::span<unsigned char> buffer);
