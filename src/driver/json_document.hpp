#pragma once

#include <string>

#include "common/failure.hpp"
#include "driver/run.hpp"

// What a run says with --json: one JSON document on one line, in place of
// all its text. What the document holds:
enum class JsonMode {
  kRun,       // the run's result (or how far it got before it failed)
  kCheck,     // the plan a check found, its warnings
  kUpToDate,  // --update found nothing to do
};

// The document of a run, a check or an up-to-date destination, from the
// state as far as it got; `failure` when the run or check ended early.
// Strings that are not valid UTF-8 (file names, labels) have each invalid
// byte replaced by U+FFFD, and their exact bytes in hex beside them (a key
// ending in "_hex").
std::string JsonDocument(const RunState& state, JsonMode mode, const RunFailure* failure);
