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

Slot& SlotOf(StopSlot slot) { return slots[static_cast<int>(slot)]; }

// Only async-signal-safe calls. A name that no longer leads to the file (it
// was moved into place, or another run's work file took the name) is left.
extern "C" void OnStop(int signal_number) {
  for (const Slot& slot : slots) {
    if (slot.armed == 0) continue;
    struct stat info {};
    if (stat(slot.path, &info) == 0 && info.st_dev == slot.device && info.st_ino == slot.inode) unlink(slot.path);
  }
  // The disposition is back to the default: raised again, the signal ends
  // the process as it would have without this handler.
  raise(signal_number);
}

}  // namespace

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
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
  sigset_t stops;
  sigemptyset(&stops);
  for (const int signal_number : kStopSignals) sigaddset(&stops, signal_number);
  sigprocmask(SIG_BLOCK, &stops, &previous);
}

StopHold::~StopHold() {
  if (!keep) sigprocmask(SIG_SETMASK, &previous, nullptr);
}
