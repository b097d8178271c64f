#include "io/work_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "io/stop.hpp"

namespace {

// Whether the name still leads to the file of this identity, itself and not
// through a link: another run may have removed it, and maybe made a new one,
// while this one waited. `named` receives the status of what the name leads
// to: where it is the file, the file's own.
bool NameLeadsTo(const FileIdentity& identity, struct stat& named) {
  return lstat(kWorkFileName, &named) == 0 && IdentityOf(named) == identity;
}

// Whether a file is one the work file may be: a regular file with one name
// (another name would be a file of the user's that the crossfade would
// empty), owned by the user running (another user's could be written or
// held through a descriptor kept open).
bool UsableWorkFile(const struct stat& status) {
  // Asked once: a run takes the work file for every crossfade.
  static const uid_t user = geteuid();
  return S_ISREG(status.st_mode) && status.st_nlink == 1 && status.st_uid == user;
}

// Opens the work file without following a link and without blocking on a
// FIFO; only a file UsableWorkFile accepts will do. `created`: whether this
// call made it; `status` gets its status. Not open when there is no such
// file to use.
FileHandle OpenWorkFile(bool& created, struct stat& status) {
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC;
  // Another run may remove its file between the tries (or just after the
  // open, leaving it without a name): then try again, or make it.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    // Private to this user: no other user may write into it meanwhile. A
    // file this call creates is a new regular file, opened as it is used.
    FileHandle file(open(kWorkFileName, kFlags | O_CREAT | O_EXCL, 0600));
    created = file.IsOpen();
    if (!created && errno == EEXIST) {
      // Whatever stands there: a FIFO must not block the open.
      file = FileHandle(open(kWorkFileName, kFlags | O_NONBLOCK));
      if (!file.IsOpen() && errno == ENOENT) continue;
    }
    if (!file.IsOpen() || fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) break;
    if (status.st_nlink == 0) continue;
    if (!UsableWorkFile(status) || (!created && fcntl(file.fd, F_SETFL, 0) != 0)) break;
    return file;
  }
  return FileHandle();
}

}  // namespace

bool WorkFileNameUsable() {
  struct stat named {};
  if (lstat(kWorkFileName, &named) != 0) return errno == ENOENT;
  // Another run's file that it removes while it is looked at shows no name
  // left: as good as gone, as it will be when this run takes the name.
  return (S_ISREG(named.st_mode) && named.st_nlink == 0) || UsableWorkFile(named);
}

namespace {

// Waits for the work file's lock; false where the file system has no locks.
bool LockWorkFile(const FileHandle& file) {
  int locked = -1;
  do {
    locked = flock(file.fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  return locked == 0;
}

// Gives the file kept up without touching it: no longer ours to remove,
// on a stop or at the end.
void ForgetWorkFile(WorkFileHold& hold) {
  const StopHold stops;
  KeepWhenStopped(StopSlot::kWorkFile);
  hold.file = FileHandle();
  hold.held = false;
}

enum class Kept {
  kTaken,    // locked, its name still leading to it alone
  kGone,     // no longer under the name (another run removed it): the name is tried
  kRefused,  // no longer ours alone (another name, another user, opened up to others)
};

// Takes the file kept from the run's last crossfade again.
Kept TakeKeptFile(WorkFileHold& hold) {
  struct stat kept {};
  // One that no longer has a name is not waited for. One given to another
  // user, or opened up to others, while it was kept (by hand or by
  // mistake) may be held by another user now, and its lock is not waited
  // for either.
  if (fstat(hold.file.fd, &kept) != 0 || kept.st_nlink == 0) {
    ForgetWorkFile(hold);
    return Kept::kGone;
  }
  if (!UsableWorkFile(kept) || (kept.st_mode & 077 & ~hold.mode) != 0) {
    ForgetWorkFile(hold);
    return Kept::kRefused;
  }
  LockWorkFile(hold.file);
  struct stat named {};
  if (!NameLeadsTo(hold.identity, named)) {
    ForgetWorkFile(hold);
    return Kept::kGone;
  }
  // Someone gave it another name meanwhile: no longer ours alone to empty.
  if (!UsableWorkFile(named)) {
    ForgetWorkFile(hold);
    return Kept::kRefused;
  }
  hold.size = named.st_size;
  hold.held = true;
  return Kept::kTaken;
}

}  // namespace

WorkFileHold::~WorkFileHold() { RemoveWorkFile(*this); }

WorkFileHold& WorkFileHold::operator=(WorkFileHold&& other) noexcept {
  if (this == &other) return *this;
  RemoveWorkFile(*this);
  file = std::move(other.file);
  identity = other.identity;
  mode = other.mode;
  size = other.size;
  held = std::exchange(other.held, false);
  unnamed = other.unnamed;
  return *this;
}

void RemoveWorkFile(WorkFileHold& hold) {
  if (!hold.file.IsOpen()) return;
  if (hold.unnamed) {
    hold.file = FileHandle();
    hold.held = hold.unnamed = false;
    return;
  }
  // Another run making its crossfade in it now removes it when it is done
  // with it: it is not emptied under that run, nor waited for.
  if (!hold.held && flock(hold.file.fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    ForgetWorkFile(hold);
    return;
  }
  // Given up and removed as one step: a stop in between would leave it.
  const StopHold stops;
  // Given up before the name goes, so that a stop in between never removes
  // a file another run has made under the name since.
  KeepWhenStopped(StopSlot::kWorkFile);
  // Kept between crossfades, it may have been given another name, or a
  // second one, meanwhile (a user keeping it, by hand or by mistake): then
  // it is no longer ours alone to empty or remove, and it is left as it is.
  struct stat named {};
  if (NameLeadsTo(hold.identity, named) && UsableWorkFile(named)) {
    // Emptied before the name goes: freeing its blocks at the last close of
    // a file that no longer has a name measured about 0.2 ms slower.
    if (ftruncate(hold.file.fd, 0) != 0) {
      // Removing it frees the blocks all the same.
    }
    unlink(kWorkFileName);
  }
  // Closing ends the hold.
  hold.file = FileHandle();
  hold.held = false;
}

void LetWorkFileGo(WorkFileHold& hold) {
  if (!hold.held) return;
  hold.held = false;
  if (!hold.unnamed) flock(hold.file.fd, LOCK_UN);
}

bool HoldWorkFile(WorkFileHold& hold) {
  if (hold.held) return true;
  if (hold.file.IsOpen()) {
    const Kept kept = TakeKeptFile(hold);
    if (kept != Kept::kGone) return kept == Kept::kTaken;
  }
  struct stat held {};
  for (;;) {
    bool created = false;
    FileHandle file;
    {
      // A file this run makes is its own to remove from the moment it exists.
      const StopHold stops;
      file = OpenWorkFile(created, held);
      if (!file.IsOpen()) return false;
      if (created) RemoveWhenStopped(StopSlot::kWorkFile, kWorkFileName, IdentityOf(held));
    }
    const bool locked = LockWorkFile(file);
    const StopHold stops;
    // While this run waited, another may have removed the file, and a new
    // one (or something else) may stand under the name: try it again.
    const FileIdentity identity = IdentityOf(held);
    if (locked && !NameLeadsTo(identity, held)) {
      if (created) KeepWhenStopped(StopSlot::kWorkFile);
      continue;
    }
    if (locked && !UsableWorkFile(held)) {
      // Someone gave the file another name: it is no longer ours alone to empty.
      if (created) KeepWhenStopped(StopSlot::kWorkFile);
      return false;
    }
    // Locked, or on a file system without locks.
    if (!locked && fstat(file.fd, &held) != 0) held = {};
    hold.file = std::move(file);
    hold.identity = identity;
    RemoveWhenStopped(StopSlot::kWorkFile, kWorkFileName, hold.identity);
    break;
  }
  hold.mode = held.st_mode;
  hold.size = held.st_size;
  hold.held = true;
  return true;
}
