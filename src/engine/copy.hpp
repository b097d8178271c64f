#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/audio_format.hpp"
#include "dsp/cpu.hpp"
#include "io/blocks.hpp"
#include "io/file.hpp"
#include "wav/chunk.hpp"

// Whether the run's plain copies share blocks with their sources (see
// io/blocks.hpp), decided by the first that tries.
struct BlockSharing {
  int64_t block = 0;     // the destination's block size; 0: no sharing
  uint64_t device = 0;   // the destination's device: only sources there can share
  int state = 0;         // 0 not tried yet, 1 shares, -1 refused for this run
  bool reserved = true;  // whether the destination's data area has its blocks reserved
  int64_t shared = 0;    // bytes shared so far
};

// What copies keep from one to the next: a pipe through which plain copies
// move pages inside the system, a buffer for copies that change their
// level, and whether blocks are shared. Made at the first copy that needs
// them.
struct CopyScratch {
  BlockSharing sharing;
  FileHandle pipe_out;  // the pipe's read end
  FileHandle pipe_in;   // its write end
  int pipe_state = 0;   // 0 not tried yet, 1 usable, -1 not to be used
  std::unique_ptr<unsigned char[]> buffer;
  // For copies through the mix: what lies under, the mixed result, weights.
  std::unique_ptr<unsigned char[]> under;
  std::unique_ptr<unsigned char[]> mixed;
  std::vector<double> w_out;
  std::vector<double> w_in;
};

// A run of frames to copy from a source into a destination.
struct FrameCopy {
  int to_frame = 0;    // first destination frame written
  int from_frame = 0;  // first source frame read
  int count = 0;       // frames; nothing is copied for 0 or fewer
  double level_db = 0.0;
  InstructionSet instructions = InstructionSet::kPortable;  // for the level change
  bool share = false;  // a plain copy may share the source's blocks (nothing overwrites it at once)
};

// How an entry's frames are shaped on their way in: for frame i of the
// entry, the envelope e(i) of its fades (a quarter sine, as the crossfade's
// curve 1), the incoming weight e(i) x gain and, laid over what lies under,
// the weight 1 + (under_gain - 1) e(i) of what lies there (silence under an
// entry that is not laid over anything).
struct Shape {
  int first = 0;   // the entry's frame number of the copy's first frame
  int frames = 0;  // the entry's frames: the fade-out counts back from there
  int fade_in = 0;
  int fade_out = 0;
  double gain = 1.0;
  bool over = false;
  double under_gain = 1.0;
};

// Copies the frames through the mix, as the shape says; returns how many
// integer results were clipped. Failures end the run as for CopyFrames.
int64_t ShapeFrames(const OpenAudio& destination, const OpenAudio& source, const AudioFormat& format,
                    const FrameCopy& copy, const Shape& shape, CopyScratch& scratch);

// Copies the frames, changing their level when it is not zero; returns how
// many integer results the level clipped. Frames the source cannot deliver
// (it was cut short since it was measured) are written as silence, and the
// run then ends with status 2; so does every failure.
int64_t CopyFrames(const OpenAudio& destination, const OpenAudio& source, const AudioFormat& format,
                   const FrameCopy& copy, CopyScratch& scratch);
