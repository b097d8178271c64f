#pragma once

// Standard output takes the report; when it cannot (full, closed, failing),
// the run must not end as if it had been written.

// A report standard output did not take, with the system's reason: the run
// ends with status 2 and says so on standard error. Thrown before the
// destination is moved into place, it keeps the old destination.
struct ReportUnwritable {
  int error = 0;
};

// Flushes what the run has printed; throws ReportUnwritable when standard
// output failed to take it, now or before.
void FlushReport();

// At the start of a run, before any file is opened: a closed standard input
// or standard error is opened on /dev/null, so that no file the run opens
// takes its number. False when standard output is closed: the report would
// go into the first file the run opened.
bool OpenStandardStreams();
