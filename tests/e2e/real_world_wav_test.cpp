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

class RealWorldFiles : public EndToEnd {
 protected:
  void Make(const Maker& m) {
    std::vector<std::string> argv;
    for (const std::string& a : m.command) argv.push_back(a == "IN" ? Base(m) : a == "OUT" ? m.name : a);
    const auto r = RunCommand(dir.path, argv);
    ASSERT_EQ(r.status, 0) << m.name << ": " << r.output << r.errors;
  }
  static std::string Base(const Maker& m) {
    return "base" + std::to_string(m.bits) + "-" + std::to_string(m.channels) + ".wav";
  }
  Bytes Raw(const std::string& name) {
    const auto r = RunCommand(dir.path, {"sox", name, "-t", "raw", "-"});
    EXPECT_EQ(r.status, 0) << r.errors;
    return Bytes(r.output.begin(), r.output.end());
  }
};

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
      Source("base" + std::to_string(bits) + "-" + std::to_string(channels) + ".wav", 44100, bits, channels,
             Ramp(3000, channels, bits, -full, full / 1400));
    }
  }

  for (const Maker& m : makers) {
    Make(m);
    const Bytes raw = Raw(m.name);
    const int frame = m.bits / 8 * m.channels;
    const int frames = static_cast<int>(raw.size()) / frame;
    ASSERT_EQ(frames, 3000) << m.name;
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
