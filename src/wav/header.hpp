#pragma once

#include <array>
#include <cstdint>

#include "common/audio_format.hpp"

inline constexpr int kHeaderSize = 44;
// The largest data size whose RIFF size (data size + 36) stays below 2^31.
inline constexpr int64_t kMaxDataSize = 2147483611;

// The 44-byte header for a file of `frames` frames: format code 3 for
// floats, 1 for integers.
std::array<unsigned char, kHeaderSize> HeaderBytes(const AudioFormat& format, int64_t frames);

// Creates (or empties) the file at path and writes the header; the data area
// is written afterwards. Ends the run with status 2 when the file cannot be
// created or written.
void WriteHeader(const char* path, const AudioFormat& format, int64_t frames);
