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

// Forwards an open to the C library's function of that name, unless it
// makes an unnamed file.
template <class... Folder>
int Forward(const char* name, Folder... folder, const char* path, int flags, mode_t mode) {
  if (Unnamed(flags)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  using Open = int (*)(Folder..., const char*, int, ...);
  return reinterpret_cast<Open>(dlsym(RTLD_NEXT, name))(folder..., path, flags, mode);
}

}  // namespace

// The mode is there only with O_CREAT or O_TMPFILE.
#define MODE_OF(flags)                            \
  mode_t mode = 0;                                \
  if ((flags & O_CREAT) != 0 || Unnamed(flags)) { \
    va_list args;                                 \
    va_start(args, flags);                        \
    mode = va_arg(args, mode_t);                  \
    va_end(args);                                 \
  }

extern "C" {

int open(const char* path, int flags, ...) {
  MODE_OF(flags);
  return Forward("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  MODE_OF(flags);
  return Forward("open64", path, flags, mode);
}

int openat(int folder, const char* path, int flags, ...) {
  MODE_OF(flags);
  return Forward<int>("openat", folder, path, flags, mode);
}

int openat64(int folder, const char* path, int flags, ...) {
  MODE_OF(flags);
  return Forward<int>("openat64", folder, path, flags, mode);
}

// The forms _FORTIFY_SOURCE calls where no mode is given: they are the
// plain ones, but for a check of their flags.
int __open_2(const char* path, int flags) { return Forward("open", path, flags, 0); }
int __open64_2(const char* path, int flags) { return Forward("open64", path, flags, 0); }
int __openat_2(int folder, const char* path, int flags) { return Forward<int>("openat", folder, path, flags, 0); }
int __openat64_2(int folder, const char* path, int flags) { return Forward<int>("openat64", folder, path, flags, 0); }
}
