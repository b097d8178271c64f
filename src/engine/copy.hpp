#pragma once

#include <cstdint>
#include <memory>

#include "common/audio_format.hpp"
#include "dsp/cpu.hpp"
#include "io/file.hpp"
#include "wav/chunk.hpp"

// What copies keep from one to the next: a pipe through which plain copies
// move pages inside the system, and a buffer for copies that change their
// level. Made at the first copy that needs them.
struct CopyScratch {
  FileHandle pipe_out;  // the pipe's read end
  FileHandle pipe_in;   // its write end
  int pipe_state = 0;   // 0 not tried yet, 1 usable, -1 not to be used
  std::unique_ptr<unsigned char[]> buffer;
};

// A run of frames to copy from a source into a destination.
struct FrameCopy {
  int to_frame = 0;    // first destination frame written
  int from_frame = 0;  // first source frame read
  int count = 0;       // frames; nothing is copied for 0 or fewer
  double level_db = 0.0;
  InstructionSet instructions = InstructionSet::kPortable;  // for the level change
};

// Copies the frames, changing their level when it is not zero; returns how
// many integer results the level clipped. Frames the source cannot deliver
// (it was cut short since it was measured) are written as silence, and the
// run then ends with status 2; so does every failure.
int64_t CopyFrames(const OpenAudio& destination, const OpenAudio& source, const AudioFormat& format,
                   const FrameCopy& copy, CopyScratch& scratch);
