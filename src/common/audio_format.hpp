#pragma once

#include <cstdint>

// The format of a file's samples: every source of a run shares one, and the
// destination and the crossfade work file take it.
struct AudioFormat {
  uint32_t rate = 44100;  // frames per second
  int bits = 16;          // per sample
  int channels = 2;
};

inline int BytesPerSample(const AudioFormat& format) { return format.bits / 8; }

// Bytes of one frame: one sample for every channel.
inline int64_t FrameBytes(const AudioFormat& format) { return int64_t{BytesPerSample(format)} * format.channels; }
