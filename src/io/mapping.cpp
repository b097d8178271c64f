#include "io/mapping.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

MappedWindow& MappedWindow::operator=(MappedWindow&& other) noexcept {
  if (this != &other) {
    if (base != nullptr) munmap(base, length);
    bytes = std::exchange(other.bytes, nullptr);
    offset = other.offset;
    size = std::exchange(other.size, 0);
    base = std::exchange(other.base, nullptr);
    length = std::exchange(other.length, 0);
  }
  return *this;
}

MappedWindow::~MappedWindow() {
  if (base != nullptr) munmap(base, length);
}

MappedWindow MapForReading(const FileHandle& file, int64_t offset, int64_t size) {
  static const int64_t page = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
  MappedWindow window;
  if (offset < 0 || size <= 0) return window;
  const int64_t from = offset / page * page;
  const auto length = static_cast<size_t>(offset + size - from);
  void* base = mmap(nullptr, length, PROT_READ, MAP_SHARED, file.fd, static_cast<off_t>(from));
  if (base == MAP_FAILED) return window;
  // Read ahead in order, as a read would be.
  madvise(base, length, MADV_SEQUENTIAL);
  window.base = base;
  window.length = length;
  window.offset = offset;
  window.size = size;
  window.bytes = static_cast<const unsigned char*>(base) + (offset - from);
  return window;
}

namespace {

// What the handler needs, the one piece of state outside the run besides
// the stop signals': a handler can reach nothing else. `resume` is set last
// and cleared first, so the handler never sees a half-armed guard.
struct ReadGuard {
  uintptr_t from;
  uintptr_t to;
  sigjmp_buf* volatile resume;
};

ReadGuard guard;

extern "C" void OnReadFault(int signal_number, siginfo_t* info, void*) {
  sigjmp_buf* resume = guard.resume;
  const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
  if (resume != nullptr && info->si_code > 0 && at >= guard.from && at < guard.to) {
    guard.resume = nullptr;
    siglongjmp(*resume, 1);
  }
  // Not a read of an armed window: the fault ends the process as it would
  // have, and a SIGBUS sent by someone does what it did.
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void InstallReadFaultHandler() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_sigaction = OnReadFault;
    sigemptyset(&action.sa_mask);
    // Not blocked while the handler runs: it leaves by a jump that does not
    // restore the signal mask.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  (void)installed;
}

}  // namespace

void ArmReadGuard(const MappedWindow& window, sigjmp_buf* resume) {
  InstallReadFaultHandler();
  guard.resume = nullptr;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  guard.from = reinterpret_cast<uintptr_t>(window.bytes);
  guard.to = guard.from + static_cast<uintptr_t>(window.size);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  guard.resume = resume;
}

void DisarmReadGuard() {
  guard.resume = nullptr;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}
