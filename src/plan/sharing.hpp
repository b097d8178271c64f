#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "io/blocks.hpp"
#include "plan/plan.hpp"

// A stretch of an entry copied byte for byte from its source: an entry at no
// level, not mixed, not faded, outside the window its crossfade is laid over
// (that is written again at once), within the source's samples. Only such
// stretches can share blocks with their sources.
struct PlainRun {
  int entry = 0;  // index in task-file order
  int64_t to_frame = 0;
  int64_t from_frame = 0;
  int64_t frames = 0;
};

// The frames at the start of an entry's copy that its crossfade's window
// covers (0 when its crossfade is not made).
int64_t FramesUnderCrossfade(const Plan& plan, const Entry& entry);

// The plain runs of the plan, in write order (at most one an entry), as the
// plan expects them: a crossfade the plan cannot tell will fail is taken as
// laid. None where the programme gets a gain ("loud", "peak").
std::vector<PlainRun> PlainRuns(const Plan& plan);

// With --align: the body size of the JUNK chunk before the data (0 or
// more, even, less than a block) that puts the largest plain run that can be
// aligned the same distance past a block boundary in the destination as in
// its source, when the samples would start at `data_start` without it. The
// run it aligns in `aligned` (-1: none could be).
int64_t AlignmentPadding(const Plan& plan, const std::vector<PlainRun>& runs, int64_t data_start, int64_t block,
                         int* aligned = nullptr);

// What a run expects to share and to copy (bytes of samples written), on
// the destination's file system, with the samples starting at `data_start`.
struct EntrySharing {
  bool plain = false;         // it has plain runs
  int64_t written = 0;        // bytes the entry writes (its copy and its crossfade's window)
  int64_t shared = 0;         // of them, bytes whose blocks are shared
  bool other_device = false;  // its source lies on another file system
  int64_t apart = 0;          // bytes its run's offsets lie apart, modulo the block
};
struct SharingForecast {
  std::vector<EntrySharing> entries;  // in task-file order
  int64_t shared = 0;
  int64_t copied = 0;
};
SharingForecast ForecastSharing(const Plan& plan, const std::vector<PlainRun>& runs, const FileSystem& destination,
                                int64_t data_start);
