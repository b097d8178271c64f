#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/audio_format.hpp"
#include "dsp/cpu.hpp"
#include "io/blocks.hpp"
#include "io/file.hpp"
#include "io/mapping.hpp"
#include "io/write_ring.hpp"
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
// move pages inside the system, the stage through which copies that change
// their samples are written, and whether blocks are shared. Made at the
// first copy that needs them.
struct CopyScratch {
  BlockSharing sharing;
  FileHandle pipe_out;                     // the pipe's read end
  FileHandle pipe_in;                      // its write end
  int pipe_state = 0;                      // 0 not tried yet, 1 usable, -1 not to be used
  std::unique_ptr<unsigned char[]> stage;  // kWriteSlots slots
  // Where the stage's writes go on while the next bytes are made; gone
  // before the stage (it waits for every write).
  WriteRingHandle ring;
  int ring_state = 0;  // 0 not tried yet, 1 usable, -1 none to be had
  // For copies through the mix: the incoming frames where they are read,
  // what lies under, weights.
  std::unique_ptr<unsigned char[]> incoming;
  std::unique_ptr<unsigned char[]> under;
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

// A copy that changes the samples, made run by run. Each run of the source
// (read where it lies in a bounded window mapped into memory, when the copy
// is long; read into the stage otherwise) is scaled or mixed into the
// stage's slot, which goes to the destination in writes that start and end
// on multiples of a power of two in the file (the system then keeps the
// written pages in larger pieces, and the writes cost half as much as
// writes of the same size elsewhere); a long copy hands them to the I/O ring
// and fills the other slot meanwhile. Frames the source cannot deliver (it
// was cut short since it was measured) are silence, and `whole` then turns
// false.
struct StagedCopy {
  OpenAudio destination;
  OpenAudio source;
  AudioFormat format;
  InstructionSet instructions = InstructionSet::kPortable;
  double level_db = 0.0;                 // with no shape: 0 copies the bytes as they are
  const Shape* shape = nullptr;          // copies through the mix, as it says
  int64_t shaped = 0;                    // the shape's frames done
  int64_t from = 0;                      // the source's offset of the next run
  int64_t remaining = 0;                 // bytes still to make
  int64_t stage_at = 0;                  // the destination's offset of the current slot's first byte
  int64_t pending = 0;                   // bytes in the current slot not written yet
  int slot = 0;                          // the slot that fills
  int64_t slot_at[kWriteSlots] = {};     // where each slot's writes in flight go
  int64_t slot_bytes[kWriteSlots] = {};  // their bytes; 0: none in flight
  bool started = false;
  bool rings = false;  // the writes go through the ring
  bool maps = false;   // whether the source is read where it lies
  MappedWindow window;
  int64_t window_used = 0;  // the end of what was read from the window
  bool whole = true;
  int64_t clipped = 0;
};

// A copy at a level (or none) of the frames, run by run. The same bytes may
// be the source and the destination (destination frames changed in place):
// every run is read before anything is written over it.
StagedCopy StartStagedCopy(const OpenAudio& destination, const OpenAudio& source, const AudioFormat& format,
                           const FrameCopy& copy);

// A pass over a file's first `frames` frames at a level, in place: the
// staged copy of those frames onto themselves.
StagedCopy StartStagedPass(const OpenAudio& file, const AudioFormat& format, int64_t frames, double level_db,
                           InstructionSet instructions);

// Makes the next run into the stage, after writing out the slot it filled
// up to its boundary. Returns the run's results, whole frames, valid until
// the next call (a pass that measures what it writes looks at them there);
// nothing once every byte is written and every write done. A write that
// fails ends the run with status 2.
std::span<const unsigned char> NextStagedRun(StagedCopy& copy, CopyScratch& scratch);

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
