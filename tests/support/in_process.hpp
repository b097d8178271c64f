#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "driver/fatal.hpp"

// Runs f with standard output captured. Returns the output and the status a
// refusal ended with, or -1 when f returned normally.
template <class F>
std::pair<std::string, int> Captured(F&& f) {
  int status = -1;
  testing::internal::CaptureStdout();
  try {
    f();
  } catch (const FatalExit& exit) {
    status = exit.status;
  }
  return {testing::internal::GetCapturedStdout(), status};
}
