// Runs stopped and killed at random moments, many times over: a campaign
// that takes seconds, so it carries the "slow" label.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
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

// Six runs into one folder at once, a hundred rounds, as on a file system
// without unnamed files (each run's file has a hidden name from the start),
// now and then one killed outright: no run that was not killed fails, no
// file of another kind goes, a killed run's marked file goes in the next
// round, and an unmarked one stays and is named by the next run of its
// destination.
TEST_F(StopCampaign, SixRunsIntoOneFolderWithoutUnnamedFiles) {
  constexpr int kRuns = 6;
  for (int run = 0; run < kRuns; ++run) {
    std::string task;
    for (int i = 0; i < 20; ++i) {
      task += std::string("src\t") + (i % 2 ? "a.wav" : "b.wav") + "\nxin\t0.1\nxout\t0.45\nlvl\t-1\n" +
              (i % 9 == 8 ? "xf\t10\t1\n" : "");
    }
    Task(task + "dest\tout" + std::to_string(run) + ".wav\n", "task" + std::to_string(run) + ".txt");
  }
  // A person's files under names like the hidden ones; one of a destination's
  // own form, which its runs name every time.
  for (const char* name : {".notes.wavsplice-backup", ".wavsplice-config", ".out0.wav.wavsplice-draft1"}) {
    WriteText(dir / name, name);
  }
  const auto planted = Snapshot(dir.path);
  const auto named = [](const std::string& name) {
    return "wavsplice: " + name +
           " may be left by a run that was killed: it may be removed when no run is writing there\n";
  };
  // A hidden name of one of the runs' destinations, and which one.
  const auto destination_of = [](const std::string& name) {
    for (int run = 0; run < kRuns; ++run) {
      const std::string prefix = ".out" + std::to_string(run) + ".wav.wavsplice-";
      if (name.starts_with(prefix) && name.size() == prefix.size() + 6) return run;
    }
    return -1;
  };
  std::mt19937 random(7);
  std::map<std::string, bool> left;  // by a killed run: marked or not
  int kills = 0;
  int marked_seen = 0;
  for (int round = 0; round < 100; ++round) {
    std::vector<StartedCommand> started;
    for (int run = 0; run < kRuns; ++run) {
      started.push_back(StartCommand(dir.path, WavspliceCommand({"task" + std::to_string(run) + ".txt"}),
                                     RunOptions{.no_unnamed_files = true}));
    }
    const int victim = round % 5 == 3 ? static_cast<int>(random() % kRuns) : -1;
    if (victim >= 0) {
      // Mostly once its file has a name: killed at a random moment, a run
      // is mostly not yet or no longer writing.
      const std::string prefix = ".out" + std::to_string(victim) + ".wav.wavsplice-";
      const bool soon = random() % 4 == 0;
      for (int wait = 0; wait < 2000 && !soon; ++wait) {
        const auto names = Files();
        if (std::any_of(names.begin(), names.end(), [&](const std::string& n) { return n.starts_with(prefix); })) break;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % (soon ? 8000 : 300)));
      kill(started[static_cast<size_t>(victim)].pid, SIGKILL);
    }
    for (int run = 0; run < kRuns; ++run) {
      const auto r = FinishCommand(started[static_cast<size_t>(run)]);
      if (run == victim && r.status == 128 + SIGKILL) {
        ++kills;
        continue;
      }
      EXPECT_EQ(r.status, 0) << "round " << round << ", run " << run << ": "
                             << r.output.substr(r.output.size() > 60 ? r.output.size() - 60 : 0);
      std::string expected = run == 0 ? named(".out0.wav.wavsplice-draft1") : "";
      for (const auto& [name, marked] : left) {
        if (!marked && destination_of(name) == run) expected += named(name);
      }
      // In any order.
      const auto lines = [](const std::string& text) {
        std::vector<std::string> all;
        for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
          all.push_back(text.substr(at, text.find('\n', at) - at));
        std::sort(all.begin(), all.end());
        return all;
      };
      EXPECT_EQ(lines(r.errors), lines(expected)) << "round " << round << ", run " << run;
    }
    const auto files = Snapshot(dir.path);
    for (const auto& [name, bytes] : planted) {
      ASSERT_TRUE(files.contains(name) && files.at(name) == bytes) << name << " changed in round " << round;
    }
    for (const auto& [name, marked] : left) {
      EXPECT_EQ(files.contains(name), !marked) << name << (marked ? " was not swept" : " was removed, unmarked");
    }
    // What this round's kill left, for the next round to sweep or name.
    std::map<std::string, bool> now;
    for (const auto& [name, bytes] : files) {
      if (planted.contains(name) || destination_of(name) < 0) continue;
      now[name] = getxattr((dir / name).c_str(), "user.wavsplice.partial", nullptr, 0) >= 0;
      marked_seen += now[name] ? 1 : 0;
    }
    left = std::move(now);
  }
  EXPECT_GE(kills, 3) << "too few runs were killed to tell";
  std::cout << kills << " runs killed, " << marked_seen << " marked files left by them\n";
}

}  // namespace
