#pragma once

#include <cstdint>
#include <optional>

#include "common/audio_format.hpp"
#include "io/file.hpp"
#include "wav/chunk.hpp"

// What a run needs to know of a source file.
struct SourceInfo {
  AudioFormat format;
  int length_frames = 0;  // whole frames of samples, at most 2^31 - 1
  AudioExtent audio;      // where the samples lie
  // The channel mask of a WAVE_FORMAT_EXTENSIBLE format chunk (the positions
  // of its channels); nothing for a classic one.
  std::optional<uint32_t> channel_mask;
};

// What a file's start says of its samples: its format, and whether it is one
// the editor processes (integers of 16, 24 or 32 bits or floats of 32 bits,
// 1 to 8 channels, a rate other than 0). Without a format chunk the fields
// are read where the probe gave up.
struct FormatRead {
  SourceInfo info;  // length and audio only with data and a supported format
  bool has_format = false;
  bool has_data = false;
  bool supported = false;
};
FormatRead ReadFormat(const FileHandle& file, int64_t file_size);
