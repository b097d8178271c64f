#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "common/failure.hpp"

// Runs f with standard output captured. Returns the output and the status a
// refusal ended with, or -1 when f returned normally.
template <class F>
std::pair<std::string, int> Captured(F&& f) {
  int status = -1;
  testing::internal::CaptureStdout();
  try {
    f();
  } catch (const RunFailure& failure) {
    std::fputs(failure.message.c_str(), stdout);
    status = StatusCode(failure.status);
  }
  return {testing::internal::GetCapturedStdout(), status};
}
