// Destinations past 2 GB and 4 GB: an RF64 header, and every write and read
// at its offset. The file is mostly silence, reserved on disk at once, so the
// test needs about 4.3 GB free and skips, saying so, where that is not there.
#include <sys/statvfs.h>

#include <fstream>

#include "e2e/e2e.hpp"
#include "support/chunks.hpp"
#include "support/reference.hpp"

namespace {

using LargeDestination = EndToEnd;

Bytes ReadRange(const std::filesystem::path& path, int64_t offset, int64_t count) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(offset);
  Bytes out(static_cast<size_t>(count));
  in.read(reinterpret_cast<char*>(out.data()), count);
  out.resize(static_cast<size_t>(in.gcount()));
  return out;
}

TEST_F(LargeDestination, PastFourGigabytesWithAnRf64Header) {
  constexpr int kFrame = 6;               // 24-bit stereo
  constexpr int64_t kInsert = 720000000;  // frame 720,000,000 lies at byte 4,320,000,080
  struct statvfs disk {};
  const int64_t needed = (kInsert + 20000) * kFrame + (int64_t{512} << 20);
  if (statvfs(dir.path.c_str(), &disk) != 0 || static_cast<int64_t>(disk.f_bavail) * disk.f_frsize < needed) {
    GTEST_SKIP() << "a destination past 4 GB needs " << needed / 1000000 << " MB free disk in "
                 << dir.path.parent_path();
  }
  const auto a = Ramp(4000, 2, 24, -3000000, 1777);
  const auto b = Ramp(6000, 2, 24, 2500000, -1301);
  Source("a.wav", 48000, 24, 2, a);
  Source("b.wav", 48000, 24, 2, b);
  // b from frame 1000 lands past 4 GB, a follows it with a crossfade, both
  // past 4 GB: 720,000,000 + 5,000 + 3,000 frames.
  Task(
      "using_samples\nsrc\ta.wav\nmark\tStart\nsrc\tb.wav\nxin\t1000\nins\t720000000\nmark\tPast 4 GB\nsrc\ta.wav\n"
      "xin\t1000\nxf\t5\t2\ndest\tbig.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  const int64_t frames = kInsert + 5000 + 3000;
  EXPECT_EQ(r.output.substr(r.output.find("Built")),
            Report("big.wav", std::to_string(frames) + " samples", 24, 2, 48000));

  // The header, field by field, and the file's size.
  const auto path = dir / "big.wav";
  const int64_t data = frames * kFrame;
  // The markers follow the samples: a cue chunk of 2 points, a LIST of 2 labels.
  const int64_t markers = 8 + 4 + 2 * 24 + 8 + 4 + (8 + 4 + 6) + (8 + 4 + 10);
  EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(path)), 80 + data + markers);
  const Bytes header = ReadRange(path, 0, 80);
  ASSERT_EQ(header.size(), 80u);
  EXPECT_EQ(Hex(std::span(header).first(20)), "52 46 36 34 FF FF FF FF 57 41 56 45 64 73 36 34 1C 00 00 00");
  EXPECT_EQ(Get64(header, 20), static_cast<uint64_t>(data + markers + 72));
  EXPECT_EQ(Get64(header, 28), static_cast<uint64_t>(data));
  EXPECT_EQ(Get64(header, 36), static_cast<uint64_t>(frames));
  EXPECT_EQ(Hex(std::span(header).subspan(44, 4)), "00 00 00 00");
  const Bytes format = FormatChunk(48000, 24, 2);
  EXPECT_EQ(Hex(std::span(header).subspan(48, 24)), Hex(format));
  EXPECT_EQ(Hex(std::span(header).subspan(72, 8)), "64 61 74 61 FF FF FF FF");

  // Past 4 GB, read by a chunk reader of the tests' own.
  Bytes tail = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  const Bytes after = ReadRange(path, 80 + data, markers);
  tail.insert(tail.end(), after.begin(), after.end());
  const auto cues = CuePointsOf(tail);
  ASSERT_EQ(cues.size(), 2u);
  EXPECT_EQ(cues[0].position, 0u);
  EXPECT_EQ(cues[0].label, "Start");
  EXPECT_EQ(cues[1].position, static_cast<uint32_t>(kInsert));
  EXPECT_EQ(cues[1].label, "Past 4 GB");

  // What lies where: a at the start, silence, b past 4 GB, and a again after
  // the crossfade from b into it.
  const auto samples_at = [&](int64_t frame, int count) {
    return UnpackSamples(24, ReadRange(path, 80 + frame * kFrame, int64_t{count} * kFrame));
  };
  EXPECT_EQ(samples_at(0, 4000), a);
  EXPECT_EQ(samples_at(kInsert - 100, 100), std::vector<int32_t>(200, 0));
  std::vector<int32_t> before = Frames(b, 2, 1000, 5000);
  EXPECT_EQ(samples_at(kInsert, 5000 - 120), Frames(b, 2, 1000, 5000 - 120));
  const auto fade = ReferenceCrossfade(
      before, a, {.insert = 5000, .read_start = 1000, .width = 240, .curve = 2, .channels = 2, .bits = 24});
  EXPECT_EQ(samples_at(kInsert + 5000 - 120, 240), fade);
  EXPECT_EQ(samples_at(kInsert + 5000 + 120, 3000 - 120), Frames(a, 2, 1120, 2880));

  // Other readers take the length from the ds64 chunk (soxi would read the
  // whole file for it, most of a minute).
  if (!HaveCommand("ffprobe")) GTEST_SKIP() << "ffprobe not installed: the read-back of the length is skipped";
  EXPECT_EQ(RunCommand(dir.path, {"ffprobe", "-v", "error", "-show_entries", "stream=duration_ts", "-of",
                                  "default=nw=1:nk=1", "big.wav"})
                .output,
            std::to_string(frames) + "\n");
  if (!HaveCommand("sndfile-info")) GTEST_SKIP() << "sndfile-info not installed: its read-back is skipped";
  EXPECT_NE(RunCommand(dir.path, {"sndfile-info", "big.wav"}).output.find("Frames      : " + std::to_string(frames)),
            std::string::npos);
}

}  // namespace
