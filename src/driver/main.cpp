#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "common/text.hpp"
#include "driver/json_document.hpp"
#include "driver/report.hpp"
#include "driver/run.hpp"
#include "io/stop.hpp"

int main(int argc, char** argv) {
  if (!OpenStandardStreams()) {
    std::fprintf(stderr, message::kReportUnwritable, std::strerror(EBADF));
    return StatusCode(ExitStatus::kWavError);
  }
  InstallStopHandlers();
  // Whatever ends the run, the owners of its files (the state's among them)
  // close and remove them on the way out.
  RunState state;
  try {
    try {
      return StatusCode(RunEditor(argc, argv, state));
    } catch (const RunFailure& failure) {
      const CommandOptions& o = state.options;
      const std::string text = o.json    ? JsonDocument(state, o.check ? JsonMode::kCheck : JsonMode::kRun, &failure)
                               : o.check ? Printable(failure.message, true)
                                         : failure.message;
      std::fputs(text.c_str(), stdout);
      FlushReport();
      return StatusCode(failure.status);
    }
  } catch (const ReportUnwritable& unwritable) {
    std::fprintf(stderr, message::kReportUnwritable, std::strerror(unwritable.error));
    return StatusCode(ExitStatus::kWavError);
  } catch (const std::bad_alloc&) {
    std::fputs(message::kOutOfMemory, stderr);
    return StatusCode(ExitStatus::kWavError);
  }
}
