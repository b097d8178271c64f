#pragma once

#include <string>

// How a run ends: its exit status.
enum class ExitStatus : int {
  kSuccess = 0,
  kTaskError = 1,     // the help text, the command line, the task file, the sources' formats, an edit
  kWavError = 2,      // a WAV file that cannot be read, created or written
  kCheckWarnings = 3  // a check that found likely mistakes
};

inline int StatusCode(ExitStatus status) { return static_cast<int>(status); }

// The one way a run ends early. Fail throws RunFailure with the message (a
// printf format from the catalogue and its values) and the exit status; main
// catches it, prints the message on standard output, flushes it and leaves
// with the status. On the way up, the owners of open and temporary files
// close and remove them, and a caller that has more to say first (a check of
// the task file) may catch it to say it before the message.
struct RunFailure {
  ExitStatus status;
  std::string message;
};

[[noreturn]] void Fail(ExitStatus status, const char* format, ...) __attribute__((format(printf, 2, 3)));
