#pragma once

#include "io/file.hpp"

// The crossfade's work file, in the working directory.
inline constexpr const char* kWorkFileName = "xfade_temp.wav";

// Whether the work file's name may be used: nothing stands there, or a
// regular file with one name owned by the user running (left by a run that
// died). A link, a folder, a FIFO, a file with other names as well or
// another user's file is no work file to empty.
bool WorkFileNameUsable();

// The work file. A run keeps it from its first crossfade to its last, and
// holds it for itself only while a crossfade is made: runs side by side in
// one folder take turns at it, crossfade by crossfade, and a run with many
// crossfades makes and removes it once rather than for every one of them
// (about 60 microseconds a crossfade here). A run that needs it while
// another holds it waits; the hold ends with the holder's process, so a
// file left by a killed run blocks no one and is emptied and reused. Where
// the file system has no locks, the file is used without one. The file is
// never reached through a link, and only a regular file with one name owned
// by the user running is used: waiting for its lock is only ever waiting for
// the same user's run.
struct WorkFileHold {
  FileHandle file;
  FileIdentity identity;  // of the file kept
  mode_t mode = 0;        // its permissions when first taken
  int64_t size = 0;       // its length when taken for this crossfade
  bool held = false;      // taken for a crossfade: locked, where the file system has locks
  bool unnamed = false;   // a file without a name instead (a check's render): it goes with its close

  WorkFileHold() = default;
  WorkFileHold(WorkFileHold&&) noexcept = default;
  WorkFileHold& operator=(WorkFileHold&& other) noexcept;  // removes the file held first
  ~WorkFileHold();                                         // RemoveWorkFile
};

// Takes the work file for one crossfade: the file kept from the last one
// while its name still leads to it, else a file under the name (waiting for
// it as long as another run holds it). False when the name cannot be used.
bool HoldWorkFile(WorkFileHold& hold);

// Lets other runs have the work file until the next crossfade; it keeps its
// name.
void LetWorkFileGo(WorkFileHold& hold);

// Removes the work file once its last crossfade is made (taking it first,
// so that no other run's crossfade is emptied), then lets the next run have
// the name.
void RemoveWorkFile(WorkFileHold& hold);
