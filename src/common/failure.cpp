#include "common/failure.hpp"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "common/text.hpp"

void Fail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatList(format, args);
  va_end(args);
  throw RunFailure{status, std::move(message)};
}

void ReportFailure(const RunFailure& failure) {
  std::fputs(failure.message.c_str(), stdout);
  std::fflush(stdout);
}
