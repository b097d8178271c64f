#pragma once

#include "common/audio_format.hpp"

// What a run needs to know of a source file.
struct SourceInfo {
  AudioFormat format;
  int length_frames = 0;  // whole frames of samples, at most 2^31 - 1
};

// Reads the format and length of the source at path. Ends the run with
// status 2 when the file cannot be read, has no data chunk, or is a format
// the editor cannot process: it takes integers of 16, 24 or 32 bits and
// floats of 32 bits, 1 to 8 channels, a rate other than 0.
SourceInfo ReadSourceFormat(const char* path);
