#pragma once

#include <cstdint>

#include "common/audio_format.hpp"
#include <vector>

#include "dsp/cpu.hpp"
#include "dsp/envelope.hpp"
#include "dsp/loudness.hpp"
#include "engine/crossfade.hpp"
#include "wav/chunk.hpp"

// Loudness needs every sample in order, and so does a picture's envelope:
// these steps read the samples of a file once, front to back, in large pieces
// (from the page cache, where they were just written or read), for the meter
// of dsp/loudness.hpp and the columns of dsp/envelope.hpp.

// Feeds frames [from_frame, from_frame + frames) of an open file's samples to
// the meter; frames past its samples are silence. A file that delivers fewer
// of its samples than it holds (cut short meanwhile) ends the run with
// status 2.
void MeasureFrames(const OpenAudio& audio, const AudioFormat& format, int64_t from_frame, int64_t frames,
                   LoudnessMeter& meter);

// The same for a meter, an envelope or both (either may be null): frames
// [from_frame, from_frame + frames) land in the envelope's columns as the
// destination's frames of the same numbers, at their own level.
void ReadInOrder(const OpenAudio& audio, const AudioFormat& format, int64_t from_frame, int64_t frames,
                 LoudnessMeter* meter, ColumnFold* fold, InstructionSet instructions);

// Scales the first `frames` frames of a file's samples in place by level_db
// decibels, exactly as a level change of a copy scales them (ApplyLevel: the
// same truncation, integers clipped at full scale), in one pass that feeds
// the scaled samples to the meter. Returns how many integer results were
// clipped. With `fold`, the scaled samples go into its columns too. A failure
// ends the run with status 2.
int64_t GainFrames(const OpenAudio& audio, const AudioFormat& format, int64_t frames, double level_db,
                   InstructionSet instructions, LoudnessMeter& meter, ColumnFold* fold = nullptr);

// How an entry sounds in the destination, for a picture: the destination
// frames it sounds over (its copy, the window of its crossfade before it, and
// where a later crossfade carries it on), in order and apart, each taking its
// source's frame `destination frame + source_offset` (silence before the
// source's first frame and past its last), at its level's gain times the
// factors of its fades, crossfades and the ducks laid over it.
struct LaneSound {
  int64_t source_offset = 0;
  std::vector<FrameSpan> runs;
  double gain = 1.0;
  std::vector<WeightFactor> factors;
};

// Folds the lane into the envelope's columns, reading each of its runs from
// its open source once, in order; the frames of `as_they_are` (which the
// destination holds as its source's bytes) go into `also` as well, at their
// own level. A source that delivers fewer of its samples than it holds (cut
// short meanwhile) ends the run with status 2.
void FoldLane(const OpenAudio& source, const AudioFormat& format, const LaneSound& lane, ColumnFold& fold,
              InstructionSet instructions, std::span<const FrameSpan> as_they_are = {}, ColumnFold* also = nullptr);
