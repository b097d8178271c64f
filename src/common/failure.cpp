#include "common/failure.hpp"

#include <cstdarg>
#include <utility>

#include "common/text.hpp"

void Fail(ExitStatus status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatList(format, args);
  va_end(args);
  throw RunFailure{status, std::move(message)};
}
