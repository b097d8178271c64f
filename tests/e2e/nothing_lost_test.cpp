// Whatever a run does, successful or not, the only file it may change is its
// destination (and its own work file, which it removes); a run that fails or
// is stopped leaves even that as it was. Runs side by side do not mix.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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
};

// Another process holding the work file, as a run does while it crossfades.
struct WorkFileHolder {
  int pid = -1;
  explicit WorkFileHolder(const std::filesystem::path& dir) {
    int ready[2];
    if (pipe(ready) != 0) throw std::runtime_error("pipe");
    pid = fork();
    if (pid == 0) {
      const int fd = open((dir / "xfade_temp.wav").c_str(), O_RDWR | O_CREAT, 0666);
      if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
      if (write(ready[1], "x", 1) != 1) _exit(1);
      for (;;) pause();
    }
    char byte = 0;
    close(ready[1]);
    if (read(ready[0], &byte, 1) != 1) throw std::runtime_error("the holder did not take the work file");
    close(ready[0]);
  }
  void Kill() {
    if (pid < 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  ~WorkFileHolder() { Kill(); }
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
  for (const Case& c : cases) {
    // Every run meets a destination that exists already, with other content.
    WriteFile(dir / "out.wav", Bytes(123456, 0xAB));
    Task(c.task);
    auto before = Snapshot(dir.path);
    const auto r = Run({}, RunOptions{.file_size_limit = c.file_size_limit});
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.output;
    if (c.status != 0) {
      EXPECT_EQ(r.output.find("Built"), std::string::npos) << c.what;
    } else {
      before["out.wav"] = ReadFile(dir / "out.wav");  // the one file a run that succeeds changes
    }
    // No temporary file and no work file is left either.
    EXPECT_EQ(Snapshot(dir.path), before) << c.what;
  }
}

TEST_F(NothingLost, TheTaskFileIsNeverTheDestination) {
  Task("src\ta.wav\ndest\ttask.txt\n");
  ASSERT_EQ(symlink("task.txt", (dir / "link.txt").c_str()), 0);
  ASSERT_EQ(link((dir / "task.txt").c_str(), (dir / "hard.txt").c_str()), 0);
  for (const std::string destination : {"task.txt", "./task.txt", "link.txt", "hard.txt"}) {
    const std::string text = "src\ta.wav\ndest\t" + destination + "\n";
    Task(text);
    const auto before = Snapshot(dir.path);
    const auto r = Run();
    EXPECT_EQ(r.status, 1) << destination;
    EXPECT_EQ(r.output, CountLine(1) + "Destination " + destination + " is also the task file\n");
    EXPECT_EQ(Snapshot(dir.path), before) << destination;
  }
  // Named as a source too: that refusal comes first.
  Task("src\ttask.txt\ndest\ttask.txt\n");
  EXPECT_EQ(Run().output, CountLine(1) + "Destination task.txt is also a source track\n");
}

TEST_F(NothingLost, AReplacedDestinationKeepsItsModeAndLinksAreWrittenThrough) {
  Task("src\ta.wav\nxout\t0.01\ndest\tout.wav\n");
  ASSERT_EQ(Run().status, 0);
  const Bytes built = ReadFile(dir / "out.wav");
  struct stat info {};
  ASSERT_EQ(stat((dir / "out.wav").c_str(), &info), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(info.st_mode & 07777, 0666 & ~mask) << "a new destination";

  WriteFile(dir / "out.wav", Bytes(10, 1));
  ASSERT_EQ(chmod((dir / "out.wav").c_str(), 0640), 0);
  ASSERT_EQ(Run().status, 0);
  ASSERT_EQ(stat((dir / "out.wav").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile(dir / "out.wav"), built);

  std::filesystem::create_directory(dir / "real");
  WriteFile(dir / "real" / "take.wav", Bytes(10, 2));
  ASSERT_EQ(symlink("real/take.wav", (dir / "link.wav").c_str()), 0);
  Task("src\ta.wav\nxout\t0.01\ndest\tlink.wav\n");
  const auto r = Run();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.wav"));
  EXPECT_EQ(ReadFile(dir / "real" / "take.wav"), built);
  EXPECT_EQ(FilesIn(dir / "real"), std::vector<std::string>{"take.wav"});
}

// Runs side by side in one folder, each with tens of crossfades of one width
// and curve (the likeliest to mix unnoticed), and a stale work file there
// beforehand: each destination holds exactly what its run alone builds.
TEST_F(NothingLost, RunsSideBySideBuildWhatEachBuildsAlone) {
  constexpr int kRuns = 4;
  const char* sources[] = {"a.wav", "b.wav"};
  for (int run = 0; run < kRuns; ++run) {
    std::string task;
    for (int i = 0; i < 30; ++i) {
      task += std::string("src\t") + sources[(i + run) % 2] + "\nxin\t0.1\nxout\t0.15\nlvl\t-" +
              std::to_string(run + 1) + (i > 0 ? "\nxf\t20\t1\n" : "\n");
    }
    Task(task + "dest\tout" + std::to_string(run) + ".wav\n", "task" + std::to_string(run) + ".txt");
  }
  std::vector<Bytes> alone;
  for (int run = 0; run < kRuns; ++run) {
    const auto r = Run({"task" + std::to_string(run) + ".txt"});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(r.output.find("Could not generate crossfade"), std::string::npos);
    alone.push_back(ReadFile(dir / ("out" + std::to_string(run) + ".wav")));
    std::filesystem::remove(dir / ("out" + std::to_string(run) + ".wav"));
  }
  for (int round = 0; round < 3; ++round) {
    WriteFile(dir / "xfade_temp.wav", Bytes(70000, 0x77));
    std::vector<StartedCommand> started;
    for (int run = 0; run < kRuns; ++run) {
      started.push_back(StartCommand(dir.path, WavspliceCommand({"task" + std::to_string(run) + ".txt"})));
    }
    for (int run = 0; run < kRuns; ++run) {
      const auto r = FinishCommand(started[run]);
      EXPECT_EQ(r.status, 0) << r.output;
      EXPECT_EQ(ReadFile(dir / ("out" + std::to_string(run) + ".wav")), alone[run]) << "run " << run;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "xfade_temp.wav"));
  }
}

// A run that needs the work file while another process holds it waits for
// it. Stopped while it waits (part way through its job), it leaves the old
// destination as it was, no temporary file, and a log holding every entry
// that completed. When the holder is killed, the hold ends with it and a
// waiting run goes on to build what it builds alone.
TEST_F(NothingLost, WaitingForTheWorkFileStoppedOrReleased) {
  std::string task = "using_samples\n";
  for (int i = 0; i < 20; ++i) task += "src\ta.wav\nxout\t20000\n";
  Task(task + "src\tb.wav\nxin\t1000\nxf\t30\t1\ndest\tout.wav\n");
  const auto alone = Run();
  ASSERT_EQ(alone.status, 0) << alone.output;
  const Bytes built = ReadFile(dir / "out.wav");
  WriteFile(dir / "out.wav", Bytes(4444, 0x44));
  WorkFileHolder holder(dir.path);  // the last entry waits for it
  const auto before = Snapshot(dir.path);
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    StartedCommand command = StartCommand(dir.path, WavspliceCommand());
    ASSERT_TRUE(WaitUntilInSystemCall(command, SYS_flock)) << "the run did not wait for the work file";
    kill(command.pid, signal_number);
    const auto r = FinishCommand(command);
    EXPECT_EQ(r.status, 128 + signal_number);
    std::string log = SamplesCountLine(21);
    for (int i = 0; i < 20; ++i)
      log += SampleBlock({.task = i + 1, .insert = 20000 * i, .file = "a.wav", .start = 0, .length = 20000});
    log += "Task 21\tInsert point 400000 samples\n\tFile b.wav\n\tRead start 1000 samples\n"
           "\tRead length 19000 samples\n\tLevel 0.000 dB\n";
    EXPECT_EQ(r.output, log);
    EXPECT_EQ(Snapshot(dir.path), before) << "signal " << signal_number;
  }

  StartedCommand command = StartCommand(dir.path, WavspliceCommand());
  ASSERT_TRUE(WaitUntilInSystemCall(command, SYS_flock));
  holder.Kill();
  const auto waited = FinishCommand(command);
  EXPECT_EQ(waited.status, 0) << waited.output;
  EXPECT_EQ(waited.output, alone.output);
  EXPECT_EQ(ReadFile(dir / "out.wav"), built);
  EXPECT_FALSE(std::filesystem::exists(dir / "xfade_temp.wav"));
}

// Once the destination is in place a stop waits for the report: stops that
// arrive while standard output is full (a document longer than the pipe
// holds, read late) neither cut the document short nor fail the run.
TEST_F(NothingLost, StopsWhileTheReportIsWrittenWait) {
  std::string task = "using_samples\n";
  for (int i = 0; i < 30; ++i) task += "src\ta.wav\nxout\t100\nlvl\t-1\n";
  Task(task + "dest\tout.wav\n");
  const auto alone = Run({"--json"});
  ASSERT_EQ(alone.status, 0) << alone.errors;
  ASSERT_GT(alone.output.size(), 4096u) << "the document must not fit in the pipe";
  const Bytes built = ReadFile(dir / "out.wav");
  WriteFile(dir / "out.wav", Bytes(4444, 0x44));
  StartedCommand command = StartCommand(dir.path, WavspliceCommand({"--json"}), RunOptions{.one_page_output = true});
  // A stop ends a write that has put something out short and one that has
  // not with nothing: each kind is met.
  int stops = 0;
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGTERM}) {
    if (!WaitForFullOutput(command)) break;
    kill(command.pid, signal_number);
    ++stops;
  }
  const auto r = FinishCommand(command);
  EXPECT_EQ(stops, 4) << "the run stopped waiting on its full output";
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_EQ(r.errors, "");
  EXPECT_TRUE(r.output == alone.output) << r.output.size() << " bytes of the document's " << alone.output.size();
  EXPECT_EQ(ReadFile(dir / "out.wav"), built);
}

}  // namespace
