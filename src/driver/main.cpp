#include <memory>

#include "driver/run_state.hpp"

int main(int argc, char** argv) {
  // The run state is some hundred kilobytes of fixed-size arrays.
  auto state = std::make_unique<RunState>();
  return RunEditor(argc, argv, *state);
}
