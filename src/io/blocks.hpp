#pragma once

#include <cstdint>
#include <optional>

#include "io/file.hpp"

// Block sharing: file systems with copy-on-write blocks (XFS, Btrfs,
// bcachefs, OpenZFS, NFS 4.2) can give a file the blocks of another instead
// of copies of their bytes; a later write to either file gets a block of its
// own, so neither ever sees the other's changes.

// The file system a file lies on, as far as sharing goes.
struct FileSystem {
  uint64_t type = 0;    // its magic number (statfs)
  int64_t block = 0;    // bytes: the unit blocks are shared in; 0 when not a usable size
  uint64_t device = 0;  // the device of its files (stat)
};
std::optional<FileSystem> FileSystemOf(const char* path);
std::optional<FileSystem> FileSystemOf(const FileHandle& file);

// Its name for messages ("xfs"); "" when not known here.
const char* FileSystemName(uint64_t type);

// Whether files there are known to be able to share blocks (a file system
// may still refuse: XFS made without reflink, an NFS server without clone).
bool CanShareBlocks(uint64_t type);

// The part of a copy of `bytes` bytes from source_at to destination_at that
// can share blocks: from `head` bytes into the copy on, `bytes` bytes of
// whole blocks. Only a copy whose offsets lie the same distance past a block
// boundary has one.
struct SharedSpan {
  int64_t head = 0;
  int64_t bytes = 0;
};
SharedSpan ShareableSpan(int64_t source_at, int64_t destination_at, int64_t bytes, int64_t block);

// Gives the destination at destination_at the source's blocks at source_at
// (offsets and length whole blocks). False when the file system refuses;
// nothing is changed then.
bool ShareBlocks(const FileHandle& destination, int64_t destination_at, const FileHandle& source, int64_t source_at,
                 int64_t bytes);

// Reserves the blocks of a range of the file where it has none (a hole
// written later takes them faster); the bytes stay as they are. False when
// the file system cannot.
bool ReserveBlocks(const FileHandle& file, int64_t from, int64_t to);
