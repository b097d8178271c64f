#include "engine/copy.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "dsp/level.hpp"
#include "support/in_process.hpp"
#include "support/instructions.hpp"
#include "support/reference.hpp"
#include "support/run_program.hpp"
#include "support/wav_builder.hpp"

namespace {

// Copies that change samples go through the stage: long ones read their
// source where it lies (mapped a window at a time) and hand their writes to
// the ring, short ones read and write at once. Against the plain reference,
// sample by sample, with the clipped samples counted.
class StagedCopies : public testing::Test {
 protected:
  TempDir dir;
  std::string destination = (dir / "dest.wav").string();
  std::string source = (dir / "source.wav").string();
  CopyScratch scratch;

  // The destination and the source open, their samples as measured before
  // anything else happens to them.
  struct Files {
    FileHandle into;
    FileHandle from;
    OpenAudio destination;
    OpenAudio source;

    Files(const std::string& destination_path, const std::string& source_path)
        : into(OpenRegular(destination_path.c_str(), true)), from(OpenRegular(source_path.c_str(), false)) {
      destination = OpenAudio{&into, *FindAudio(into), destination_path.c_str()};
      source = OpenAudio{&from, *FindAudio(from), source_path.c_str()};
    }
  };
  std::vector<int32_t> DestinationSamples(int bits) {
    const Bytes bytes = ReadFile(destination);
    return UnpackSamples(bits, std::span(bytes).subspan(44));
  }
};

TEST_F(StagedCopies, LevelsOfLongAndShortCopiesGiveTheReferencesBytesOnEveryPath) {
  // Lengths about the window, the slots and the short copies' limit, at
  // frame offsets that put the slots' boundaries anywhere in a frame.
  const struct {
    int bits;
    int channels;
    int frames;
    int to;
    int from;
    double level;
  } cases[] = {{24, 2, 700001, 4099, 17, -6.0}, {16, 2, 300007, 1, 3, 4.5}, {24, 1, 900000, 333, 0, -0.5},
               {16, 1, 40000, 7, 11, -6.0},     {24, 6, 150001, 5, 2, 9.0}, {16, 2, 1200000, 0, 77, -20.0}};
  for (const auto& c : cases) {
    const auto input = Ramp(c.frames + c.from, c.channels, c.bits, -(1 << (c.bits - 1)), 40503);
    WriteFile(source, CanonicalWav(48000, c.bits, c.channels, input));
    // Every instruction set; the widest also with the writes made at once,
    // as where the system offers no ring.
    std::vector<InstructionSet> sets = AvailableInstructionSets();
    sets.push_back(sets.back());
    for (size_t k = 0; k < sets.size(); ++k) {
      const InstructionSet set = sets[k];
      scratch = CopyScratch{};
      if (k + 1 == sets.size()) scratch.ring_state = -1;
      WriteFile(destination, CanonicalWav(48000, c.bits, c.channels, Ramp(c.to + c.frames + 9, c.channels, c.bits)));
      const auto old = DestinationSamples(c.bits);
      const Files f(destination, source);
      const AudioFormat format{.rate = 48000, .bits = c.bits, .channels = c.channels};
      const int64_t clipped = CopyFrames(
          f.destination, f.source, format,
          FrameCopy{
              .to_frame = c.to, .from_frame = c.from, .count = c.frames, .level_db = c.level, .instructions = set},
          scratch);
      const auto out = DestinationSamples(c.bits);
      int64_t want_clipped = 0;
      const auto channels = static_cast<size_t>(c.channels);
      for (size_t i = 0; i < out.size(); ++i) {
        const size_t frame = i / channels;
        const bool copied = frame >= static_cast<size_t>(c.to) && frame < static_cast<size_t>(c.to + c.frames);
        const int32_t want =
            copied ? Leveled(input[i + (static_cast<size_t>(c.from) - static_cast<size_t>(c.to)) * channels], c.level,
                             c.bits, &want_clipped)
                   : old[i];
        ASSERT_EQ(out[i], want) << c.bits << " bits, " << c.channels << " channels, " << c.frames << " frames, "
                                << NameOf(set) << ", sample " << i;
      }
      EXPECT_EQ(clipped, want_clipped) << c.frames << " frames, " << NameOf(set);
    }
  }
}

// The pass a run makes over its finished destination changes it in place,
// run by run, and looks at every run of results as it is written.
TEST_F(StagedCopies, InPlaceRunByRunTheRunsAreWhatIsWritten) {
  for (const int frames : {1000, 600000}) {
    const auto input = Ramp(frames + 10, 2, 24, -8388608, 65537);
    WriteFile(destination, CanonicalWav(48000, 24, 2, input));
    const FileHandle into = OpenRegular(destination.c_str(), true);
    const OpenAudio audio{&into, *FindAudio(into), destination.c_str()};
    const AudioFormat format{.rate = 48000, .bits = 24, .channels = 2};
    StagedCopy pass = StartStagedCopy(
        audio, audio, format,
        FrameCopy{
            .to_frame = 5, .from_frame = 5, .count = frames, .level_db = -3.5, .instructions = DetectInstructionSet()});
    Bytes seen;
    for (auto run = NextStagedRun(pass, scratch); !run.empty(); run = NextStagedRun(pass, scratch)) {
      ASSERT_EQ(run.size() % 6, 0u);
      seen.insert(seen.end(), run.begin(), run.end());
    }
    EXPECT_TRUE(pass.whole);
    const Bytes bytes = ReadFile(destination);
    const auto out = UnpackSamples(24, std::span(bytes).subspan(44));
    for (size_t i = 0; i < out.size(); ++i) {
      const bool changed = i >= 10 && i < static_cast<size_t>(frames + 5) * 2;
      ASSERT_EQ(out[i], changed ? Leveled(input[i], -3.5, 24) : input[i]) << frames << " frames, sample " << i;
    }
    EXPECT_EQ(seen, Bytes(bytes.begin() + 44 + 30, bytes.begin() + 44 + 30 + static_cast<long>(frames) * 6));
  }
}

// A source cut short after it was measured, under a copy that maps it: the
// pages past its new end fault instead of reading short, the copy carries on
// with silence and the run ends with "Cannot read wave file", never with a
// crash. A cut within the copy's last page faults nowhere (the page reads as
// zeros past the end): the copy finds it all the same.
TEST_F(StagedCopies, ASourceCutShortUnderAMappedCopyIsSilenceAndAFailure) {
  const int frames = 500000;
  const auto input = Ramp(frames, 2, 16, -32768, 7919);
  const Shape fade{.first = 0, .frames = frames, .fade_in = 1000, .gain = GainOf(-2.0)};
  for (const int64_t kept : {int64_t{100003} * 4, int64_t{frames} * 4 - 100}) {
    for (const bool shaped : {false, true}) {
      WriteFile(source, CanonicalWav(44100, 16, 2, input));
      WriteFile(destination, CanonicalWav(44100, 16, 2, std::vector<int32_t>(frames * 2, 99)));
      const Files f(destination, source);
      ASSERT_EQ(truncate(source.c_str(), static_cast<off_t>(44 + kept)), 0);
      const AudioFormat format{.rate = 44100, .bits = 16, .channels = 2};
      const FrameCopy copy{.count = frames, .level_db = -2.0, .instructions = DetectInstructionSet()};
      auto [output, status] = Captured([&] {
        if (shaped) {
          ShapeFrames(f.destination, f.source, format, copy, fade, scratch);
        } else {
          CopyFrames(f.destination, f.source, format, copy, scratch);
        }
      });
      EXPECT_EQ(status, 2);
      EXPECT_EQ(output, "Cannot read wave file " + source + "!\n");
      const auto out = DestinationSamples(16);
      ASSERT_EQ(out.size(), input.size());
      const auto whole_frames = static_cast<size_t>(kept / 4);
      for (size_t i = 0; i < out.size(); ++i) {
        if (i / 2 < whole_frames && (!shaped || i / 2 >= 1000)) {
          ASSERT_EQ(out[i], Leveled(input[i], -2.0, 16)) << kept << (shaped ? " shaped" : "") << ", sample " << i;
        } else if (i / 2 >= whole_frames) {
          ASSERT_EQ(out[i], 0) << kept << (shaped ? " shaped" : "") << ", sample " << i;
        }
      }
    }
  }
}

}  // namespace
