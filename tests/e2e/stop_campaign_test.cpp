// Runs stopped and killed at random moments, many times over: a campaign
// that takes seconds, so it carries the "slow" label.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "e2e/e2e.hpp"

namespace {

class StopCampaign : public EndToEnd {
 protected:
  void SetUp() override {
    Source("a.wav", 8000, 16, 1, Ramp(4000, 1, 16, -3000, 3));
    Source("b.wav", 8000, 16, 1, Ramp(4000, 1, 16, 2000, -1));
  }
  // The files of the folder but the sources, the task file and the destination.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> left;
    for (const std::string& name : Files()) {
      if (name != "a.wav" && name != "b.wav" && name != "task.txt" && name != "out.wav") left.push_back(name);
    }
    return left;
  }
};

// Stopped at any moment, a run of many crossfades either keeps the old
// destination and ends with the signal's status, or has replaced it and
// says Built with status 0; it never leaves a file behind.
TEST_F(StopCampaign, StoppedAtAnyMomentARunLeavesNothingAndNeverLies) {
  std::string task;
  for (int i = 0; i < 400; ++i)
    task +=
        std::string("src\t") + (i % 2 ? "a.wav" : "b.wav") + "\nxin\t0.1\nxout\t0.11\n" + (i > 0 ? "xf\t10\t2\n" : "");
  Task(task + "dest\tout.wav\n");
  ASSERT_EQ(Run().status, 0);
  const Bytes built = ReadFile(dir / "out.wav");
  const Bytes old(100, 0x5A);
  std::mt19937 random(11);
  int stopped = 0;
  for (int i = 0; i < 200; ++i) {
    WriteFile(dir / "out.wav", old);
    StartedCommand command = StartCommand(dir.path, WavspliceCommand());
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
    kill(command.pid, SIGTERM);
    const auto r = FinishCommand(command);
    ASSERT_TRUE(r.status == 0 || r.status == 128 + SIGTERM) << r.status;
    if (r.status == 0) {
      EXPECT_NE(r.output.find("Built\tout.wav\n"), std::string::npos);
      EXPECT_EQ(ReadFile(dir / "out.wav"), built) << i;
    } else {
      ++stopped;
      EXPECT_EQ(r.output.find("Built"), std::string::npos) << i;
      EXPECT_EQ(ReadFile(dir / "out.wav"), old) << "stopped run " << i << " replaced the destination";
    }
    ASSERT_EQ(Leftovers(), std::vector<std::string>{}) << "after run " << i;
  }
  EXPECT_GT(stopped, 20) << "too few runs were stopped to tell";
}

// Killed outright, a run leaves at most the work file, which the next run
// takes over and removes; a hidden temporary file of a dead run (marked, its
// lock free) goes with the next run into the folder, a live run's stays.
TEST_F(StopCampaign, KilledRunsLeaveNothingTheNextRunKeeps) {
  std::string task;
  for (int i = 0; i < 200; ++i)
    task += std::string("src\ta.wav\nxin\t0.1\nxout\t0.12\n") + (i > 0 ? "xf\t10\t1\n" : "");
  Task(task + "dest\tout.wav\n");
  std::mt19937 random(5);
  for (int i = 0; i < 10; ++i) {
    StartedCommand command = StartCommand(dir.path, WavspliceCommand());
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
    kill(command.pid, SIGKILL);
    FinishCommand(command);
    for (const std::string& name : Leftovers()) EXPECT_EQ(name, "xfade_temp.wav");
  }
  WriteFile(dir / ".out.wav.wavsplice-Dead01", Bytes(5000, 1));
  WriteFile(dir / ".out.wav.wavsplice-Live01", Bytes(5000, 2));
  for (const char* name : {".out.wav.wavsplice-Dead01", ".out.wav.wavsplice-Live01"})
    ASSERT_EQ(setxattr((dir / name).c_str(), "user.wavsplice.partial", "1", 1, 0), 0);
  const int live = open((dir / ".out.wav.wavsplice-Live01").c_str(), O_RDONLY);
  ASSERT_EQ(flock(live, LOCK_EX), 0);
  ASSERT_EQ(Run().status, 0);
  EXPECT_EQ(Leftovers(), std::vector<std::string>{".out.wav.wavsplice-Live01"});
  close(live);
}

}  // namespace
