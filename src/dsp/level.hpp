#pragma once

#include <span>

// Scales n frames of packed samples in place by level_db decibels
// (gain 10^(level/20)), truncating toward zero and wrapping instead of
// clipping. Formats other than 2/3 bytes per sample and 1/2 channels are left
// unchanged.
void ApplyLevel(std::span<unsigned char> block, int bytes_per_sample, int channels, int n, double level_db);

// The same change without processor-specific instructions. ApplyLevel uses it
// where the processor lacks byte shuffles (SSSE3); tests compare the two.
void ApplyLevelPortable(std::span<unsigned char> block, int bytes_per_sample, int channels, int n, double level_db);
