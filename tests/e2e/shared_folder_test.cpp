// A shared folder with a hostile neighbour or an unlucky user in it: no link
// is followed into a file the run must not touch, nothing is left behind by
// a run that is stopped or killed, and nothing is reported wrongly.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "e2e/e2e.hpp"

namespace {

class SharedFolder : public EndToEnd {
 protected:
  void SetUp() override {
    Source("a.wav", 8000, 16, 1, Ramp(4000, 1, 16, -3000, 3));
    Source("b.wav", 8000, 16, 1, Ramp(4000, 1, 16, 2000, -1));
  }
};

constexpr const char* kCrossfadeTask = "src\ta.wav\nxout\t0.2\nsrc\tb.wav\nxin\t0.1\nxf\t20\t1\ndest\tout.wav\n";

// Whatever stands under the work file's name that is not a regular file of
// its own is refused before anything is written, by a run and by a check; a
// task without a crossfade never touches it.
TEST_F(SharedFolder, AWorkFileNameThatIsNotOursIsRefused) {
  WriteText(dir / "thesis.txt", "three years of work\n");
  const auto plant = {
      std::function<void()>([&] { ASSERT_EQ(symlink("thesis.txt", (dir / "xfade_temp.wav").c_str()), 0); }),
      std::function<void()>([&] { ASSERT_EQ(symlink("new.txt", (dir / "xfade_temp.wav").c_str()), 0); }),
      std::function<void()>(
          [&] { ASSERT_EQ(link((dir / "thesis.txt").c_str(), (dir / "xfade_temp.wav").c_str()), 0); }),
      std::function<void()>([&] { std::filesystem::create_directory(dir / "xfade_temp.wav"); }),
      std::function<void()>([&] { ASSERT_EQ(mkfifo((dir / "xfade_temp.wav").c_str(), 0600), 0); }),
  };
  int i = 0;
  for (const auto& what : plant) {
    what();
    WriteFile(dir / "out.wav", Bytes(100, 0x5A));
    Task(kCrossfadeTask);
    const auto before = Snapshot(dir.path);
    const auto r = Run();
    EXPECT_EQ(r.status, 2) << i;
    EXPECT_EQ(r.output, CountLine(2) + "Cannot create wave file xfade_temp.wav!\n") << i;
    const auto check = Run({"--check"});
    EXPECT_EQ(check.status, 2) << i;
    EXPECT_EQ(check.output.substr(check.output.size() - 40), "Cannot create wave file xfade_temp.wav!\n") << i;
    EXPECT_EQ(Snapshot(dir.path), before) << i;
    EXPECT_FALSE(std::filesystem::exists(dir / "new.txt"));
    // Without a crossfade the name is left alone.
    Task("src\ta.wav\ndest\tout.wav\n");
    EXPECT_EQ(Run().status, 0) << i;
    EXPECT_EQ(ReadText(dir / "thesis.txt"), "three years of work\n");
    std::filesystem::remove(dir / "xfade_temp.wav");
    ++i;
  }
}

// A link planted while the run is between entries is not followed either:
// the source it leads to stays as it was, and so does the old destination.
TEST_F(SharedFolder, ALinkPlantedDuringTheRunIsNotFollowed) {
  Source("filler.wav", 8000, 16, 1, Ramp(10, 1, 16));
  WriteFile(dir / "out.wav", Bytes(100, 0x5A));
  Task(TaskWithLateEntry("a.wav\nxin\t100\nxf\t5\t1"));
  const Bytes source = ReadFile(dir / "a.wav");
  const auto r = RunWithPause(dir.path, [&] { ASSERT_EQ(symlink("a.wav", (dir / "xfade_temp.wav").c_str()), 0); });
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output.substr(r.output.size() - 40), "Cannot create wave file xfade_temp.wav!\n");
  EXPECT_EQ(ReadFile(dir / "a.wav"), source);
  EXPECT_EQ(ReadFile(dir / "out.wav"), Bytes(100, 0x5A));
}

// A crossfade, many plain entries, and a late crossfade: a run paused on its
// full output between the two keeps its work file, as the first crossfade
// left it (a header and 160 frames).
std::string TaskWithKeptWorkFile(const char* late) {
  std::string task = "using_samples\nsrc\ta.wav\nxout\t2000\nsrc\tb.wav\nxin\t1000\nxf\t20\t1\n";
  for (int i = 0; i < 90; ++i) task += "src\tfiller.wav\n";
  return task + "src\t" + late + "\nxin\t1000\nxf\t20\t2\ndest\tout.wav\n";
}
constexpr uintmax_t kKeptWorkFileSize = 44 + 160 * 2;

// The work file is kept from a run's first crossfade to its last. Whatever
// happens to it in between, the late crossfade takes only a file of its own
// again: one removed (as another run does at its end) is made afresh, one
// turned into a link or given a second name is refused, and a run that
// fails or is stopped in between leaves no work file of its own, and
// neither empties nor removes one given another name, a second one or a
// link in its place meanwhile.
TEST_F(SharedFolder, TheWorkFileKeptBetweenCrossfades) {
  Source("filler.wav", 8000, 16, 1, Ramp(10, 1, 16));
  Source("late.wav", 8000, 16, 1, Ramp(4000, 1, 16, 100, 7));
  Task(TaskWithKeptWorkFile("late.wav"));
  const auto alone = Run();
  ASSERT_EQ(alone.status, 0) << alone.output;
  const Bytes built = ReadFile(dir / "out.wav");
  const Bytes source = ReadFile(dir / "a.wav");
  const std::string work = (dir / "xfade_temp.wav").string();
  const auto rename_to = [&](const char* name) { ASSERT_EQ(rename(work.c_str(), (dir / name).c_str()), 0); };
  const auto link_to = [&](const char* name) { ASSERT_EQ(link(work.c_str(), (dir / name).c_str()), 0); };
  const auto late_gone = [&] { ASSERT_EQ(unlink((dir / "late.wav").c_str()), 0); };
  struct Scene {
    const char* what;
    std::function<void()> change;
    int stop = 0;  // a signal sent after the change
    int status = 0;
    const char* kept = nullptr;  // where the work file stays, untouched
    bool refused = false;        // "Cannot create wave file xfade_temp.wav!"
    // What is left under the work file's name.
    std::filesystem::file_type left = std::filesystem::file_type::not_found;
  };
  constexpr auto kLink = std::filesystem::file_type::symlink;
  constexpr auto kFile = std::filesystem::file_type::regular;
  // clang-format off
  const Scene scenes[] = {
      {.what = "removed", .change = [&] { ASSERT_EQ(unlink(work.c_str()), 0); }},
      {.what = "a link instead", .change = [&] { rename_to("moved.wav"); ASSERT_EQ(symlink("a.wav", work.c_str()), 0); },
       .status = 2, .kept = "moved.wav", .refused = true, .left = kLink},
      {.what = "a second name", .change = [&] { link_to("kept.wav"); },
       .status = 2, .kept = "kept.wav", .refused = true, .left = kFile},
      {.what = "a late source gone", .change = late_gone, .status = 2},
      {.what = "another name, then a failure", .change = [&] { rename_to("kept.wav"); late_gone(); },
       .status = 2, .kept = "kept.wav"},
      {.what = "a second name, then a failure", .change = [&] { link_to("kept.wav"); late_gone(); },
       .status = 2, .kept = "kept.wav", .left = kFile},
      {.what = "a link to it in its place, then a stop",
       .change = [&] { rename_to("moved.wav"); ASSERT_EQ(symlink("moved.wav", work.c_str()), 0); },
       .stop = SIGTERM, .status = 128 + SIGTERM, .kept = "moved.wav", .left = kLink},
  };
  // clang-format on
  for (const Scene& scene : scenes) {
    WriteFile(dir / "out.wav", Bytes(100, 0x5A));
    Source("late.wav", 8000, 16, 1, Ramp(4000, 1, 16, 100, 7));
    StartedCommand command = StartCommand(dir.path, WavspliceCommand(), RunOptions{.one_page_output = true});
    ASSERT_TRUE(WaitForFullOutput(command)) << "the program did not fill its output pipe";
    struct stat kept {};
    ASSERT_EQ(lstat(work.c_str(), &kept), 0) << "no work file kept between crossfades";
    ASSERT_TRUE(S_ISREG(kept.st_mode));
    EXPECT_EQ(static_cast<uintmax_t>(kept.st_size), kKeptWorkFileSize);
    scene.change();
    if (scene.stop != 0) kill(command.pid, scene.stop);
    const auto r = FinishCommand(command);
    EXPECT_EQ(r.status, scene.status) << scene.what;
    EXPECT_EQ(ReadFile(dir / "a.wav"), source) << scene.what;
    EXPECT_EQ(ReadFile(dir / "out.wav"), scene.status == 0 ? built : Bytes(100, 0x5A)) << scene.what;
    if (scene.status == 0) {
      EXPECT_EQ(r.output, alone.output) << scene.what;
    }
    if (scene.refused) {
      EXPECT_TRUE(r.output.ends_with("Cannot create wave file xfade_temp.wav!\n")) << scene.what;
    }
    if (scene.kept != nullptr) {
      EXPECT_EQ(ReadFile(dir / scene.kept).size(), kKeptWorkFileSize) << scene.what << ": another name's file changed";
      std::filesystem::remove(dir / scene.kept);
    }
    EXPECT_EQ(std::filesystem::symlink_status(work).type(), scene.left) << scene.what;
    std::filesystem::remove(work);
  }
}

// The work file kept between crossfades given to another user or opened up
// to others meanwhile (by hand or by mistake): another user may hold its
// lock, and the run refuses it at its next crossfade rather than waiting
// for that user, nor does it empty or remove it.
TEST_F(SharedFolder, AKeptWorkFileAnotherUserMayHoldIsNotWaitedFor) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: another user (nobody) holds the work file";
  Source("filler.wav", 8000, 16, 1, Ramp(10, 1, 16));
  Task(TaskWithKeptWorkFile("b.wav"));
  std::filesystem::permissions(dir.path, std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  const std::string work = (dir / "xfade_temp.wav").string();
  for (const bool given : {false, true}) {
    WriteFile(dir / "out.wav", Bytes(100, 0x5A));
    int holder = -1;
    const auto r = RunWithPause(dir.path, [&] {
      ASSERT_EQ(given ? chown(work.c_str(), 65534, 65534) : chmod(work.c_str(), 0644), 0);
      int ready[2];
      ASSERT_EQ(pipe(ready), 0);
      holder = fork();
      if (holder == 0) {
        // Held for a while only: a run that waits for it ends all the same.
        alarm(20);
        const int fd = setgid(65534) == 0 && setuid(65534) == 0 ? open(work.c_str(), O_RDONLY) : -1;
        if (fd < 0 || flock(fd, LOCK_SH) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
        for (;;) pause();
      }
      close(ready[1]);
      char byte = 0;
      EXPECT_EQ(read(ready[0], &byte, 1), 1) << "the other user could not hold the work file";
      close(ready[0]);
    });
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(r.status, 2) << given;
    EXPECT_TRUE(r.output.ends_with("Cannot create wave file xfade_temp.wav!\n")) << given;
    EXPECT_EQ(ReadFile(dir / "out.wav"), Bytes(100, 0x5A)) << given;
    EXPECT_EQ(ReadFile(work).size(), kKeptWorkFileSize) << given << ": the file another user may hold was changed";
    std::filesystem::remove(work);
  }
}

// A run whose report cannot be written (into a pipe not read yet) holds
// the work file meanwhile no more than between crossfades: the other runs
// in the folder make theirs. A first source's name of many lengths moves
// the point where the pipe fills over every line of an entry.
TEST_F(SharedFolder, ARunWaitingToReportLetsOthersCrossfade) {
  std::string entries;
  for (int i = 0; i < 90; ++i) entries += "src\ta.wav\nxin\t1000\nxout\t1100\nxf\t5\t1\n";
  for (int pad = 1; pad < 120; pad += 3) {
    const std::string first = std::string(static_cast<size_t>(pad), 'p') + ".wav";
    std::filesystem::copy_file(dir / "a.wav", dir / first, std::filesystem::copy_options::overwrite_existing);
    Task("using_samples\nsrc\t" + first + "\nxout\t10\n" + entries + "dest\tout.wav\n");
    const auto alone = Run();
    ASSERT_EQ(alone.status, 0);
    const Bytes built = ReadFile(dir / "out.wav");
    StartedCommand command = StartCommand(dir.path, WavspliceCommand(), RunOptions{.one_page_output = true});
    ASSERT_TRUE(WaitForFullOutput(command)) << "the program did not fill its output pipe";
    const int work = open((dir / "xfade_temp.wav").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(work, 0) << "no work file kept between crossfades";
    EXPECT_EQ(flock(work, LOCK_EX | LOCK_NB), 0) << pad << ": the work file is held while the run waits to report";
    close(work);
    const auto r = FinishCommand(command);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, alone.output);
    EXPECT_EQ(ReadFile(dir / "out.wav"), built);
    EXPECT_FALSE(std::filesystem::exists(dir / "xfade_temp.wav"));
    std::filesystem::remove(dir / first);
  }
}

// The task file is never the work file, by name or by a hard link.
TEST_F(SharedFolder, TheTaskFileIsNeverTheWorkFile) {
  WriteText(dir / "xfade_temp.wav", kCrossfadeTask);
  auto r = Run({"xfade_temp.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, CountLine(2) + "Crossfade work file xfade_temp.wav is also named as a track\n");
  EXPECT_EQ(ReadText(dir / "xfade_temp.wav"), kCrossfadeTask);
  std::filesystem::remove(dir / "xfade_temp.wav");
  Task(kCrossfadeTask);
  ASSERT_EQ(link((dir / "task.txt").c_str(), (dir / "xfade_temp.wav").c_str()), 0);
  r = Run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, CountLine(2) + "Crossfade work file xfade_temp.wav is also named as a track\n");
  EXPECT_EQ(ReadText(dir / "task.txt"), kCrossfadeTask);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
}

// Sources are opened a few at a time, whatever the number of entries.
TEST_F(SharedFolder, ManyEntriesUnderALowLimitOfOpenFiles) {
  std::string task;
  for (int i = 0; i < 300; ++i)
    task += std::string("src\t") + (i % 3 ? "a.wav" : "b.wav") + "\nxin\t0.1\nxout\t0.105\n" +
            (i % 4 == 0 && i > 0 ? "xf\t2\t1\n" : "");
  Task(task + "dest\tout.wav\n");
  const auto free_run = Run();
  ASSERT_EQ(free_run.status, 0);
  const Bytes built = ReadFile(dir / "out.wav");
  std::filesystem::remove(dir / "out.wav");
  const auto limited = Run({}, RunOptions{.open_files_limit = 64});
  EXPECT_EQ(limited.status, 0) << limited.output.substr(limited.output.size() > 200 ? limited.output.size() - 200 : 0);
  EXPECT_EQ(limited.output, free_run.output);
  EXPECT_EQ(ReadFile(dir / "out.wav"), built);
}

// A destination reached through a link to a name of 250 bytes is built there;
// a setuid destination keeps its bits; a read-only one is refused, also for
// the superuser.
TEST_F(SharedFolder, LongNamesSetuidAndReadOnlyDestinations) {
  const std::string long_name = std::string(246, 'n') + ".wav";
  ASSERT_EQ(symlink(long_name.c_str(), (dir / "out.wav").c_str()), 0);
  Task("src\ta.wav\ndest\tout.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ReadFile(dir / long_name).size(), 44u + 8000);
  std::filesystem::remove(dir / "out.wav");
  std::filesystem::remove(dir / long_name);

  WriteFile(dir / "out.wav", Bytes(100, 0x5A));
  ASSERT_EQ(chmod((dir / "out.wav").c_str(), 06755), 0);
  ASSERT_EQ(Run().status, 0);
  struct stat info {};
  ASSERT_EQ(stat((dir / "out.wav").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 06755u);
  EXPECT_EQ(ReadFile(dir / "out.wav").size(), 44u + 8000);

  WriteFile(dir / "out.wav", Bytes(100, 0x5A));
  ASSERT_EQ(chmod((dir / "out.wav").c_str(), 0444), 0);
  const auto read_only = Run();
  EXPECT_EQ(read_only.status, 2);
  EXPECT_EQ(read_only.output, CountLine(1) + "Cannot create wave file out.wav!\n");
  EXPECT_EQ(ReadFile(dir / "out.wav"), Bytes(100, 0x5A));
  EXPECT_EQ(Run({"--check"}).status, 2);
}

// Options come before the task file's name, each once; --sync builds the
// same file.
TEST_F(SharedFolder, OptionsBeforeTheTaskFile) {
  Task("src\ta.wav\ndest\tout.wav\n");
  const auto plain = Run();
  const Bytes built = ReadFile(dir / "out.wav");
  const auto synced = Run({"--sync", "task.txt"});
  EXPECT_EQ(synced.status, 0);
  EXPECT_EQ(synced.output, plain.output);
  EXPECT_EQ(ReadFile(dir / "out.wav"), built);
  EXPECT_EQ(Run({"--check", "--sync"}).status, 0);
  for (const auto& args : std::vector<std::vector<std::string>>{{"--bogus"}, {"--check", "--check"}, {"--Sync"}}) {
    const auto r = Run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "Unknown option " + args.back() + "\n");
  }
  // "--" ends the options: a task file may begin with two hyphens.
  Task("src\ta.wav\ndest\tother.wav\n", "--odd.txt");
  EXPECT_EQ(Run({"--", "--odd.txt"}).status, 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "other.wav"));
}

}  // namespace
