#include "common/failure.hpp"
#include "driver/run_state.hpp"
#include "wav/stop.hpp"

int main(int argc, char** argv) {
  InstallStopHandlers();
  RunState state;
  try {
    return RunEditor(argc, argv, state);
  } catch (const RunFailure& failure) {
    ReportFailure(failure);
    return failure.status;
  }
}
