// The review of warnings that only a built destination can show: with
// --strict such a warning fails the run before the destination is moved into
// place, the old one kept; without, it is said and the run goes on.
#include "driver/run.hpp"

#include <gtest/gtest.h>

#include "support/run_program.hpp"
#include "support/wav_builder.hpp"

namespace {

TEST(BuiltWarnings, FailAStrictRunBeforeItsDestinationReplacesTheOldOne) {
  TempDir dir;
  const Bytes old(100, 0x5A);
  WriteFile(dir / "out.wav", old);
  const AudioFormat format{.rate = 48000, .bits = 24, .channels = 2};
  for (const bool strict : {true, false}) {
    for (const bool json : {false, true}) {
      RunState state;
      state.options.strict = strict;
      state.options.json = json;
      state.destination =
          CreateDestination((dir / "out.wav").string(), DestinationLayout{.format = format, .frames = 480});
      // A warning of no line of the task file, and one of a line.
      state.built_warnings = {{0, "the programme is 3.0 LU below its target"}, {4, "task 1 clips 12 samples"}};
      testing::internal::CaptureStderr();
      int status = 0;
      try {
        ReviewWarnings(state, state.built_warnings, !state.built_warnings.empty());
      } catch (const RunFailure& failure) {
        status = StatusCode(failure.status);
        EXPECT_EQ(failure.message, "Warnings refuse the run with --strict\n");
      }
      EXPECT_EQ(
          testing::internal::GetCapturedStderr(),
          json ? ""
               : "wavsplice: the programme is 3.0 LU below its target\nwavsplice: line 4: task 1 clips 12 samples\n");
      EXPECT_EQ(state.warnings.size(), json ? 2u : 0u);
      EXPECT_EQ(status, strict ? 3 : 0);
      if (!strict) continue;
      // The run ends here: its destination goes unplaced.
      state = RunState{};
      EXPECT_EQ(ReadFile(dir / "out.wav"), old);
      EXPECT_EQ(FilesIn(dir.path), std::vector<std::string>{"out.wav"});
    }
  }
}

}  // namespace
