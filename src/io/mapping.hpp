#pragma once

#include <setjmp.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "io/file.hpp"

// A bounded window of a file mapped for reading, so that its bytes are used
// where the page cache holds them instead of being copied out first. The
// window is unmapped when its owner goes: a run maps a few MiB at a time
// whatever the file's size.
struct MappedWindow {
  const unsigned char* bytes = nullptr;  // the first byte asked for
  int64_t offset = 0;                    // its offset in the file
  int64_t size = 0;                      // bytes asked for, all mapped
  void* base = nullptr;                  // the mapping, from a page boundary
  size_t length = 0;

  MappedWindow() = default;
  MappedWindow(MappedWindow&& other) noexcept
      : bytes(std::exchange(other.bytes, nullptr)),
        offset(other.offset),
        size(std::exchange(other.size, 0)),
        base(std::exchange(other.base, nullptr)),
        length(std::exchange(other.length, 0)) {}
  MappedWindow& operator=(MappedWindow&& other) noexcept;
  MappedWindow(const MappedWindow&) = delete;
  MappedWindow& operator=(const MappedWindow&) = delete;
  ~MappedWindow();

  bool IsMapped() const { return base != nullptr; }
  int64_t End() const { return offset + size; }
};

// Maps bytes [offset, offset + size) of the file for reading, read ahead in
// order. Not mapped where the system cannot map it (then the caller reads).
MappedWindow MapForReading(const FileHandle& file, int64_t offset, int64_t size);

// A file cut short while it is mapped loses the pages past its new end, and
// a read of them raises SIGBUS instead of coming up short; so does a page
// that cannot be read from the disk. Reads of a window go through a guard:
// armed for the window's bytes, such a fault there returns to `resume` (set
// by sigsetjmp(resume, 0) in the reading function, whose frames in between
// must hold nothing with a destructor) with the guard disarmed, and the
// reader treats the rest as a read that came up short. A fault anywhere else
// ends the process as it would have without the guard.
void ArmReadGuard(const MappedWindow& window, sigjmp_buf* resume);
void DisarmReadGuard();
