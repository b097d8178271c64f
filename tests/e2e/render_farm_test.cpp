// Many task files with real engines: examples/render.sh over 200 task files
// with GNU parallel (and again, resumed, through a login file), and the Slurm
// job-array script on a one-node cluster the test brings up. Every output
// against a lone run of its task file, every status against the summary.
#include <unistd.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "e2e/e2e.hpp"

namespace {

using nlohmann::json;

const std::string kRender = std::string(WAVSPLICE_SOURCE_DIR) + "/examples/render.sh";

std::string Numbered(const char* prefix, int n) {
  std::string text = prefix;
  text += std::to_string(n);
  return text;
}

// A night of task files under jobs/: mostly good, some whose source is
// missing (status 2) or whose destination is (status 1). Returns each task
// file's path with the status a lone run gives.
std::map<std::string, int> MakeNight(const std::filesystem::path& dir, int count) {
  std::filesystem::create_directories(dir / "sources");
  WriteFile(dir / "sources" / "s1.wav", CanonicalWav(8000, 16, 2, Ramp(16000, 2, 16, -20000, 7)));
  WriteFile(dir / "sources" / "s2.wav", CanonicalWav(8000, 16, 2, Ramp(8000, 2, 16, 15000, -11)));
  const std::string s1 = "../../../sources/s1.wav";
  const std::string s2 = "../../../sources/s2.wav";
  std::map<std::string, int> tasks;
  for (int i = 0; i < count; ++i) {
    const std::filesystem::path folder = dir / "jobs" / Numbered("batch", i / 20) / Numbered("t", i);
    std::filesystem::create_directories(folder);
    const std::string tenth = Numbered("0.", i % 10);
    std::string task;
    switch (i % 5) {
      case 0:
        task = "src\t" + s1 + "\nxin\t" + tenth + "\nxout\t1.5\nsrc\t" + s2 + "\nxin\t0.1\nxf\t20\t1\n";
        break;
      case 1:
        task = "src\t" + s1 + "\nlvl\t-3\nsrc\t" + s2 + "\nins\t0.5\n";
        break;
      case 2:
        task = "src\t" + s1 + "\nsrc\t" + s2 + "\nins\t0.2\nmix\t-6\nfin\t50\nfout\t50\nmark\tM\n";
        break;
      case 3:
        task = "using_samples\nsrc\t" + s1 + "\nxin\t" + std::to_string(i) + "\nxout\t9000\n";
        break;
      default:
        task = "src\t" + s2 + "\nsrc\t" + s1 + "\nxout\t" + tenth + "1\n";
        break;
    }
    int status = 0;
    if (i % 37 == 5) {
      task += "src\tmissing.wav\n";
      status = 2;
    }
    if (i % 41 == 7) {
      status = 1;
    } else {
      task += "dest\tout.wav\n";
    }
    WriteText(folder / "task.txt", task);
    tasks[std::filesystem::canonical(folder / "task.txt").string()] = status;
  }
  return tasks;
}

// What lone runs build: the night copied to ref/ and run there task by task.
void ExpectLoneRunsAgree(const std::filesystem::path& dir, const std::map<std::string, int>& tasks) {
  const std::string jobs = std::filesystem::canonical(dir / "jobs").string();
  std::filesystem::create_directories(dir / "ref");
  std::filesystem::copy(dir / "sources", dir / "ref" / "sources", std::filesystem::copy_options::recursive);
  for (const auto& [task, status] : tasks) {
    const std::filesystem::path folder = std::filesystem::path(task).parent_path();
    const std::filesystem::path lone = dir / "ref" / "jobs" / std::filesystem::relative(folder, jobs);
    std::filesystem::create_directories(lone);
    std::filesystem::copy_file(task, lone / "task.txt");
    const ProgramResult r = RunWavsplice(lone, {"task.txt"});
    EXPECT_EQ(r.status, status) << task;
    if (status == 0) {
      EXPECT_TRUE(ReadFile(lone / "out.wav") == ReadFile(folder / "out.wav")) << task;
    }
  }
}

// The JSON lines of a render, by task file.
std::map<std::string, json> Lines(const std::string& output) {
  std::map<std::string, json> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    try {
      const json j = json::parse(line);
      lines[j["task"].get<std::string>()] = j;
    } catch (const json::exception& e) {
      ADD_FAILURE() << e.what() << ": " << line;
    }
  }
  return lines;
}

void ExpectStatuses(const std::map<std::string, json>& lines, const std::map<std::string, int>& tasks,
                    const std::string& mode) {
  ASSERT_EQ(lines.size(), tasks.size());
  for (const auto& [task, status] : tasks) {
    ASSERT_EQ(lines.count(task), 1u) << task;
    const json& line = lines.at(task);
    EXPECT_EQ(line["status"], status) << task;
    EXPECT_EQ(line["result"]["status"], status) << task;
    if (status == 0) {
      EXPECT_EQ(line["result"]["mode"], mode) << task;
    }
  }
}

TEST(RenderFarm, ParallelRendersTwoHundredTaskFilesAsLoneRunsDoAndResumes) {
  if (!HaveCommand("parallel")) GTEST_SKIP() << "GNU parallel not installed: render.sh is not tried";
  TempDir dir;
  const std::map<std::string, int> tasks = MakeNight(dir.path, 200);
  const std::vector<std::string> render = {"env", std::string("WAVSPLICE=") + WAVSPLICE_BINARY, "bash", kRender,
                                           "jobs"};
  ProgramResult r = RunCommand(dir.path, render);
  EXPECT_EQ(r.status, 1) << r.errors;  // some tasks fail
  ExpectStatuses(Lines(r.output), tasks, "run");
  ExpectLoneRunsAgree(dir.path, tasks);

  // Again, through a login file naming this machine: nothing left to do.
  WriteText(dir / "logins", ":\n");
  std::vector<std::string> resumed = render;
  resumed.push_back("logins");
  r = RunCommand(dir.path, resumed);
  ExpectStatuses(Lines(r.output), tasks, "up to date");
}

// A one-node Slurm cluster of this machine, with its own munge daemon and
// configuration in a folder of the test, stopped again at the end.
class SlurmCluster : public testing::Test {
 protected:
  TempDir dir;
  std::vector<std::string> pid_files;
  std::string conf;

  // "" when it runs, else why it cannot.
  std::string Start() {
    if (geteuid() != 0) return "starting Slurm's daemons needs root";
    for (const char* command : {"munged", "mungekey", "slurmctld", "slurmd", "sbatch", "sinfo"}) {
      if (!HaveCommand(command)) return std::string(command) + " not installed (Debian: slurm-wlm, munge)";
    }
    const std::filesystem::path root = dir / "slurm";
    for (const char* sub : {"state", "spool", "log", "munge"}) std::filesystem::create_directories(root / sub);
    std::filesystem::permissions(root / "munge", std::filesystem::perms::owner_all);
    const std::string key = (root / "munge" / "munge.key").string();
    const std::string socket = (root / "munge" / "munge.socket").string();
    if (RunCommand(dir.path, {"mungekey", "--create", "--keyfile=" + key}).status != 0) return "mungekey failed";
    pid_files.push_back((root / "munge" / "munged.pid").string());
    ProgramResult r =
        RunCommand(dir.path, {"munged", "--force", "--key-file=" + key, "--socket=" + socket,
                              "--pid-file=" + pid_files.back(), "--log-file=" + (root / "log" / "munged.log").string(),
                              "--seed-file=" + (root / "munge" / "seed").string()});
    if (r.status != 0) return "munged did not start: " + r.errors;
    const std::string host = RunCommand(dir.path, {"hostname", "-s"}).output;
    const std::string node = host.substr(0, host.find('\n'));
    conf = (root / "slurm.conf").string();
    std::string text =
        "ClusterName=wavsplice\nSlurmctldHost=" + node +
        "\nSlurmUser=root\nSlurmdUser=root\nAuthType=auth/munge\nCredType=cred/munge\nAuthInfo=socket=" + socket +
        "\nStateSaveLocation=" + (root / "state").string() + "\nSlurmdSpoolDir=" + (root / "spool").string() +
        "\nSlurmctldPidFile=" + (root / "slurmctld.pid").string() +
        "\nSlurmdPidFile=" + (root / "slurmd.pid").string() +
        "\nSlurmctldLogFile=" + (root / "log" / "slurmctld.log").string() +
        "\nSlurmdLogFile=" + (root / "log" / "slurmd.log").string() +
        "\nSlurmctldPort=16917\nSlurmdPort=16918\nProctrackType=proctrack/linuxproc\n"
        "TaskPlugin=task/none\nSelectType=select/cons_tres\nSelectTypeParameters=CR_Core\n"
        "ReturnToService=2\nMpiDefault=none\nJobCompType=jobcomp/none\n"
        "AccountingStorageType=accounting_storage/none\nSchedulerType=sched/builtin\n"
        "NodeName=" +
        node + " CPUs=" + std::to_string(std::thread::hardware_concurrency()) +
        " State=UNKNOWN\nPartitionName=night Nodes=ALL Default=YES MaxTime=INFINITE State=UP\n";
    WriteText(conf, text);
    for (const char* daemon : {"slurmctld", "slurmd"}) {
      pid_files.push_back((root / (std::string(daemon) + ".pid")).string());
      std::vector<std::string> argv = {"env", "SLURM_CONF=" + conf, daemon};
      if (std::string(daemon) == "slurmctld") argv.push_back("-i");
      r = RunCommand(dir.path, argv);
      if (r.status != 0) return std::string(daemon) + " did not start: " + r.errors;
    }
    for (int tries = 0; tries < 60; ++tries) {
      r = RunCommand(dir.path, {"env", "SLURM_CONF=" + conf, "sinfo", "-h", "-o", "%t"});
      if (r.output.starts_with("idle")) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return "the node did not come up: " + r.output + r.errors;
  }

  void TearDown() override {
    for (auto it = pid_files.rbegin(); it != pid_files.rend(); ++it) {
      const std::string pid = ReadText(*it);
      if (!pid.empty()) RunCommand(dir.path, {"kill", pid.substr(0, pid.find('\n'))});
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
};

TEST_F(SlurmCluster, JobArrayRendersFiftyTaskFilesAsLoneRunsDo) {
  if (const std::string why = Start(); !why.empty()) GTEST_SKIP() << "no one-node Slurm cluster: " << why;
  const std::map<std::string, int> tasks = MakeNight(dir.path, 50);
  const ProgramResult r =
      RunCommand(dir.path, {"env", "SLURM_CONF=" + conf, "sbatch", "--wait", "--array=0-4",
                            "--export=ALL,RENDER=" + kRender + ",WAVSPLICE=" + WAVSPLICE_BINARY,
                            std::string(WAVSPLICE_SOURCE_DIR) + "/examples/render-slurm.sh", "jobs"});
  EXPECT_NE(r.status, 0);  // the array tasks with a failing task file fail
  std::string output;
  for (const std::string& name : FilesIn(dir.path)) {
    if (name.starts_with("render-") && name.ends_with(".jsonl")) output += ReadText(dir / name);
  }
  ExpectStatuses(Lines(output), tasks, "run");
  ExpectLoneRunsAgree(dir.path, tasks);
}

}  // namespace
