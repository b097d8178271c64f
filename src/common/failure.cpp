#include "common/failure.hpp"

#include <cstdarg>
#include <cstdio>

void Fail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string message(static_cast<size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) std::vsnprintf(message.data(), message.size() + 1, format, args);
  va_end(args);
  throw RunFailure{status, std::move(message)};
}

void ReportFailure(const RunFailure& failure) {
  std::fputs(failure.message.c_str(), stdout);
  std::fflush(stdout);
}
