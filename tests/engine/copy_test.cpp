#include "engine/copy.hpp"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/io_uring.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <random>

#include "dsp/level.hpp"
#include "support/in_process.hpp"
#include "support/instructions.hpp"
#include "support/reference.hpp"
#include "support/run_program.hpp"
#include "support/wav_builder.hpp"

namespace {

// The bytes of samples after a level change, sample by sample as the
// reference computes them; the integer samples clipped are counted.
Bytes LeveledBytes(std::span<const unsigned char> bytes, const AudioFormat& format, double level,
                   int64_t* clipped = nullptr) {
  if (format.type == SampleType::kFloat) {
    std::vector<float> samples = UnpackFloats(bytes);
    for (float& s : samples) s = Leveled(s, level);
    return PackFloats(samples);
  }
  std::vector<int32_t> samples = UnpackSamples(format.bits, bytes);
  for (int32_t& s : samples) s = Leveled(s, level, format.bits, clipped);
  return PackSamples(format.bits, samples);
}

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

// Random formats, levels, offsets and lengths (many across the window's and
// the slots' boundaries, the short copies' limit, and a frame's bytes), each
// made every way: a copy as a run makes it with each instruction set, one
// that reads its source instead of mapping it, one whose writes are made at
// once, and the pass in place over a whole file, whose runs are looked at as
// they are written. Every way gives the reference's bytes and clipped count,
// and no byte outside the copy changes.
TEST_F(StagedCopies, RandomCopiesGiveTheReferencesBytesWhicheverWayTheyAreMade) {
  std::mt19937 random(36);
  for (int round = 0; round < 10; ++round) {
    const int kind = static_cast<int>(random() % 4);
    const AudioFormat format{.rate = 48000,
                             .bits = kind == 0 ? 16 : kind == 1 ? 24 : 32,
                             .channels = static_cast<int>(1 + random() % 6),
                             .type = kind == 3 ? SampleType::kFloat : SampleType::kInteger};
    const int64_t frame_bytes = FrameBytes(format);
    // Every third copy short of where a copy is mapped (256 KiB).
    const int64_t most = (round % 3 == 0 ? 256 * 1024 : 5 * 1024 * 1024) / frame_bytes;
    const auto frames = static_cast<int>(1 + random() % static_cast<uint64_t>(most));
    const auto from = static_cast<int>(random() % 5000);
    const auto to = static_cast<int>(random() % 5000);
    const double level = std::uniform_real_distribution<double>(-30.0, 12.0)(random);
    Bytes samples(static_cast<size_t>((from + frames) * frame_bytes));
    for (unsigned char& b : samples) b = static_cast<unsigned char>(random());
    if (format.type == SampleType::kFloat) {
      // Finite floats (NaNs keep no payload the reference could compare).
      for (size_t i = 3; i < samples.size(); i += 4) samples[i] &= 0x3F;
    }
    const auto wav = [&](std::span<const unsigned char> data) {
      Bytes file = Riff({FormatChunk(format.rate, format.bits, format.channels,
                                     format.type == SampleType::kFloat ? 3 : 1),
                         Chunk("data", Bytes(data.begin(), data.end()))});
      return file;
    };
    WriteFile(source, wav(samples));
    Bytes old(static_cast<size_t>((to + frames + 7) * frame_bytes), 0x5A);
    int64_t want_clipped = 0;
    const Bytes leveled = LeveledBytes(
        std::span(samples).subspan(static_cast<size_t>(from * frame_bytes)), format, level, &want_clipped);
    Bytes want = wav(old);
    const size_t start = want.size() - old.size() + static_cast<size_t>(to * frame_bytes);
    std::copy(leveled.begin(), leveled.end(), want.begin() + static_cast<std::ptrdiff_t>(start));
    const std::string what = std::to_string(format.bits) + (kind == 3 ? " float, " : " bits, ") +
                             std::to_string(format.channels) + " channels, " + std::to_string(frames) +
                             " frames from " + std::to_string(from) + " to " + std::to_string(to) + ", " +
                             std::to_string(level) + " dB";
    // Ways 0 to n - 1: as a run makes it, with each instruction set; n: the
    // source read instead of mapped; n + 1: the writes made at once.
    const std::vector<InstructionSet> sets = AvailableInstructionSets();
    const int n = static_cast<int>(sets.size());
    for (int way = 0; way < n + 2; ++way) {
      WriteFile(destination, wav(old));
      scratch = CopyScratch{};
      if (way == n + 1) scratch.ring_state = -1;
      const FrameCopy copy{.to_frame = to, .from_frame = from, .count = frames, .level_db = level,
                           .instructions = way < n ? sets[static_cast<size_t>(way)] : DetectInstructionSet()};
      const Files f(destination, source);
      if (way == n) {
        StagedCopy staged = StartStagedCopy(f.destination, f.source, format, copy);
        staged.maps = false;
        while (!NextStagedRun(staged, scratch).empty()) {
        }
        EXPECT_TRUE(staged.whole) << what;
      } else {
        EXPECT_EQ(CopyFrames(f.destination, f.source, format, copy, scratch), want_clipped) << what << ", way " << way;
      }
      ASSERT_TRUE(ReadFile(destination) == want) << what << ", way " << way;
    }
    // In place: the source's own frames.
    scratch = CopyScratch{};
    const FileHandle into = OpenRegular(source.c_str(), true);
    const OpenAudio audio{&into, *FindAudio(into), source.c_str()};
    // Every run of results is whole frames, and what is written.
    StagedCopy pass = StartStagedPass(audio, format, from + frames, level, DetectInstructionSet());
    Bytes seen;
    for (auto run = NextStagedRun(pass, scratch); !run.empty(); run = NextStagedRun(pass, scratch)) {
      ASSERT_EQ(run.size() % static_cast<size_t>(frame_bytes), 0u) << what;
      seen.insert(seen.end(), run.begin(), run.end());
    }
    EXPECT_TRUE(pass.whole) << what;
    const Bytes leveled_whole = LeveledBytes(samples, format, level);
    EXPECT_TRUE(seen == leveled_whole) << what << ", the runs seen in place";
    ASSERT_TRUE(ReadFile(source) == wav(leveled_whole)) << what << ", in place";
  }
}

// Where the system refuses the I/O ring (a sandbox's filter, io_uring turned
// off), a long copy makes its writes at once: the same bytes. Where the ring
// is set up but then never says when its writes are done, they may still be
// under way from the stage: the copy fails ("Cannot write wave file") rather
// than write over them and say nothing. Each played in a child whose system
// calls to set up a ring, or to wait for one, are refused.
TEST_F(StagedCopies, WhereTheSystemRefusesTheRingWritesAreMadeAtOnceOrTheCopyFails) {
  const int frames = 1500000;
  const auto input = Ramp(frames, 2, 24, -8388608, 11);
  WriteFile(source, CanonicalWav(48000, 24, 2, input));
  std::vector<int32_t> want(input.size());
  for (size_t i = 0; i < input.size(); ++i) want[i] = Leveled(input[i], -6.0, 24);
  for (const bool set_up : {false, true}) {
    SCOPED_TRACE(set_up ? "waits refused" : "set-up refused");
    WriteFile(destination, CanonicalWav(48000, 24, 2, std::vector<int32_t>(input.size(), 0)));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Refused: setting a ring up, or entering one to wait for completions.
      sock_filter refuse_set_up[] = {
          BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      };
      sock_filter refuse_waits[] = {
          BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_enter, 0, 3),
          BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[3])),
          BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, IORING_ENTER_GETEVENTS, 0, 1),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EIO & SECCOMP_RET_DATA)),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      };
      sock_fprog program{
          .len = static_cast<unsigned short>(set_up ? std::size(refuse_waits) : std::size(refuse_set_up)),
          .filter = set_up ? refuse_waits : refuse_set_up};
      if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        _exit(3);
      }
      if ((OpenWriteRing() != nullptr) != set_up) _exit(4);
      const Files f(destination, source);
      CopyScratch fresh;
      try {
        CopyFrames(f.destination, f.source, AudioFormat{.rate = 48000, .bits = 24, .channels = 2},
                   FrameCopy{.count = frames, .level_db = -6.0, .instructions = DetectInstructionSet()}, fresh);
      } catch (const RunFailure& failure) {
        _exit(set_up && failure.status == ExitStatus::kWavError &&
                      failure.message == "Cannot write wave file " + destination + "!\n"
                  ? 0
                  : 6);
      }
      _exit(set_up ? 7 : fresh.ring_state == -1 ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_EQ(WEXITSTATUS(status), 0) << "3: no filter, 4: a ring or none against the filter, 5: the copy used one, "
                                         "6: another failure, 7: the copy went on";
    if (!set_up) {
      EXPECT_TRUE(DestinationSamples(24) == want);
    }
  }
}

// A plain copy whose move through the pipe stops part way (an error of the
// system's after a first piece that ended within a frame) goes on through
// the stage from there, mapped, to the last byte: the same bytes. Played in
// a child whose later moves out of the source are refused.
TEST_F(StagedCopies, APlainCopyWhoseMoveStopsWithinAFrameIsFinishedThroughTheStage) {
  const int frames = 262144;  // 1.5 MiB: a first move of 1 MiB less the 44 bytes of the header, then the rest
  const auto input = Ramp(frames, 2, 24, -8388608, 13);
  WriteFile(source, CanonicalWav(48000, 24, 2, input));
  WriteFile(destination, CanonicalWav(48000, 24, 2, std::vector<int32_t>(input.size(), 0)));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const Files f(destination, source);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_splice, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(f.from.fd), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[4])),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 1024 * 1024, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EIO & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{.len = std::size(filter), .filter = filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      _exit(3);
    }
    CopyScratch fresh;
    CopyFrames(f.destination, f.source, AudioFormat{.rate = 48000, .bits = 24, .channels = 2},
               FrameCopy{.count = frames}, fresh);
    _exit(fresh.pipe_state == 1 ? 0 : 4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  ASSERT_EQ(WEXITSTATUS(status), 0) << "3: no filter, 4: no pipe";
  EXPECT_TRUE(DestinationSamples(24) == input);
}

}  // namespace
