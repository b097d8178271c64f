// Loaded with LD_PRELOAD into the program under test: every open of an
// unnamed file (O_TMPFILE) fails as on a file system without them, so that
// a run builds its destination under a hidden name from the start. All other
// opens go through unchanged.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>

#include <cstdarg>

namespace {

bool Unnamed(int flags) { return (flags & O_TMPFILE) == O_TMPFILE; }

bool TakesMode(int flags) { return (flags & O_CREAT) != 0 || Unnamed(flags); }

template <class Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using Open = int (*)(const char*, int, ...);
using OpenAt = int (*)(int, const char*, int, ...);
using OpenChecked = int (*)(const char*, int);
using OpenAtChecked = int (*)(int, const char*, int);

int Refused() {
  errno = EOPNOTSUPP;
  return -1;
}

int Forward(const char* name, const char* path, int flags, mode_t mode) {
  if (Unnamed(flags)) return Refused();
  return Next<Open>(name)(path, flags, mode);
}

int ForwardAt(const char* name, int folder, const char* path, int flags, mode_t mode) {
  if (Unnamed(flags)) return Refused();
  return Next<OpenAt>(name)(folder, path, flags, mode);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (TakesMode(flags)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  return Forward("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (TakesMode(flags)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  return Forward("open64", path, flags, mode);
}

int openat(int folder, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (TakesMode(flags)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  return ForwardAt("openat", folder, path, flags, mode);
}

int openat64(int folder, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (TakesMode(flags)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  return ForwardAt("openat64", folder, path, flags, mode);
}

// The forms _FORTIFY_SOURCE calls where the mode is not given.
int __open_2(const char* path, int flags) {
  if (Unnamed(flags)) return Refused();
  return Next<OpenChecked>("__open_2")(path, flags);
}

int __open64_2(const char* path, int flags) {
  if (Unnamed(flags)) return Refused();
  return Next<OpenChecked>("__open64_2")(path, flags);
}

int __openat_2(int folder, const char* path, int flags) {
  if (Unnamed(flags)) return Refused();
  return Next<OpenAtChecked>("__openat_2")(folder, path, flags);
}

int __openat64_2(int folder, const char* path, int flags) {
  if (Unnamed(flags)) return Refused();
  return Next<OpenAtChecked>("__openat64_2")(folder, path, flags);
}
}
