// Files as everyday tools write them: metadata before and after the samples,
// words like "data" inside it, bext, RF64, extensible format chunks. Made here
// by ffmpeg, sox and libsndfile's tools, read back by sox as the oracle.
#include "e2e/e2e.hpp"

namespace {

struct Maker {
  const char* name;
  int bits;
  int channels;
  std::vector<std::string> command;  // "IN" and "OUT" stand for the files
};

using RealWorldFiles = EndToEnd;

// The file every maker starts from: a ramp over the full scale.
std::string Base(int bits, int channels) {
  return "base" + std::to_string(bits) + "-" + std::to_string(channels) + ".wav";
}

TEST_F(RealWorldFiles, SplicedAsSoxReadsThem) {
  for (const char* tool : {"sox", "ffmpeg", "sndfile-metadata-set"}) {
    if (!HaveCommand(tool)) GTEST_SKIP() << tool << " not installed: the real-world file corpus is skipped";
  }
  const Maker makers[] = {
      {"ffmpeg-title-24.wav", 24, 2,
       {"ffmpeg", "-loglevel", "error", "-i", "IN", "-c:a", "pcm_s24le", "-metadata", "title=Metadata test",
        "-metadata", "comment=the data fmt here", "OUT"}},
      {"ffmpeg-comment-16.wav", 16, 1,
       {"ffmpeg", "-loglevel", "error", "-i", "IN", "-c:a", "pcm_s16le", "-metadata", "title=data",
        "-metadata", "comment=a data chunk", "OUT"}},
      {"ffmpeg-bext-16.wav", 16, 2,
       {"ffmpeg", "-loglevel", "error", "-i", "IN", "-c:a", "pcm_s16le", "-write_bext", "1", "-metadata",
        "title=data", "-metadata", "encoded_by=fmt data", "OUT"}},
      {"ffmpeg-rf64-24.wav", 24, 2,
       {"ffmpeg", "-loglevel", "error", "-i", "IN", "-c:a", "pcm_s24le", "-rf64", "always", "-metadata",
        "title=data", "OUT"}},
      {"sndfile-list-16.wav", 16, 2,
       {"sndfile-metadata-set", "--str-title", "A data title", "--str-comment", "fmt data", "IN", "OUT"}},
      {"sndfile-bext-24.wav", 24, 1,
       {"sndfile-metadata-set", "--bext-description", "bext data", "--str-title", "x data", "IN", "OUT"}},
      {"sox-extensible-24.wav", 24, 2, {"sox", "IN", "-b", "24", "OUT"}},
  };
  for (const int bits : {16, 24}) {
    for (const int channels : {1, 2}) {
      const int full = bits == 16 ? 32767 : 8388607;
      Source(Base(bits, channels), 44100, bits, channels, Ramp(3000, channels, bits, -full, full / 1400));
    }
  }

  for (const Maker& m : makers) {
    std::vector<std::string> argv;
    for (const std::string& a : m.command) argv.push_back(a == "IN" ? Base(m.bits, m.channels) : a == "OUT" ? m.name : a);
    const auto made = RunCommand(dir.path, argv);
    ASSERT_EQ(made.status, 0) << m.name << ": " << made.output << made.errors;
    const auto read = RunCommand(dir.path, {"sox", m.name, "-t", "raw", "-"});
    ASSERT_EQ(read.status, 0) << m.name << ": " << read.errors;
    const Bytes raw(read.output.begin(), read.output.end());
    ASSERT_EQ(raw.size(), size_t{3000} * static_cast<size_t>(m.bits / 8 * m.channels)) << m.name;
    const Bytes canonical = CanonicalWav(44100, m.bits, m.channels, UnpackSamples(m.bits, raw));
    WriteFile(dir / "canonical.wav", canonical);

    // The whole file alone: exactly the samples sox reads, no metadata.
    Task(std::string("src\t") + m.name + "\ndest\twhole.wav\n");
    auto r = Run();
    ASSERT_EQ(r.status, 0) << m.name << "\n" << r.output;
    EXPECT_EQ(ReadFile(dir / "whole.wav"), canonical) << m.name;

    // A segment, a level change, and crossfades whose source windows run
    // past the last frame: the same bytes as from the canonical copy.
    const auto edit = [&](const std::string& source) {
      Task("using_samples\nsrc\t" + source + "\nxout\t2500\nlvl\t-4.5\nsrc\t" + source +
           "\nxin\t2990\nins\t2000\nxf\t4\t2\nsrc\t" + source +
           "\nxin\t300\nxout\t900\nins\t2600\nlvl\t3\nxf\t9\t1\ndest\tedit.wav\n");
      const auto result = Run();
      EXPECT_EQ(result.status, 0) << m.name << "\n" << result.output;
      EXPECT_EQ(result.output.find("Could not generate crossfade"), std::string::npos) << m.name;
      return ReadFile(dir / "edit.wav");
    };
    EXPECT_EQ(edit(m.name), edit("canonical.wav")) << m.name;
  }
}

}  // namespace
