#pragma once

#include <signal.h>

#include "io/file.hpp"

// A run stopped by a signal (SIGINT, SIGTERM, SIGHUP, and SIGPIPE or SIGXFSZ,
// which would end it as well) removes the files it created under temporary
// names before it ends with the signal's usual status. A handler can reach
// no state of the run, so those files are registered here.
void InstallStopHandlers();

// The files a run may have under temporary names at once: the destination,
// the crossfade work file, and the label and chapter files and the picture
// it writes.
enum class StopSlot { kDestination, kWorkFile, kLabels, kChapters, kPlot };

// From now on a stop removes the file at path, as long as that name still
// leads to the file of that identity.
void RemoveWhenStopped(StopSlot slot, const char* path, const FileIdentity& identity);

// From now on a stop leaves the slot's file alone.
void KeepWhenStopped(StopSlot slot);

// Holds the stop signals back while it lives: a file is created and
// registered, or removed and given up, as one step that a stop cannot cut
// in two. A signal that arrives meanwhile is delivered when the hold ends,
// unless `keep` was set: then it is never delivered (the run has
// committed to ending with status 0).
struct StopHold {
  bool keep = false;

  StopHold();
  ~StopHold();
  StopHold(const StopHold&) = delete;
  StopHold& operator=(const StopHold&) = delete;
};
