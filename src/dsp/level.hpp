#pragma once

#include <cstdint>
#include <span>

#include "common/audio_format.hpp"

// Scales `frames` frames of packed samples in place by level_db decibels
// (gain 10^(level/20)), every sample on its own. Integers are truncated
// toward zero and clipped to their range; returns how many were clipped.
// Floats are rounded to the nearest float (see EncodeSamples) and never
// clipped. Formats the editor does not read are left unchanged.
int64_t ApplyLevel(std::span<unsigned char> block, const AudioFormat& format, int frames, double level_db);

// The same change without processor-specific instructions. ApplyLevel uses it
// where the processor lacks byte shuffles (SSSE3); tests compare the two.
int64_t ApplyLevelPortable(std::span<unsigned char> block, const AudioFormat& format, int frames, double level_db);
