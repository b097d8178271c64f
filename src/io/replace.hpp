#pragma once

#include <sys/stat.h>
#include <time.h>

#include <span>
#include <string>
#include <vector>

#include "io/file.hpp"
#include "io/stop.hpp"

// Replacing a file as one step. The new file is written in the old one's
// folder, without a name where the file system offers that (O_TMPFILE), or
// else under a hidden name that a lock marks as in use, and it is moved onto
// the name only when complete: a run that fails, is stopped or killed leaves
// the old file as it was and no new one. Once its lock is held the file
// carries a mark (an extended attribute) that says it is a partial file of
// this program; a file without the mark is never removed by another run.

// Where a file of this name lands (symbolic links of its last component
// followed, so that a link is written through) and what it replaces there.
struct ReplaceTarget {
  std::string path;
  bool replaces = false;
  struct stat replaced {};  // the status of the file it replaces
  bool trusted = true;      // false: a link on the way may not be followed (see FollowTrustedLinks)
};
ReplaceTarget FindReplaceTarget(const std::string& name);

// Whether what stands at the target may be replaced: never through a link
// that may not be trusted; else nothing, or a regular
// file we may write and that has a write bit (its owner's word counts, also
// for the superuser, whom the system would let write it).
bool MayReplace(const ReplaceTarget& target);

// Whether files may be made in the target's folder.
bool FolderWritable(const ReplaceTarget& target);

// The new file while it is written. Its owner removes a hidden name it still
// has when it goes; an unnamed file goes with its last close.
struct TemporaryFile {
  FileHandle file;
  std::string target_path;
  std::string hidden_path;  // while it has a name
  bool unnamed = false;
  StopSlot slot = StopSlot::kDestination;  // where a stop finds its hidden name

  TemporaryFile() = default;
  TemporaryFile(TemporaryFile&& other) noexcept;
  TemporaryFile& operator=(TemporaryFile&& other) noexcept;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();
};

// What runs that died left in the target's folder under hidden names. A file
// is removed (with `remove`) only when all of these hold: its name has
// exactly the form hidden names have; it is a regular file of the user
// running; it carries the mark; its lock is granted at once (its run is
// dead); and it is none of the files in `keep` (the run's task file, sources
// and destination). Returns the hidden names of files replacing this target
// that it cannot prove dead and ours (unmarked, or where the file system
// grants no locks), for the run to name; it never removes those.
std::vector<std::string> SweepDeadTemporaries(const ReplaceTarget& target, std::span<const FileIdentity> keep,
                                              bool remove);

// Makes the new file beside the target, with the replaced file's owner and
// group (where we may set them), then its permission bits, then its extended
// attributes and ACLs (those we may set). A stop removes it while it has a
// hidden name, as the file of `slot`. False when it cannot be made.
bool CreateTemporary(const ReplaceTarget& target, TemporaryFile& temporary, StopSlot slot = StopSlot::kDestination);

// Moves the complete file onto the target (with `sync`, flushed to disk first
// and its folder after), its modification time set to `modified` first when
// given. From just before the move the stop signals are held for the rest of
// the process when it succeeds; a failure (false) lets a held stop through.
bool CommitTemporary(TemporaryFile& temporary, bool sync, const struct timespec* modified = nullptr);
