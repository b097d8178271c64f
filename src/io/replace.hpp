#pragma once

#include <sys/stat.h>

#include <string>

#include "io/file.hpp"

// Replacing a file as one step. The new file is written in the old one's
// folder, without a name where the file system offers that (O_TMPFILE), or
// else under a hidden name that a lock marks as in use, and it is moved onto
// the name only when complete: a run that fails, is stopped or killed leaves
// the old file as it was and no new one.

// Where a file of this name lands (symbolic links of its last component
// followed, so that a link is written through) and what it replaces there.
struct ReplaceTarget {
  std::string path;
  bool replaces = false;
  struct stat replaced {};  // the status of the file it replaces
};
ReplaceTarget FindReplaceTarget(const std::string& name);

// Whether what stands at the target may be replaced: nothing, or a regular
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

  TemporaryFile() = default;
  TemporaryFile(TemporaryFile&& other) noexcept;
  TemporaryFile& operator=(TemporaryFile&& other) noexcept;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();
};

// Makes the new file beside the target, first removing what dead runs left
// there under hidden names, with the replaced file's owner and group (where
// we may set them) and then its permission bits. False when it cannot be
// made.
bool CreateTemporary(const ReplaceTarget& target, TemporaryFile& temporary);

// Moves the complete file onto the target (with `sync`, flushed to disk first
// and its folder after). From just before the move the stop signals are held
// for the rest of the process when it succeeds; a failure (false) lets a held
// stop through.
bool CommitTemporary(TemporaryFile& temporary, bool sync);
