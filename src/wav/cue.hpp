#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// A marker in a WAV file: a "cue " point at a frame of the samples, with its
// label ("labl"), note ("note") and, for a region, its length ("ltxt") in the
// "LIST"/"adtl" chunk.
struct CuePoint {
  int64_t frame = 0;
  int64_t length = 0;  // frames; 0: a point
  bool has_label = false;
  std::string label{};
  bool has_note = false;
  std::string note{};
};

// The "cue " chunk with one point per marker, ids 1, 2, ... in the order
// given, each at its frame of the data chunk, and the "LIST" chunk of type
// "adtl" with their labels, then their notes, then the regions' lengths, each
// in id order (empty without markers).
std::vector<unsigned char> CueChunks(std::span<const CuePoint> points);
