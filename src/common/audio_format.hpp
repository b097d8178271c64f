#pragma once

#include <cstdint>

// How a sample's bits are read: 16 and 24 bits are always integers, 32 bits
// integers or IEEE floats.
enum class SampleType { kInteger, kFloat };

// The most channels a file may have.
inline constexpr int kMaxChannels = 8;

// The format of a file's samples: every source of a run shares one, and the
// destination and the crossfade work file take it.
struct AudioFormat {
  uint32_t rate = 44100;  // frames per second
  int bits = 16;          // per sample
  int channels = 2;
  SampleType type = SampleType::kInteger;
  bool operator==(const AudioFormat&) const = default;
};

inline int BytesPerSample(const AudioFormat& format) { return format.bits / 8; }

// Bytes of one frame: one sample for every channel.
inline int64_t FrameBytes(const AudioFormat& format) { return int64_t{BytesPerSample(format)} * format.channels; }
