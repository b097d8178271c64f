#pragma once

#include "common/audio_format.hpp"

// Writes frame_count frames of silence into the data area of the WAV file at
// path, from frame start_frame on.
void WriteSilence(const char* path, const AudioFormat& format, int start_frame, int frame_count);

// A run of frames to copy from a source into a destination.
struct FrameCopy {
  int to_frame = 0;    // first destination frame written
  int from_frame = 0;  // first source frame read
  int count = 0;       // frames; nothing is copied for 0 or fewer
  double level_db = 0.0;
};

// Copies the frames, changing their level when it is not zero. Frames the
// source cannot deliver (it was cut short since it was measured) are written
// as silence, and the run then ends with status 2. Both files must exist;
// every failure ends the run with status 2.
void CopyFrames(const char* destination_path, const char* source_path, const AudioFormat& format,
                const FrameCopy& copy);
