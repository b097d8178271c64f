#include "common/failure.hpp"

#include <cstdarg>
#include <cstdio>

void Fail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
  throw RunFailure{status};
}
