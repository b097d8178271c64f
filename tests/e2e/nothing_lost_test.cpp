// Whatever a run does, successful or not, the only file it may change is its
// destination (and its own work file, which it removes).
#include <map>

#include "e2e/e2e.hpp"

namespace {

class NothingLost : public EndToEnd {
 protected:
  void SetUp() override {
    Source("a.wav", 44100, 16, 2, Ramp(30000, 2, 16, -9000, 37));
    Source("b.wav", 44100, 16, 2, Ramp(20000, 2, 16, 5000, -53));
    Source("c24.wav", 44100, 24, 2, Ramp(20000, 2, 24));
    Source("m48.wav", 48000, 16, 1, Ramp(20000, 1, 16));
  }
  std::map<std::string, Bytes> Snapshot() {
    std::map<std::string, Bytes> files;
    for (const char* name : {"a.wav", "b.wav", "c24.wav", "m48.wav"}) files[name] = ReadFile(dir / name);
    return files;
  }
};

TEST_F(NothingLost, SourcesAreUnchangedByEveryKindOfRun) {
  struct Case {
    const char* what;
    const char* task;
    long long file_size_limit;
    int status;
  };
  const Case cases[] = {
      {"a plain splice", "src\ta.wav\nsrc\tb.wav\nins\t0.1\ndest\tout.wav\n", -1, 0},
      {"levels and overlaps", "src\ta.wav\nlvl\t-6\nsrc\tb.wav\nins\t0.05\nlvl\t12\nsrc\ta.wav\nins\t0\ndest\tout.wav\n", -1, 0},
      {"crossfades of every type",
       "src\ta.wav\nxout\t0.3\nsrc\tb.wav\nxin\t0.2\nxf\t50\t1\nsrc\ta.wav\nxin\t0.1\nxf\t30\t2\nsrc\tb.wav\nxin\t0.3\nxf\t"
       "40\t3\nsrc\ta.wav\nxin\t0.2\nxf\t20\t4\ndest\tout.wav\n",
       -1, 0},
      {"a failed crossfade", "src\ta.wav\nsrc\tb.wav\nxf\t80\t1\ndest\tout.wav\n", -1, 0},
      {"mismatched sources", "src\ta.wav\nsrc\tc24.wav\nsrc\tm48.wav\ndest\tout.wav\n", -1, 1},
      {"an impossible edit", "src\ta.wav\nsrc\tb.wav\nxin\t5\ndest\tout.wav\n", -1, 1},
      {"the destination named as a source", "src\ta.wav\nsrc\tb.wav\ndest\tb.wav\n", -1, 1},
      {"a write failing part way", "src\ta.wav\nsrc\tb.wav\nxf\t30\t1\nxin\t0.1\ndest\tout.wav\n", 50000, 2},
      {"a crossfade write failing",
       "src\ta.wav\nxout\t0.3\nsrc\tb.wav\nxin\t0.3\nxout\t0.31\nxf\t600\t1\ndest\tout.wav\n", 80000, 2},
      {"a missing source", "src\ta.wav\nsrc\tnone.wav\ndest\tout.wav\n", -1, 2},
  };
  const auto before = Snapshot();
  for (const Case& c : cases) {
    // Every run meets a destination that exists already, with other content.
    WriteFile(dir / "out.wav", Bytes(123456, 0xAB));
    Task(c.task);
    const auto r = Run({}, RunOptions{.file_size_limit = c.file_size_limit});
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.output;
    if (c.status != 0) {
      EXPECT_EQ(r.output.find("Built"), std::string::npos) << c.what;
    }
    EXPECT_EQ(Snapshot(), before) << c.what;
    EXPECT_FALSE(std::filesystem::exists(dir / "xfade_temp.wav")) << c.what;
  }
}

}  // namespace
