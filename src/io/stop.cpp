#include "io/stop.hpp"

#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace {

// The one piece of state outside the run: a signal handler has no other way
// to learn what to remove. Each slot is armed only once its path and file
// identity are complete.
struct Slot {
  char path[PATH_MAX];
  dev_t device;
  ino_t inode;
  volatile sig_atomic_t armed;
};

Slot slots[5];

// How the holds stand: how many are alive, the stop that arrived during one
// (0: none), and whether the run has committed to ending with status 0. A
// hold is two plain stores instead of two system calls that block and
// unblock the signals: a run takes one for every crossfade's work file.
volatile sig_atomic_t holds = 0;
volatile sig_atomic_t held_stop = 0;
volatile sig_atomic_t committed = 0;

Slot& SlotOf(StopSlot slot) { return slots[static_cast<int>(slot)]; }

// Only async-signal-safe calls. A name that no longer leads to the file (it
// was moved into place, or another run's work file took the name) is left,
// and so is a link put in its place that leads to the file (the work file is
// kept for the whole run, and may be given another name meanwhile): the link
// is not ours.
void Stop(int signal_number) {
  for (const Slot& slot : slots) {
    if (slot.armed == 0) continue;
    struct stat info {};
    if (lstat(slot.path, &info) == 0 && info.st_dev == slot.device && info.st_ino == slot.inode) unlink(slot.path);
  }
  // Back to the default and raised again, the signal ends the process as it
  // would have without this handler.
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

extern "C" void OnStop(int signal_number) {
  if (committed != 0) return;
  if (holds > 0) {
    held_stop = signal_number;
    return;
  }
  Stop(signal_number);
}

}  // namespace

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStop;
  // No stop cuts into the handler of another.
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kStopSignals) sigaddset(&action.sa_mask, signal_number);
  // A stop the handler holds back returns to what it interrupted, which goes
  // on as if nothing had come: a write of the report into a full pipe after
  // the destination is in place must not fail for it.
  action.sa_flags = SA_RESTART;
  for (const int signal_number : kStopSignals) {
    struct sigaction previous {};
    // A signal the caller chose to ignore (nohup, a file-size limit a test
    // sets) stays ignored.
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal_number, &action, nullptr);
  }
}

void RemoveWhenStopped(StopSlot which, const char* path, const FileIdentity& identity) {
  Slot& slot = SlotOf(which);
  slot.armed = 0;
  if (std::strlen(path) >= sizeof slot.path) return;
  std::strcpy(slot.path, path);
  slot.device = static_cast<dev_t>(identity.device);
  slot.inode = static_cast<ino_t>(identity.inode);
  // The handler must not see the slot armed before its fields are complete.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  slot.armed = 1;
}

void KeepWhenStopped(StopSlot which) { SlotOf(which).armed = 0; }

StopHold::StopHold() {
  holds = holds + 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

StopHold::~StopHold() {
  if (keep) committed = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  holds = holds - 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  // A stop that arrived meanwhile takes effect now (the handler acts itself
  // on one that arrives from here on).
  if (holds == 0 && committed == 0 && held_stop != 0) Stop(held_stop);
}
