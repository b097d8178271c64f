#pragma once

#include <cstdint>

#include "common/audio_format.hpp"
#include "dsp/cpu.hpp"
#include "dsp/loudness.hpp"
#include "wav/chunk.hpp"

// Loudness needs every sample in order: these steps read the samples of a
// file once, front to back, in large pieces (from the page cache, where they
// were just written or read), for the meter of dsp/loudness.hpp.

// Feeds frames [from_frame, from_frame + frames) of an open file's samples to
// the meter; frames past its samples are silence. A file that delivers fewer
// of its samples than it holds (cut short meanwhile) ends the run with
// status 2.
void MeasureFrames(const OpenAudio& audio, const AudioFormat& format, int64_t from_frame, int64_t frames,
                   LoudnessMeter& meter);

// Scales the first `frames` frames of a file's samples in place by level_db
// decibels, exactly as a level change of a copy scales them (ApplyLevel: the
// same truncation, integers clipped at full scale), in one pass that feeds
// the scaled samples to the meter. Returns how many integer results were
// clipped. A failure ends the run with status 2.
int64_t GainFrames(const OpenAudio& audio, const AudioFormat& format, int64_t frames, double level_db,
                   InstructionSet instructions, LoudnessMeter& meter);
