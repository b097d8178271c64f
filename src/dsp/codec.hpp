#pragma once

#include <cstdint>
#include <span>

#include "common/audio_format.hpp"

// Packed little-endian samples as a WAV data chunk holds them, interleaved,
// <-> doubles on the scale the sample arithmetic works on. Every supported
// sample converts to a double exactly:
// - 16-bit integers as their value times 256 (the 24-bit scale, so that the
//   arithmetic of 16 and 24 bits is the same);
// - 24-bit and 32-bit integers as their values;
// - 32-bit floats widened.

// Reads samples.size() samples.
void DecodeSamples(std::span<const unsigned char> bytes, const AudioFormat& format, std::span<double> samples);

// Writes values.size() samples, and nothing beyond them. Integers are
// truncated toward zero (16-bit ones after 1/256 brings them back to their
// own scale) and a value beyond the sample range is clipped to it; returns how
// many were. Floats are rounded to the nearest float; beyond the float range
// they become infinities, and NaN stays NaN.
int64_t EncodeSamples(std::span<const double> values, const AudioFormat& format, std::span<unsigned char> bytes);
