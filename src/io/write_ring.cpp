#include "io/write_ring.hpp"

#include <liburing.h>

#include <cerrno>

struct WriteRing {
  io_uring ring{};
  int in_flight[kWriteSlots] = {};
  bool failed[kWriteSlots] = {};
  bool refusing = false;  // takes no more writes: entries may be left in it unsubmitted
  bool lost = false;      // its completions cannot be taken: what is in flight is never learnt of
};

namespace {

// Room for every piece of both slots at once.
constexpr unsigned kEntries = 16;

// A completion carries its slot and the bytes it was to write.
uint64_t Tag(int slot, size_t bytes) { return static_cast<uint64_t>(slot) | static_cast<uint64_t>(bytes) << 8; }

// Takes one completion; false when there is none to take (the ring failed).
bool TakeCompletion(WriteRing& ring) {
  io_uring_cqe* completion = nullptr;
  int waited = 0;
  do {
    waited = io_uring_wait_cqe(&ring.ring, &completion);
  } while (waited == -EINTR);
  if (waited != 0 || completion == nullptr) {
    ring.lost = true;
    return false;
  }
  const uint64_t tag = io_uring_cqe_get_data64(completion);
  const auto slot = static_cast<int>(tag & 0xFF);
  if (completion->res < 0 || static_cast<uint64_t>(completion->res) != tag >> 8) ring.failed[slot] = true;
  --ring.in_flight[slot];
  io_uring_cqe_seen(&ring.ring, completion);
  return true;
}

}  // namespace

void WriteRingDeleter::operator()(WriteRing* ring) const {
  // The kernel reads the bytes of a write until it completes: they must
  // outlive it.
  for (int slot = 0; slot < kWriteSlots; ++slot) WaitForSlot(*ring, slot);
  io_uring_queue_exit(&ring->ring);
  delete ring;
}

WriteRingHandle OpenWriteRing() {
  WriteRingHandle ring(new WriteRing);
  if (io_uring_queue_init(kEntries, &ring->ring, 0) != 0) {
    delete ring.release();
    return nullptr;
  }
  return ring;
}

bool QueueWrites(WriteRing& ring, const FileHandle& file, std::span<const WritePiece> pieces, int slot) {
  if (ring.refusing || ring.lost || pieces.size() > kEntries / kWriteSlots) return false;
  unsigned prepared = 0;
  for (const WritePiece& piece : pieces) {
    io_uring_sqe* entry = io_uring_get_sqe(&ring.ring);
    if (entry == nullptr) break;
    io_uring_prep_write(entry, file.fd, piece.bytes.data(), static_cast<unsigned>(piece.bytes.size()),
                        static_cast<uint64_t>(piece.offset));
    // Made by a worker at once, not tried here first: the copy into the
    // page cache is what is to go on meanwhile.
    entry->flags |= IOSQE_ASYNC;
    io_uring_sqe_set_data64(entry, Tag(slot, piece.bytes.size()));
    ++prepared;
  }
  int submitted = 0;
  do {
    submitted = io_uring_submit(&ring.ring);
  } while (submitted == -EINTR);
  if (submitted > 0) ring.in_flight[slot] += submitted;
  if (prepared == pieces.size() && submitted == static_cast<int>(prepared)) return true;
  // Entries left unsubmitted would go with the next submission: the ring is
  // not used again. What was handed over is waited for; the caller writes
  // it all itself.
  ring.refusing = true;
  WaitForSlot(ring, slot);
  return false;
}

bool WaitForSlot(WriteRing& ring, int slot) {
  while (ring.in_flight[slot] > 0 && TakeCompletion(ring)) {
  }
  if (ring.lost) {
    ring.in_flight[slot] = 0;
    ring.failed[slot] = true;
  }
  const bool done = !ring.failed[slot];
  ring.failed[slot] = false;
  return done;
}

bool WritesLost(const WriteRing& ring) { return ring.lost; }
