#pragma once

#include "common/audio_format.hpp"

// What a run needs to know of a source file.
struct SourceInfo {
  AudioFormat format;
  int length_frames = 0;  // whole frames of samples, at most 2^31 - 1
};

// Reads the format and length of the source at path. Ends the run with
// status 2 when the file cannot be read, has no data chunk, or is a format
// the editor cannot process (other than 16/24 bits, 1/2 channels, a
// non-zero rate).
SourceInfo ReadSourceFormat(const char* path);
