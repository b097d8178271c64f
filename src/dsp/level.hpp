#pragma once

#include <cstdint>
#include <span>

#include "common/audio_format.hpp"
#include "dsp/cpu.hpp"

// The gain of a level change in decibels: 10^(dB/20), exactly 1 at 0 dB.
double GainOf(double level_db);

// Scales `frames` frames of packed samples in place by level_db decibels
// (gain 10^(level/20)), every sample on its own, with the instructions
// allowed. Integers are truncated toward zero and clipped to their range;
// returns how many were clipped. Floats are rounded to the nearest float (see
// EncodeSamples) and never clipped. Formats the editor does not read are left
// unchanged. Every instruction set gives the same bytes.
int64_t ApplyLevel(std::span<unsigned char> block, const AudioFormat& format, int frames, double level_db,
                   InstructionSet instructions);

// The same from `from` into `to` (the same bytes, or bytes that do not
// overlap), which need hold only the frames: a copy at a level reads the
// source's bytes where they lie and writes its results straight into the
// bytes to be written.
int64_t ApplyLevelInto(std::span<const unsigned char> from, std::span<unsigned char> to, const AudioFormat& format,
                       int frames, double level_db, InstructionSet instructions);
