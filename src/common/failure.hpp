#pragma once

#include <string>

// The one way a run ends early. Fail throws RunFailure with the message (a
// printf format and its values) and the exit status; main catches it, prints
// the message on standard output, flushes it and leaves with the status. On
// the way up, the owners of open and temporary files close and remove them,
// and a caller that has more to say first (a check of the task file) may
// catch it to say it before the message.
struct RunFailure {
  int status;
  std::string message;
};

[[noreturn]] void Fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Prints the failure's message on standard output and flushes it.
void ReportFailure(const RunFailure& failure);
