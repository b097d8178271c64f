#include "engine/destination.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "engine/copy.hpp"
#include "io/file.hpp"
#include "support/in_process.hpp"
#include "support/reference.hpp"
#include "support/run_program.hpp"
#include "support/wav_builder.hpp"
#include "wav/header.hpp"

namespace {

class DestinationWriting : public testing::Test {
 protected:
  TempDir dir;
  std::string destination = (dir / "dest.wav").string();
  std::string source = (dir / "source.wav").string();

  // A destination of `frames` frames of silence.
  void MakeDestination(int bits, int channels, int frames) {
    const AudioFormat format{.rate = 44100, .bits = bits, .channels = channels};
    WriteHeader(destination.c_str(), format, frames);
    Silence(format, 0, frames);
  }
  void Silence(const AudioFormat& format, int start, int count, const std::string& path = "") {
    const std::string target = path.empty() ? destination : path;
    const FileHandle file = OpenRegular(target.c_str(), true);
    WriteSilence(file, target.c_str(), format, start, count);
  }
  static AudioFormat Format(int bytes_per_sample, int channels) {
    return AudioFormat{.rate = 44100, .bits = bytes_per_sample * 8, .channels = channels};
  }
  // Copies with a scratch that moves plain copies through its pipe, or one
  // that moves everything through its buffer (pipe_state -1).
  CopyScratch scratch;
  void Copy(const std::string& from, int to_frame, int bytes_per_sample, double level, int channels, int count,
            int from_frame) {
    const FileHandle into = OpenRegular(destination.c_str(), true);
    const FileHandle source_file = OpenRegular(from.c_str(), false);
    ASSERT_TRUE(into.IsOpen() && source_file.IsOpen());
    const auto into_audio = FindAudio(into);
    const auto source_audio = FindAudio(source_file);
    ASSERT_TRUE(into_audio && source_audio);
    CopyFrames(OpenAudio{&into, *into_audio, destination.c_str()}, OpenAudio{&source_file, *source_audio, from.c_str()},
               Format(bytes_per_sample, channels),
               FrameCopy{.to_frame = to_frame, .from_frame = from_frame, .count = count, .level_db = level}, scratch);
  }
  std::vector<int32_t> DestinationSamples(int bits) {
    const Bytes bytes = ReadFile(destination);
    return UnpackSamples(bits, std::span(bytes).subspan(44));
  }
};

TEST_F(DestinationWriting, PadWritesSilenceOverOldContentInBlocks) {
  for (const int frames : {1024, 1025, 2500}) {
    WriteFile(destination, CanonicalWav(44100, 24, 2, Ramp(3000, 2, 24)));
    Silence(Format(3, 2), 100, frames);
    const auto samples = DestinationSamples(24);
    const auto original = Ramp(3000, 2, 24);
    ASSERT_EQ(samples.size(), std::max<size_t>(6000, (100 + frames) * 2u));
    for (size_t i = 0; i < samples.size(); ++i) {
      const bool silenced = i >= 200 && i < static_cast<size_t>(100 + frames) * 2;
      ASSERT_EQ(samples[i], silenced ? 0 : original[i]) << frames << " at " << i;
    }
  }
}

TEST_F(DestinationWriting, InsertCopiesRunsOfAnyLengthToTheirFrame) {
  const auto input = Ramp(300000, 2, 16, -20000, 7);
  WriteFile(source, CanonicalWav(44100, 16, 2, input));
  // Through the pipe and through the buffer, short and longer than a run.
  for (const int pipe_state : {0, -1}) {
    for (const int frames : {1, 1024, 1025, 2500, 299000}) {
      scratch = CopyScratch{};
      scratch.pipe_state = pipe_state;
      MakeDestination(16, 2, frames + 400);
      Copy(source, 300, 2, 0.0, 2, frames, 17);
      const auto out = DestinationSamples(16);
      ASSERT_EQ(out.size(), (frames + 400) * 2u);
      for (int f = 0; f < frames + 400; ++f) {
        const bool copied = f >= 300 && f < 300 + frames;
        for (int c = 0; c < 2; ++c) {
          const int32_t want = copied ? input[(f - 300 + 17) * 2 + c] : 0;
          ASSERT_EQ(out[f * 2 + c], want) << frames << " frame " << f << ", pipe " << pipe_state;
        }
      }
    }
  }
}

TEST_F(DestinationWriting, WritingBeyondTheEndExtendsTheFileWithZeros) {
  WriteFile(source, CanonicalWav(44100, 24, 1, Ramp(10, 1, 24, 100)));
  MakeDestination(24, 1, 4);
  Copy(source, 8, 3, 0.0, 1, 3, 0);
  EXPECT_EQ(DestinationSamples(24), (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 0, 0, 100, 101, 102}));
}

TEST_F(DestinationWriting, LevelZeroCopiesBytesUnchangedAndOtherLevelsScale) {
  const auto input = Ramp(2000, 1, 16, -30001, 31);
  WriteFile(source, CanonicalWav(44100, 16, 1, input));
  for (const double level : {0.0, -0.0}) {
    MakeDestination(16, 1, 2000);
    Copy(source, 0, 2, level, 1, 2000, 0);
    EXPECT_EQ(DestinationSamples(16), input);
  }
  MakeDestination(16, 1, 2000);
  Copy(source, 0, 2, -6.0, 1, 2000, 0);
  const auto out = DestinationSamples(16);
  for (size_t i = 0; i < input.size(); ++i) ASSERT_EQ(out[i], Leveled(input[i], -6.0, 16)) << i;
}

TEST_F(DestinationWriting, FramesASourceCannotDeliverAreSilenceAndFailTheRun) {
  WriteFile(source, CanonicalWav(44100, 16, 2, Ramp(10, 2, 16, 500)));
  WriteFile(destination, CanonicalWav(44100, 16, 2, Ramp(20, 2, 16, -900)));
  auto [output, status] = Captured([&] { Copy(source, 2, 2, 0.0, 2, 12, 6); });
  EXPECT_EQ(status, 2);
  EXPECT_EQ(output, "Cannot read wave file " + source + "!\n");
  const auto out = DestinationSamples(16);
  const auto src = Ramp(10, 2, 16, 500);
  const auto old = Ramp(20, 2, 16, -900);
  for (int f = 0; f < 20; ++f) {
    for (int c = 0; c < 2; ++c) {
      int32_t want = old[f * 2 + c];
      if (f >= 2 && f < 14) want = f - 2 + 6 < 10 ? src[(f - 2 + 6) * 2 + c] : 0;
      EXPECT_EQ(out[f * 2 + c], want) << f;
    }
  }
}

TEST_F(DestinationWriting, FailuresEndTheRunWithStatus2) {
  WriteFile(source, CanonicalWav(44100, 16, 1, Ramp(4, 1, 16)));
  const std::string missing = (dir / "missing.wav").string();

  // No "data" tag: refused even when there is nothing to write.
  WriteFile(dir / "plain.wav", Bytes(100, 'x'));
  const std::string plain = (dir / "plain.wav").string();
  auto [output, status] = Captured([&] { Silence(Format(2, 1), 0, 0, plain); });
  EXPECT_EQ(status, 2);
  EXPECT_EQ(output, "Can't find data block in wave file!\n");
}

TEST_F(DestinationWriting, SoxReadsWhatTheWritersBuild) {
  if (!HaveSox()) GTEST_SKIP() << "sox/soxi not installed: the independent read-back is skipped";
  WriteFile(source, CanonicalWav(48000, 24, 2, Ramp(3000, 2, 24, 1, 2001)));
  MakeDestination(24, 2, 2500);
  // MakeDestination writes 44100 Hz; rewrite the header for 48 kHz 24-bit.
  const AudioFormat format{.rate = 48000, .bits = 24, .channels = 2};
  WriteHeader(destination.c_str(), format, 2500);
  Silence(format, 0, 2500);
  Copy(source, 1000, 3, -3.0, 2, 1500, 700);
  auto info = RunCommand(dir.path, {"soxi", "-r", "dest.wav"});
  EXPECT_EQ(info.output, "48000\n");
  info = RunCommand(dir.path, {"soxi", "-c", "dest.wav"});
  EXPECT_EQ(info.output, "2\n");
  info = RunCommand(dir.path, {"soxi", "-b", "dest.wav"});
  EXPECT_EQ(info.output, "24\n");
  info = RunCommand(dir.path, {"soxi", "-s", "dest.wav"});
  EXPECT_EQ(info.output, "2500\n");
  // sox decodes the same samples as the test's own decoder.
  auto raw = RunCommand(dir.path, {"sox", "-D", "dest.wav", "-t", "s24", "dest.raw"});
  ASSERT_EQ(raw.status, 0) << raw.errors;
  const Bytes bytes = ReadFile(destination);
  EXPECT_EQ(ReadFile(dir / "dest.raw"), Bytes(bytes.begin() + 44, bytes.end()));
}

}  // namespace
