#pragma once

// The one way a run ends early. Fail prints the message (a printf format) on
// standard output, flushes it so that no message is ever lost in a buffer,
// and throws RunFailure. main catches it and leaves with its status; on the
// way up, the owners of open and temporary files close and remove them.
struct RunFailure {
  int status;
};

[[noreturn]] void Fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));
