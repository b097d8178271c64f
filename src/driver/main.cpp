#include <cstdio>

#include "common/failure.hpp"
#include "driver/run.hpp"
#include "io/stop.hpp"

int main(int argc, char** argv) {
  InstallStopHandlers();
  RunState state;
  try {
    return StatusCode(RunEditor(argc, argv, state));
  } catch (const RunFailure& failure) {
    std::fputs(failure.message.c_str(), stdout);
    std::fflush(stdout);
    return StatusCode(failure.status);
  }
}
