// Block sharing on the file systems that can (XFS, Btrfs) and on those that
// cannot (XFS made without reflink, ext4, tmpfs), each mounted here from an
// image: the same output bytes everywhere (without --align, against the
// splice worked out sample by sample; with it, the same samples), blocks
// shared as the file system reports them (FIEMAP), and sources that a write
// into the destination leaves as they were. Needs root for the mounts; skips
// visibly without it or where a mount is refused.
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "e2e/e2e.hpp"
#include "support/chunks.hpp"

namespace {

constexpr int64_t kBlock = 4096;

// Bytes of a file in extents the file system marks as shared, after its
// data is written out; 0 where it cannot say (tmpfs).
int64_t SharedBytes(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  constexpr uint32_t kExtents = 1024;
  std::vector<uint64_t> space((sizeof(fiemap) + kExtents * sizeof(fiemap_extent)) / sizeof(uint64_t) + 1, 0);
  auto* map = reinterpret_cast<fiemap*>(space.data());
  map->fm_start = 0;
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = kExtents;
  int64_t shared = 0;
  if (ioctl(fd, FS_IOC_FIEMAP, map) == 0) {
    for (uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
      if ((map->fm_extents[i].fe_flags & FIEMAP_EXTENT_SHARED) != 0) {
        shared += static_cast<int64_t>(map->fm_extents[i].fe_length);
      }
    }
  }
  close(fd);
  return shared;
}

struct FileSystemKind {
  const char* name;
  bool shares;
  std::vector<std::string> make;  // IMAGE stands for the image file; empty for tmpfs
  int64_t image_bytes;
};

const FileSystemKind kKinds[] = {
    {"xfs", true, {"mkfs.xfs", "-q", "-m", "reflink=1", "IMAGE"}, int64_t{320} << 20},
    {"btrfs", true, {"mkfs.btrfs", "-q", "IMAGE"}, int64_t{256} << 20},
    {"xfs-without-reflink", false, {"mkfs.xfs", "-q", "-m", "reflink=0", "IMAGE"}, int64_t{320} << 20},
    {"ext4", false, {"mkfs.ext4", "-q", "-F", "IMAGE"}, int64_t{64} << 20},
    {"tmpfs", false, {}, 0},
};

void PrintTo(const FileSystemKind& kind, std::ostream* out) { *out << kind.name; }

class BlockSharing : public testing::TestWithParam<FileSystemKind> {
 protected:
  TempDir dir;
  std::filesystem::path point;
  bool mounted = false;

  // Mounts the file system; "" when it is mounted, else why not.
  std::string Mount(const FileSystemKind& kind) {
    if (geteuid() != 0) return "loop mounts need root";
    point = dir / "mnt";
    std::filesystem::create_directories(point);
    ProgramResult r;
    if (kind.make.empty()) {
      r = RunCommand(dir.path, {"mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", point.string()});
    } else {
      if (!HaveCommand(kind.make[0])) return kind.make[0] + " not installed";
      const std::filesystem::path image = dir / "fs.img";
      WriteFile(image, Bytes{});
      std::filesystem::resize_file(image, static_cast<uintmax_t>(kind.image_bytes));
      std::vector<std::string> make;
      for (const std::string& word : kind.make) make.push_back(word == "IMAGE" ? image.string() : word);
      r = RunCommand(dir.path, make);
      if (r.status != 0) return make[0] + " failed: " + r.output + r.errors;
      r = RunCommand(dir.path, {"mount", "-o", "loop", image.string(), point.string()});
    }
    if (r.status != 0) return "the mount was refused: " + r.errors;
    mounted = true;
    return "";
  }

  void TearDown() override {
    if (mounted) RunCommand(dir.path, {"umount", point.string()});
  }
};

struct Job {
  const char* name;
  std::string entries;           // S stands for the source under test
  int64_t shared_with_align;     // at least this many bytes shared with --align on a file system that shares
  int64_t shared_without_align;  // and without it, for the source with a 44-byte header
};

constexpr int kFrames = 200000;  // of the source under test: 24-bit stereo, 1.2 MB
constexpr int kOtherFrames = 30000;
constexpr int64_t kFrameBytes = 6;

std::string Replaced(std::string text, const std::string& source) {
  for (size_t at = text.find("S\n"); at != std::string::npos; at = text.find("S\n", at)) text.replace(at, 1, source);
  return text;
}

TEST_P(BlockSharing, SameOutputsAndSharedBlocksWhereTheFileSystemCan) {
  const FileSystemKind& kind = GetParam();
  if (const std::string why = Mount(kind); !why.empty()) GTEST_SKIP() << kind.name << ": " << why;

  const std::vector<int32_t> s = Ramp(kFrames, 2, 24, -8000000, 977);
  const std::vector<int32_t> other = Ramp(kOtherFrames, 2, 24, 3000000, -313);
  // The same samples after a bext: they start at byte 662, not 44.
  Bytes bext(602, 0);
  const std::string description = "Reel 4";
  std::copy(description.begin(), description.end(), bext.begin());
  Bytes bwf = Riff({FormatChunk(48000, 24, 2), Chunk("bext", bext), Chunk("data", PackSamples(24, s))});
  const std::map<std::string, Bytes> sources = {
      {"plain.wav", CanonicalWav(48000, 24, 2, s)}, {"bwf.wav", bwf}, {"other.wav", CanonicalWav(48000, 24, 2, other)}};
  for (const auto& [name, bytes] : sources) WriteFile(point / name, bytes);

  const auto frames = [](const std::vector<int32_t>& v, int from, int to) { return Frames(v, 2, from, to - from); };
  const auto joined = [](std::vector<int32_t> a, const std::vector<int32_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  std::vector<int32_t> patched = s;
  Overlay(patched, 2, 50000, frames(other, 0, 12000));
  const Job jobs[] = {
      {"trim", "src\tS\nxin\t1001\nxout\t190000\n", (188999 * kFrameBytes) - 2 * kBlock, 0},
      {"patch", "src\tS\nsrc\tother.wav\nins\t50000\nxout\t12000\n", (kFrames - 12000) * kFrameBytes - 4 * kBlock,
       (kFrames - 12000) * kFrameBytes - 4 * kBlock},
      {"cut", "src\tS\nxout\t60000\nsrc\tS\nxin\t61234\n", (kFrames - 61234) * kFrameBytes - 2 * kBlock,
       60000 * kFrameBytes - 2 * kBlock},
      {"join", "src\tS\nxout\t100000\nsrc\tother.wav\n", 100000 * kFrameBytes - 2 * kBlock,
       100000 * kFrameBytes - 2 * kBlock},
  };
  const std::map<std::string, std::vector<int32_t>> expected = {
      {"trim", frames(s, 1001, 190000)},
      {"patch", patched},
      {"cut", joined(frames(s, 0, 60000), frames(s, 61234, kFrames))},
      {"join", joined(frames(s, 0, 100000), other)},
  };

  for (const char* source : {"plain.wav", "bwf.wav"}) {
    for (const Job& job : jobs) {
      const std::string what = std::string(kind.name) + ", " + source + ", " + job.name;
      WriteText(point / "task.txt", "using_samples\n" + Replaced(job.entries, source) + "dest\tout.wav\n");
      ProgramResult r = RunWavsplice(point, {"task.txt"});
      ASSERT_EQ(r.status, 0) << what << r.output << r.errors;
      EXPECT_EQ(r.errors, "") << what;
      const Bytes plain = ReadFile(point / "out.wav");
      EXPECT_TRUE(plain == CanonicalWav(48000, 24, 2, expected.at(job.name))) << what;
      const int64_t shared_plain = SharedBytes(point / "out.wav");

      r = RunWavsplice(point, {"--align", "task.txt"});
      ASSERT_EQ(r.status, 0) << what << r.output << r.errors;
      const Bytes aligned = ReadFile(point / "out.wav");
      const std::vector<FileChunk> chunks = WalkChunks(aligned);
      ASSERT_GE(chunks.size(), 3u) << what;
      EXPECT_EQ(chunks[chunks.size() - 2].tag, "JUNK") << what;
      EXPECT_EQ(chunks.back().tag, "data") << what;
      EXPECT_EQ(UnpackSamples(24, std::span(aligned).subspan(chunks.back().offset + 8)), expected.at(job.name)) << what;
      const int64_t shared_aligned = SharedBytes(point / "out.wav");

      if (!kind.shares) {
        EXPECT_EQ(shared_plain, 0) << what;
        EXPECT_EQ(shared_aligned, 0) << what;
        continue;
      }
      EXPECT_GE(shared_aligned, job.shared_with_align) << what;
      if (std::string(source) == "plain.wav") {
        EXPECT_GE(shared_plain, job.shared_without_align) << what;
      }
      if (std::string(job.name) == "trim") {
        // The check foresees exactly what the run shares.
        const ProgramResult check = RunWavsplice(point, {"--check", "--align", "task.txt"});
        EXPECT_NE(check.output.find(": " + std::to_string(shared_aligned) + " bytes shared"), std::string::npos)
            << what << check.output;
      }
    }
  }

  // A crossfade's window is written over what was copied or shared: the
  // same bytes as where nothing is shared (the test's own folder).
  const std::string crossfaded =
      "src\tbwf.wav\nxout\t100000\nsrc\tplain.wav\nxin\t5000\nxf\t20\t1\nxout\t150000\n"
      "src\tother.wav\nins\t120000\nxin\t2000\nxf\t15\t3\ndest\tout.wav\n";
  std::filesystem::create_directories(dir / "reference");
  for (const auto& [name, bytes] : sources) WriteFile(dir / "reference" / name, bytes);
  for (const std::vector<std::string>& options : {std::vector<std::string>{}, std::vector<std::string>{"--align"}}) {
    for (const std::string& folder : {(dir / "reference").string(), point.string()}) {
      WriteText(std::filesystem::path(folder) / "task.txt", "using_samples\n" + crossfaded);
      std::vector<std::string> args = options;
      args.push_back("task.txt");
      const ProgramResult r = RunWavsplice(folder, args);
      ASSERT_EQ(r.status, 0) << folder << r.output;
      EXPECT_EQ(r.output.find("crossfade"), std::string::npos) << r.output;  // every crossfade made
    }
    // With --align, the header depends on the block size (1 KiB on a small ext4).
    const Bytes out = ReadFile(point / "out.wav");
    const Bytes reference = ReadFile(dir / "reference" / "out.wav");
    if (options.empty()) {
      EXPECT_TRUE(out == reference) << kind.name;
    } else {
      EXPECT_TRUE(Bytes(out.begin() + static_cast<long>(WalkChunks(out).back().offset), out.end()) ==
                  Bytes(reference.begin() + static_cast<long>(WalkChunks(reference).back().offset), reference.end()))
          << kind.name;
    }
  }

  // A write into the destination's shared blocks gives it blocks of its own:
  // the sources stay as they were.
  WriteText(point / "task.txt", "src\tbwf.wav\nsrc\tplain.wav\nxin\t1\ndest\tout.wav\n");
  ASSERT_EQ(RunWavsplice(point, {"--align", "task.txt"}).status, 0);
  const int fd = open((point / "out.wav").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const Bytes scribble(static_cast<size_t>(kFrames) * 12, 0x5A);
  ASSERT_EQ(pwrite(fd, scribble.data(), scribble.size(), 0), static_cast<ssize_t>(scribble.size()));
  fsync(fd);
  close(fd);
  for (const auto& [name, bytes] : sources) EXPECT_TRUE(ReadFile(point / name) == bytes) << kind.name << ": " << name;
}

INSTANTIATE_TEST_SUITE_P(FileSystems, BlockSharing, testing::ValuesIn(kKinds),
                         [](const testing::TestParamInfo<FileSystemKind>& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
