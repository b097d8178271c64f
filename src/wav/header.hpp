#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/audio_format.hpp"

inline constexpr int kHeaderSize = 44;
// The largest data size whose RIFF size (data size + 36) stays below 2^31.
inline constexpr int64_t kMaxDataSize = 2147483611;

// The 44-byte header for a file of `frames` frames: format code 3 for
// floats, 1 for integers.
std::array<unsigned char, kHeaderSize> HeaderBytes(const AudioFormat& format, int64_t frames);

// The RF64 header of a destination whose data passes kMaxDataSize: its
// sizes in a ds64 chunk as 64-bit values, the same format chunk, and the
// samples from offset 80.
inline constexpr int kRf64HeaderSize = 80;

// The header of a destination of `frames` frames: the 44-byte one while the
// data fits it, the RF64 one beyond.
std::vector<unsigned char> DestinationHeader(const AudioFormat& format, int64_t frames);

// Creates (or empties) the file at path and writes the header; the data area
// is written afterwards. False when the file cannot be created or written.
bool WriteHeader(const char* path, const AudioFormat& format, int64_t frames);
