#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/audio_format.hpp"
#include "dsp/cpu.hpp"
#include "dsp/mix.hpp"
#include "engine/source.hpp"
#include "io/work_file.hpp"
#include "wav/chunk.hpp"

// The run's work file, taken for one crossfade: its header for the
// crossfade's frames goes in with the first of them.
struct WorkFile {
  WorkFileHold* hold = nullptr;
  AudioExtent audio;  // the frames that follow its header
  // Its bytes as written, header and frames, where one run of the render
  // made them all: laid over the splice from here, they need not be read
  // back. Empty otherwise.
  std::vector<unsigned char> rendered;
};

// Takes the run's work file (waiting for it as long as another run holds
// it) for `frames` frames: what it holds past them goes. Ends the run with
// status 2 when it cannot be created or cut short. LetWorkFileGo or
// RemoveWorkFile give it back.
WorkFile TakeWorkFile(WorkFileHold& hold, const AudioFormat& format, int frames);

// For a check's render: a work file without a name in `folder`, never
// linked and held by no lock (no other run can reach it), made once for
// all of the render's crossfades. Ends the run with status 2 when it cannot
// be made or written.
WorkFile TakeUnnamedWorkFile(WorkFileHold& hold, const AudioFormat& format, int frames, const std::string& folder);

// The work file's open file, frames and name.
OpenAudio WorkFileAudio(const WorkFile& work);

// Destination frames [from, to).
struct FrameSpan {
  int64_t from = 0;
  int64_t to = 0;
};

// Where no entry written before lies under a crossfade's window (past the end
// of the previous take, when an entry is appended), the outgoing side is the
// outgoing entry carried on: what it would have written there had it been
// long enough, its source frame `destination frame + source_offset` with its
// level, silence before its source's first frame and past its samples, and
// outside `sounding` (its envelope: silent past an entry that fades out,
// before one that fades in).
struct Continuation {
  const SourceFile* source = nullptr;  // open; nothing where no frame of it is read
  int64_t source_offset = 0;           // its read start minus its insert frame
  double level_db = 0.0;
  std::vector<FrameSpan> spans;  // the window's frames taken from it
  FrameSpan sounding{INT64_MIN, INT64_MAX};
};

// One entry's crossfade: destination frames from insert_frame - width/2 fade
// out while source frames from read_start_frame - width/2 fade in along the
// curve (1 to 4), the source side changed by level_db.
struct CrossfadeJob {
  int insert_frame = 0;
  int read_start_frame = 0;
  int width_frames = 0;
  int curve = 1;
  double level_db = 0.0;
  OpenAudio destination;
  const SourceFile* source = nullptr;  // open; nothing when it is gone
  WorkFile* work = nullptr;
  const Continuation* outgoing = nullptr;
  InstructionSet instructions = InstructionSet::kPortable;
};

// How a crossfade's window of frames from `first_frame` falls in a file's
// samples: the frames it lacks before their start, and how many frames past
// their end it would start (both 0 when it may be read). A window may start
// anywhere from the samples' first frame to just after their last.
struct WindowFit {
  int64_t missing_before = 0;
  int64_t past_end = 0;
  bool Fits() const { return missing_before == 0 && past_end == 0; }
};
WindowFit FitWindow(const AudioExtent& audio, int64_t first_frame, int64_t frame_bytes);

// Why a crossfade could not be rendered.
enum class CrossfadeResult {
  kRendered,     // or width_frames <= 0: nothing to render
  kDestination,  // the window lies outside the destination's samples
  kSource,       // the window lies outside the source's samples
  kNoSource,     // the source is gone
};

// Renders the crossfade from the destination as it stands (and the outgoing
// entry carried on) into the work file, header first. The curve is taken from `kept` when
// it holds this one, and kept there otherwise. Adds the integer results it
// clipped to `clipped`. A work file that cannot be written ends the run with
// status 2.
CrossfadeResult RenderCrossfade(const CrossfadeJob& job, const AudioFormat& format, KeptCurve& kept, int64_t& clipped);
