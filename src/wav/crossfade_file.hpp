#pragma once

#include "common/audio_format.hpp"
#include "dsp/crossfade.hpp"

// The crossfade's work file, in the working directory.
inline constexpr const char* kWorkFileName = "xfade_temp.wav";

// One entry's crossfade: destination frames from insert_frame - width/2 fade
// out while source frames from read_start_frame - width/2 fade in along the
// curve (1 to 4), the source side changed by level_db.
struct CrossfadeJob {
  int insert_frame = 0;
  int read_start_frame = 0;
  int width_frames = 0;
  int curve = 1;
  double level_db = 0.0;
  const char* destination_path = nullptr;
  const char* source_path = nullptr;
  const char* work_path = nullptr;  // already holds its header
};

// Why a crossfade could not be rendered; the messages are printed here.
enum class CrossfadeResult {
  kRendered = 0,     // or width_frames <= 0: nothing to render
  kDestination = 1,  // cannot be opened, no data chunk, or the window lies outside its samples
  kSource = 2,
  kWorkFile = 3,     // cannot be opened for appending
  kFormat = 4,       // a sample format without a rendering path
};

// Renders the crossfade from the destination as it stands and appends the
// mixed frames to the work file. The curve is taken from `kept` when it
// holds this one, and kept there otherwise. A work file that cannot be
// written ends the run with status 2 and is removed.
CrossfadeResult RenderCrossfade(const CrossfadeJob& job, const AudioFormat& format, KeptCurve& kept);
