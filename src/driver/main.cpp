#include <cstdio>

#include "common/failure.hpp"
#include "driver/json_document.hpp"
#include "driver/run.hpp"
#include "io/stop.hpp"

int main(int argc, char** argv) {
  InstallStopHandlers();
  RunState state;
  try {
    return StatusCode(RunEditor(argc, argv, state));
  } catch (const RunFailure& failure) {
    const std::string text =
        state.options.json ? JsonDocument(state, state.options.check ? JsonMode::kCheck : JsonMode::kRun, &failure)
                           : failure.message;
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return StatusCode(failure.status);
  }
}
