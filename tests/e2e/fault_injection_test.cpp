// Real failures of the file system, not mocks: permissions, a file-size
// limit, files replaced or cut short while the program runs.
#include <sys/stat.h>

#include <functional>

#include "e2e/e2e.hpp"

namespace {

class FaultInjection : public EndToEnd {
 protected:
  void ExpectFailure(const ProgramResult& r, int status, const std::string& last_line) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.output.find("Built"), std::string::npos) << r.output;
    ASSERT_GE(r.output.size(), last_line.size());
    EXPECT_EQ(r.output.substr(r.output.size() - last_line.size()), last_line) << r.output;
  }
  // A folder "locked" that the unprivileged user may read but not write,
  // and a copy of the program that user can run wherever the build lies;
  // returns the program's path.
  std::string LockedFolderAndProgram() {
    std::filesystem::permissions(dir.path, std::filesystem::perms::all);
    std::filesystem::create_directory(dir / "locked");
    std::filesystem::permissions(dir / "locked",
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                     std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
    std::filesystem::copy_file(WAVSPLICE_BINARY, dir / "wavsplice");
    return (dir / "wavsplice").string();
  }
};

TEST_F(FaultInjection, DestinationDirectoryNotWritable) {
  const std::string program = LockedFolderAndProgram();
  Source("a.wav", 44100, 16, 2, Ramp(100, 2, 16));
  Task("src\ta.wav\ndest\tlocked/out.wav\n");
  const auto r = RunCommand(dir.path, {program}, RunOptions{.unprivileged = true});
  EXPECT_EQ(r.errors, "");
  ExpectFailure(r, 2, "Cannot create wave file locked/out.wav!\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "locked" / "out.wav"));
}

// A working directory the user may not write: only a crossfade a run makes
// needs its work file there, so a mixed entry's ignored "xf" is no refusal,
// in the check as in the run.
TEST_F(FaultInjection, ReadOnlyWorkingDirectoryWithoutCrossfadeWork) {
  const std::string program = LockedFolderAndProgram();
  Source("a.wav", 44100, 16, 2, Ramp(4000, 2, 16));
  Task("src\t../a.wav\nsrc\t../a.wav\nins\t0\nmix\t-6\nxf\t10\t1\ndest\t../out.wav\n");
  const auto check = RunCommand(dir / "locked", {program, "--check", "../task.txt"}, RunOptions{.unprivileged = true});
  EXPECT_EQ(check.status, 3) << check.output;
  EXPECT_EQ(check.output.find("Cannot create wave file"), std::string::npos) << check.output;
  const auto run = RunCommand(dir / "locked", {program, "../task.txt"}, RunOptions{.unprivileged = true});
  EXPECT_EQ(run.status, 0) << run.output;
}

TEST_F(FaultInjection, WriteFailingPartWay) {
  Source("a.wav", 44100, 16, 2, Ramp(50000, 2, 16));
  Task("src\ta.wav\nsrc\ta.wav\nlvl\t-3\ndest\tout.wav\n");
  // The destination may grow to 100 kB; it needs 400 kB.
  const auto r = Run({}, RunOptions{.file_size_limit = 100000});
  ExpectFailure(r, 2, "Cannot write wave file out.wav!\n");
}

TEST_F(FaultInjection, CrossfadeWorkFileWriteFailing) {
  // The destination fits the limit; the crossfade's work file does not.
  Source("a.wav", 48000, 24, 2, Ramp(6000, 2, 24));
  Task("using_samples\nsrc\ta.wav\nxout\t3000\nsrc\ta.wav\nxin\t3000\nxout\t3010\nxf\t100\t1\ndest\tout.wav\n");
  const auto r = Run({}, RunOptions{.file_size_limit = 20000});
  ExpectFailure(r, 2, "Cannot write wave file xfade_temp.wav!\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "xfade_temp.wav"));
}

TEST_F(FaultInjection, PathsThatAreNotRegularFiles) {
  Source("a.wav", 44100, 16, 2, Ramp(100, 2, 16));
  std::filesystem::create_directory(dir / "folder.wav");
  ASSERT_EQ(mkfifo((dir / "fifo.wav").c_str(), 0600), 0);

  Task("src\ta.wav\ndest\tfolder.wav\n");
  ExpectFailure(Run(), 2, "Cannot create wave file folder.wav!\n");

  // Task files that are no regular file are refused at once, a FIFO without
  // a writer too (it used to hang the run).
  for (const char* task : {"folder.wav", "fifo.wav"}) {
    const std::string message = std::string("Cannot find file ") + task + " that holds your instructions\n";
    ExpectFailure(Run({task}), 1, message);
    ExpectFailure(Run({"--check", task}), 1, message);
  }

  for (const char* source : {"fifo.wav", "folder.wav"}) {
    Task(std::string("src\ta.wav\nsrc\t") + source + "\ndest\tout.wav\n");
    ExpectFailure(Run(), 2, std::string("Cannot find file in track list called ") + source + "!!\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
  }
}

TEST_F(FaultInjection, SourceDisappearingShrinkingOrReplacedBeforeItsCopy) {
  Source("filler.wav", 8000, 16, 1, Ramp(10, 1, 16));
  Task(TaskWithLateEntry("late.wav"));
  // Removed, cut short, replaced by a file of another format, or rewritten
  // in place with another format of the same size (the same file, changed).
  const auto change = {
      std::function<void()>([&] { std::filesystem::remove(dir / "late.wav"); }),
      std::function<void()>([&] { std::filesystem::resize_file(dir / "late.wav", 44 + 2 * 3000); }),
      std::function<void()>([&] {
        WriteFile(dir / "other.wav", CanonicalWav(8000, 24, 1, Ramp(5000, 1, 24)));
        std::filesystem::rename(dir / "other.wav", dir / "late.wav");
      }),
      std::function<void()>([&] { WriteFile(dir / "late.wav", CanonicalWav(8000, 16, 2, Ramp(2500, 2, 16))); })};
  const char* message[] = {"Cannot open wave file late.wav!\n", "Cannot read wave file late.wav!\n",
                           "Cannot read wave file late.wav!\n", "Cannot read wave file late.wav!\n"};
  int i = 0;
  for (const auto& what : change) {
    Source("late.wav", 8000, 16, 1, Ramp(5000, 1, 16, 3, 5));
    const auto r = RunWithPause(dir.path, what);
    ExpectFailure(r, 2, message[i++]);
    // The failed run leaves neither a destination nor its temporary file.
    std::filesystem::remove(dir / "late.wav");
    EXPECT_EQ(Files(), (std::vector<std::string>{"filler.wav", "task.txt"}));
  }
}

}  // namespace
