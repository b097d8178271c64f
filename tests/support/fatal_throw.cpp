#include "driver/fatal.hpp"

#include <cstdarg>
#include <cstdio>

// Linked instead of the exiting variant into tests and fuzz targets: the
// message still goes to standard output, and the status travels as an
// exception so that one process can observe many refusals.
void Fatal(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
  throw FatalExit{status};
}
