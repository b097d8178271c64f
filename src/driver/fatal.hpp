#pragma once

// Ends the run: prints the message (a printf format) on standard output,
// flushes it and leaves with the exit status. Every refusal of the program
// goes through here, so no message is ever lost in a buffer.
[[noreturn]] void Fatal(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// What the in-process variant of Fatal throws (tests and fuzz targets).
struct FatalExit {
  int status;
};
