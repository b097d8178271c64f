#include "driver/fatal.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void Fatal(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
  std::exit(status);
}
