#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/wav_builder.hpp"

// Little-endian fields of a file's bytes; 0 past its end.
uint16_t Get16(const Bytes& b, uint64_t at);
uint32_t Get32(const Bytes& b, uint64_t at);
uint64_t Get64(const Bytes& b, uint64_t at);

// A reader of a WAV file's chunks written for the tests, apart from the
// program's: every chunk of a RIFF or RF64 file in order, the data chunk's
// size taken from ds64 where it says 0xFFFFFFFF.
struct FileChunk {
  std::string tag;
  uint64_t offset = 0;  // of its header
  uint64_t size = 0;    // of its body
  Bytes body;           // empty for the data chunk
};
std::vector<FileChunk> WalkChunks(const Bytes& file);

// The markers of a file: its cue points with their labels, notes and region
// lengths from LIST/adtl, in the order of the cue chunk.
struct ReadCue {
  uint32_t id = 0;
  uint32_t position = 0;
  uint32_t sample_offset = 0;
  std::string label;  // "" without one
  std::string note;
  uint32_t length = 0;  // a region's: the sample length of its "ltxt"; 0 without one
};
std::vector<ReadCue> CuePointsOf(const Bytes& file);

// A "cue " chunk with the points (position and sample offset both at
// sample_offset) and a "LIST"/"adtl" chunk with their labels, notes and
// region lengths ("ltxt" of purpose "rgn "), as editors and recorders write
// them, each point's together: chunks to place after the data.
Bytes CueChunksFor(const std::vector<ReadCue>& cues);
