#pragma once

// Loudness of a programme as broadcasters measure it: integrated loudness
// (gated, LUFS), loudness range (LU), true peak (dBTP), sample peak (dBFS) and
// the highest momentary (400 ms) and short-term (3 s) loudness.
//
// A meter is made for one format and its channel weights, fed the packed
// frames of one programme in order (in pieces of any size: a frame split
// between two pieces is put together), and finished into a result. Its memory
// grows by 8 bytes per 100 ms of programme, nothing per sample.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/audio_format.hpp"
#include "dsp/cpu.hpp"

// How much each channel counts towards loudness, from the positions a
// WAVE_FORMAT_EXTENSIBLE format chunk's channel mask gives them (nothing: a
// classic format chunk without a mask). Front and centre positions count 1.0,
// positions beside the listener 1.41 (+1.5 dB), the LFE channel 0. Without a
// mask, 6 channels are 5.1 in the WAVE order L R C LFE Ls Rs; a mask of 0 and
// every other layout count each channel 1.0. Entries past `channels` are 0.
std::array<double, kMaxChannels> LoudnessWeights(int channels, std::optional<uint32_t> channel_mask);

// What a programme measured. A value that nothing was measured for (no 400 ms
// block above the gates, a programme shorter than 3 s for the short-term
// values) is absent; the loudness of digital silence and its peaks are minus
// infinity. True peak takes the programme as silent before its start and
// reads nothing past its last samples (what follows them is not known).
struct LoudnessResult {
  std::optional<double> integrated;      // LUFS
  std::optional<double> range;           // LU
  double true_peak = 0.0;                // dBTP, never below the sample peak
  double sample_peak = 0.0;              // dBFS
  std::optional<double> max_momentary;   // LUFS
  std::optional<double> max_short_term;  // LUFS
};

// The state of one measurement. Its fields belong to loudness.cpp.
struct LoudnessMeter {
  AudioFormat format;
  bool supported = false;
  InstructionSet instructions = InstructionSet::kPortable;
  int lanes = 1;  // channels rounded up to 1, 2, 4 or 8
  std::array<double, kMaxChannels> weights{};

  // K-weighting: two biquads, each as b0 b1 b2 a1 a2, and per channel the
  // last two inputs and the last two outputs of each.
  std::array<double, 10> filter{};
  std::array<std::array<double, kMaxChannels>, 6> filter_state{};
  std::array<double, kMaxChannels> step_squares{};  // of the 100 ms step so far

  // True peak: how many times the rate is oversampled, the filter's taps
  // (see OversamplingTaps), and the samples it still needs.
  int factor = 1;
  std::vector<float> taps;
  std::vector<float> samples;  // the last frames decoded, interleaved at `lanes`
  float true_peak = 0.0F;
  float sample_peak = 0.0F;

  // 100 ms steps: step k ends at frame floor((k + 1) * rate / 10). Gating
  // needs every 400 ms block and 3 s window, which overlap: each step's
  // weighted sum of squares is kept, 8 bytes per 100 ms of programme (0.3 MB
  // an hour), from which they are summed at the end.
  int64_t frames = 0;
  int64_t step_end = 0;
  std::vector<double> step_energy;

  // A frame that a piece ended in the middle of.
  std::array<unsigned char, 4 * kMaxChannels> partial{};
  int partial_bytes = 0;
};

// A meter for programmes of this format (16-, 24- or 32-bit integers or
// 32-bit floats, 1 to 8 channels, any rate; another format measures nothing)
// with a weight for each channel (LoudnessWeights; missing ones are 0), using
// the instructions allowed. Float samples are read as they are, overs
// included (NaN as silence, beyond 2^100 as 2^100). Every instruction set
// measures the same values to the bit.
LoudnessMeter StartLoudness(const AudioFormat& format, std::span<const double> weights, InstructionSet instructions);

// Feeds the next packed little-endian frames of the programme, as a WAV data
// chunk holds them.
void FeedLoudness(LoudnessMeter& meter, std::span<const unsigned char> bytes);

// What the programme fed so far measures (a frame split at the end of the
// last piece is left out).
LoudnessResult FinishLoudness(const LoudnessMeter& meter);

// Short-term loudness for a picture: the loudness (LUFS; minus infinity in
// silence) of the 3 s, fewer at the start, ending every `every` x 100 ms of
// the programme fed so far.
std::vector<float> ShortTermCurve(const LoudnessMeter& meter, int every);

// The whole measurement of one buffer of frames.
LoudnessResult MeasureLoudness(std::span<const unsigned char> bytes, const AudioFormat& format,
                               std::span<const double> weights, InstructionSet instructions);
