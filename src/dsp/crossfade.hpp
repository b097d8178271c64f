#pragma once

#include <vector>

// Renders a crossfade of width_frames frames around the splice of an entry:
// destination frames from insert_frame - width/2 fade out while source frames
// from read_start_frame - width/2 fade in along curve xfade_type (1 to 4),
// the source side scaled by level_db. The mixed frames are appended to the
// temporary file at temp_path, which already holds its header.
//
// Returns 0 on success (or when width_frames <= 0), 1 when the destination
// cannot be used, 2 for the source, 3 for the temporary file, 4 for a sample
// format that has no rendering path.
int CROSSFADE(int insert_frame, int read_start_frame, int width_frames, int xfade_type, double level_db,
              const char* destination_path, const char* source_path, const char* temp_path, int channels,
              int bytes_per_sample);

// The weights of frame j of a crossfade of width frames, before the level.
struct CrossfadeWeights {
  double w_out;  // destination (outgoing) side
  double w_in;   // source (incoming) side
};
CrossfadeWeights CurveWeights(int xfade_type, int j, int width_frames);

// The curve of the last crossfade rendered, kept by the caller from one entry
// to the next: a run usually joins many entries with the same curve and
// width, and the curve costs a sine or cosine a frame. Curves wider than
// kMaxKeptCurveFrames are not kept, so that it stays small.
inline constexpr int kMaxKeptCurveFrames = 16384;
struct KeptCurve {
  int xfade_type = 0;
  int width_frames = 0;
  std::vector<CrossfadeWeights> weights;  // before the level; empty until a curve is kept
};

// CROSSFADE, taking the curve from `kept` when it holds this one, and keeping
// it there otherwise. The frames are the same either way.
int CROSSFADE(int insert_frame, int read_start_frame, int width_frames, int xfade_type, double level_db,
              const char* destination_path, const char* source_path, const char* temp_path, int channels,
              int bytes_per_sample, KeptCurve& kept);
