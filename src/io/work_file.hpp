#pragma once

#include "io/file.hpp"

// The crossfade's work file, in the working directory.
inline constexpr const char* kWorkFileName = "xfade_temp.wav";

// Whether the work file's name may be used: nothing stands there, or a
// regular file with one name owned by the user running (left by a run that
// died). A link, a folder, a FIFO, a file with other names as well or
// another user's file is no work file to empty.
bool WorkFileNameUsable();

// The work file, held by this run alone from its creation to its removal:
// runs side by side in one folder take turns at it. A run that needs it
// while another holds it waits; the hold ends with the holder's process, so
// a file left by a killed run blocks no one and is emptied and reused. Where
// the file system has no locks, the file is used without one. The file is
// never reached through a link, and only a regular file with one name owned
// by the user running is used: waiting for its lock is only ever waiting for
// the same user's run.
struct WorkFileHold {
  FileHandle file;
  FileIdentity identity;   // of the file held
  bool left_over = false;  // it held something when taken (a killed run's file)
  bool unnamed = false;    // a file without a name instead (a check's render): it goes with its close

  WorkFileHold() = default;
  WorkFileHold(WorkFileHold&&) noexcept = default;
  WorkFileHold& operator=(WorkFileHold&&) = delete;
  ~WorkFileHold();  // removes the file, then lets the next run have the name
};

// Takes the work file (waiting for it as long as another run holds it).
// False when the name cannot be used.
bool HoldWorkFile(WorkFileHold& hold);
