#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "io/file.hpp"

// Writes that go on while the program makes the next bytes: handed to the
// system's I/O ring (io_uring) to be made by a worker of the system's, on
// another core where there is one, they cost the run the time of the
// hand-over instead of the copy into the page cache. The bytes of a write
// must stay as they are until the write is waited for. Writes are tagged
// with a slot (the buffer they come from), and waited for a slot at a time.
struct WriteRing;
struct WriteRingDeleter {
  void operator()(WriteRing* ring) const;
};
using WriteRingHandle = std::unique_ptr<WriteRing, WriteRingDeleter>;

// The slots a ring has room for.
inline constexpr int kWriteSlots = 2;

// A ring, or nothing where the system offers none (an older kernel, one that
// has it turned off, a sandbox that refuses it): then writes are made at
// once.
WriteRingHandle OpenWriteRing();

// Hands over the write of `pieces` (each written at its offset, every byte
// of it or a failure) for `slot`, whose earlier writes must have been waited
// for. False when the ring would not take them (nothing was handed over).
struct WritePiece {
  int64_t offset = 0;
  std::span<const unsigned char> bytes;
};
bool QueueWrites(WriteRing& ring, const FileHandle& file, std::span<const WritePiece> pieces, int slot);

// Waits until every write of the slot is done. False when any failed or
// came up short.
bool WaitForSlot(WriteRing& ring, int slot);

// Whether the ring stopped telling when its writes are done: those it took
// may still be under way, from bytes the caller would use again, and may
// land after anything written now. What it was writing cannot be trusted.
bool WritesLost(const WriteRing& ring);
