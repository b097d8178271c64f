// Nothing the program did not make is removed, written or trusted. Scenes of
// what went wrong once: files of people and of other users beside the
// destination, the run's own task file, sources and old destination under
// hidden names, another user's work file, a stale destination under
// --update, a report that never reached its reader, the memory of a metadata
// run, metadata read out of the samples, an option after the task file, a
// replaced file's attributes and other names, control characters. Each
// scene runs in a fresh folder, with unnamed files and again as on a file
// system without them (a preloaded library makes O_TMPFILE fail); every file
// that was there before must be there after, byte for byte, but for the
// destination.
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "common/text.hpp"
#include "e2e/e2e.hpp"
#include "support/chunks.hpp"

namespace {

namespace fs = std::filesystem;

constexpr const char* kMark = "user.wavsplice.partial";
constexpr const char* kTask = "src\ta.wav\nsrc\tb.wav\nxin\t0.5\ndest\tout.wav\n";
constexpr const char* kCrossfadeTask = "src\ta.wav\nxout\t0.5\nsrc\tb.wav\nxin\t0.5\nxf\t20\t1\ndest\tout.wav\n";
const Bytes kOld(100, 0x5A);  // what an old destination holds

std::string Leftover(const std::string& path) {
  return "wavsplice: " + path +
         " may be left by a run that was killed: it may be removed when no run is writing there\n";
}

// Every file under a folder by its path in it: a regular file's bytes, where
// a link leads, nothing for a folder.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string name = it->path().lexically_relative(root).string();
    if (it->is_symlink()) {
      tree[name] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_regular_file()) {
      const Bytes bytes = ReadFile(it->path());
      tree[name] = std::string(bytes.begin(), bytes.end());
    } else {
      tree[name] = "";
    }
  }
  return tree;
}

void Mark(const fs::path& path) { ASSERT_EQ(setxattr(path.c_str(), kMark, "1", 1, 0), 0) << path; }

void Age(const fs::path& path) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(60));
}

// Two sources of a second at 8 kHz, and the task file.
void Sources(const fs::path& dir, const std::string& task = kTask) {
  WriteFile(dir / "a.wav", CanonicalWav(8000, 16, 1, Ramp(8000, 1, 16, -3000, 3)));
  WriteFile(dir / "b.wav", CanonicalWav(8000, 16, 1, Ramp(8000, 1, 16, 2000, -1)));
  WriteText(dir / "task.txt", task);
}

// The sources, the task file and an old destination.
void OldDestination(const fs::path& dir) {
  Sources(dir);
  WriteFile(dir / "out.wav", kOld);
}

// A source of a second at 8 kHz whose cue chunk is as large as the program
// carries (16 MiB): 699,050 points, at every frame in turn.
void CueSource(const fs::path& path) {
  constexpr uint32_t kPoints = ((16u << 20) - 4) / 24;
  Bytes cue;
  Append32(cue, kPoints);
  for (uint32_t i = 0; i < kPoints; ++i) {
    for (const uint32_t field : {i + 1, i % 8000, 0x61746164u, 0u, 0u, i % 8000}) Append32(cue, field);
  }
  WriteFile(path,
            Riff({FormatChunk(8000, 16, 1), Chunk("data", PackSamples(16, Ramp(8000, 1, 16))), Chunk("cue ", cue)}));
}

// A recording whose header was never finished (a data size of 0): its
// samples run to the end of the file, and begin with what looks like
// metadata.
void UnfinishedSource(const fs::path& path) {
  Bytes samples;
  Bytes cue;
  for (const uint32_t field : {1u, 1u, 10u, 0x61746164u, 0u, 0u, 10u}) Append32(cue, field);
  Bytes adtl;
  AppendText(adtl, "adtl");
  const Bytes label = Chunk("labl", {1, 0, 0, 0, 'x', 0});
  adtl.insert(adtl.end(), label.begin(), label.end());
  for (const Bytes& chunk : {Chunk("cue ", cue), Chunk("LIST", adtl), Chunk("bext", Bytes(602, 0))}) {
    samples.insert(samples.end(), chunk.begin(), chunk.end());
  }
  const Bytes more = PackSamples(16, Ramp(1000, 1, 16));
  samples.insert(samples.end(), more.begin(), more.end());
  Bytes file = Riff({FormatChunk(8000, 16, 1)});
  AppendText(file, "data");
  Append32(file, 0);
  file.insert(file.end(), samples.begin(), samples.end());
  WriteFile(path, file);
}

// Another process holding the lock of a file, until it is killed.
int HoldLock(const fs::path& path) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const int pid = fork();
  if (pid == 0) {
    const int fd = open(path.c_str(), O_RDWR);
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
    for (;;) pause();
  }
  char byte = 0;
  close(ready[1]);
  if (read(ready[0], &byte, 1) != 1) ADD_FAILURE() << "the holder did not take the lock";
  close(ready[0]);
  return pid;
}

void Release(int& pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

// A scene: what it shows, the files it lays out, the command line, and what
// the run must say and leave.
struct Scene {
  std::string what;
  std::function<void(const fs::path&)> set_up;
  std::vector<std::string> args = {};
  int status = 0;
  std::string said = "";    // standard output holds it
  std::string errors = "";  // all of standard error
  // The destination: changed, made or removed.
  std::set<std::string> may_change = {"out.wav"};
  // Files that must be gone.
  std::set<std::string> removed = {};
  RunOptions options = {};
  // While the run waits on its full output pipe (without unnamed files or with).
  std::function<void(const fs::path&, bool)> during = nullptr;
  // More checks after the run.
  std::function<void(const fs::path&, const ProgramResult&)> then = nullptr;
  // Needs root: a second user's file or run.
  bool another_user = false;
  // Also as on a file system without unnamed files.
  bool both_modes = true;
  // Runs under an address-space limit, which the sanitizers' reserve defeats.
  bool address_limit = false;
  // A command the scene needs.
  const char* tool = nullptr;
};

// Which scenes a test plays.
enum class Kind { kPlain, kAnotherUser, kAddressLimit };

Kind KindOf(const Scene& scene) {
  return scene.another_user ? Kind::kAnotherUser : scene.address_limit ? Kind::kAddressLimit : Kind::kPlain;
}

bool Sanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  return false;
}

ProgramResult Play(const Scene& scene, const fs::path& dir, bool hidden) {
  RunOptions options = scene.options;
  options.no_unnamed_files = hidden;
  std::vector<std::string> command = WavspliceCommand(scene.args);
  // A copy that a second user may run wherever the build lies.
  if (options.unprivileged) command[0] = (dir / "wavsplice").string();
  if (!scene.during) return RunCommand(dir, command, options);
  options.one_page_output = true;
  StartedCommand started = StartCommand(dir, command, options);
  EXPECT_TRUE(WaitForFullOutput(started)) << "the program did not fill its output pipe";
  scene.during(dir, hidden);
  return FinishCommand(started);
}

void PlayAll(const std::vector<Scene>& scenes, Kind kind) {
  std::vector<std::string> skipped;
  for (const Scene& scene : scenes) {
    if (KindOf(scene) != kind) continue;
    if (scene.tool != nullptr && !HaveCommand(scene.tool)) {
      skipped.push_back(scene.what);
      continue;
    }
    for (const bool hidden : {false, true}) {
      if (hidden && !scene.both_modes) continue;
      const std::string what = scene.what + (hidden ? " (without unnamed files)" : "");
      SCOPED_TRACE(what);
      TempDir dir;
      scene.set_up(dir.path);
      const auto before = Tree(dir.path);
      const ProgramResult r = Play(scene, dir.path, hidden);
      EXPECT_EQ(r.status, scene.status) << what << "\n" << r.output << r.errors;
      EXPECT_NE(r.output.find(scene.said), std::string::npos) << what << ": " << r.output;
      EXPECT_EQ(r.errors, scene.errors) << what;
      const auto after = Tree(dir.path);
      for (const auto& [name, content] : before) {
        if (scene.may_change.contains(name)) continue;
        if (scene.removed.contains(name)) {
          EXPECT_FALSE(after.contains(name)) << what << ": " << name << " was not removed";
        } else {
          EXPECT_TRUE(after.contains(name)) << what << ": " << name << " is gone";
          EXPECT_TRUE(!after.contains(name) || after.at(name) == content) << what << ": " << name << " changed";
        }
      }
      for (const auto& [name, content] : after) {
        EXPECT_TRUE(before.contains(name) || scene.may_change.contains(name)) << what << ": " << name << " is new";
      }
      if (scene.then) scene.then(dir.path, r);
    }
  }
  if (!skipped.empty() && !testing::Test::HasFailure()) {
    std::string list;
    for (const std::string& what : skipped) list += "\n  " + what;
    GTEST_SKIP() << "scenes skipped, a tool missing:" << list;
  }
}

std::vector<Scene> Scenes() {
  using nlohmann::json;
  std::vector<Scene> scenes;
  // 1. The sweep: what people made under names like the hidden ones, and a
  // long-form name where the short one is not taken, stay; an unmarked file
  // of the destination's own form is named, never removed.
  scenes.push_back({
      .what = "1: files a person made under names like the hidden ones",
      .set_up =
          [](const fs::path& dir) {
            Sources(dir);
            for (const char* name : {".notes.wavsplice-backup", ".wavsplice-config", ".my thesis.wavsplice-draft1",
                                     ".out.wav.wavsplice-Keep01", ".wavsplice-Dead02"}) {
              WriteText(dir / name, name);
            }
            Mark(dir / ".wavsplice-Dead02");
          },
      .said = "Built\tout.wav\n",
      .errors = Leftover(".out.wav.wavsplice-Keep01"),
  });
  scenes.push_back({
      .what = "1: the marked files of dead runs go, of any destination; the unmarked stay",
      .set_up =
          [](const fs::path& dir) {
            Sources(dir);
            for (const char* name :
                 {".out.wav.wavsplice-Dead01", ".other.wav.wavsplice-Dead03", ".b.wav.wavsplice-Keep02"}) {
              WriteText(dir / name, name);
            }
            Mark(dir / ".out.wav.wavsplice-Dead01");
            Mark(dir / ".other.wav.wavsplice-Dead03");
            // Not a regular file, or a link, whatever its mark.
            fs::create_directory(dir / ".out.wav.wavsplice-Fold01");
            fs::create_symlink("a.wav", dir / ".out.wav.wavsplice-Link01");
          },
      .said = "Built\tout.wav\n",
      .removed = {".out.wav.wavsplice-Dead01", ".other.wav.wavsplice-Dead03"},
  });
  scenes.push_back({
      .what = "1: the short hidden form, where the long one would pass 255 bytes",
      .set_up =
          [](const fs::path& dir) {
            Sources(dir, "src\ta.wav\ndest\t" + std::string(120, 'n') + ".wav\n");
            WriteText(dir / ".wavsplice-config", "mine");
            WriteText(dir / ".wavsplice-Dead01", "dead");
            Mark(dir / ".wavsplice-Dead01");
            // Beside a destination of a name this long.
            fs::create_symlink(std::string(240, 'n') + ".wav", dir / (std::string(120, 'n') + ".wav"));
          },
      .said = "Built\t",
      .errors = Leftover(".wavsplice-config"),
      .may_change = {std::string(240, 'n') + ".wav"},
      .removed = {".wavsplice-Dead01"},
  });
  scenes.push_back({
      .what = "1: through a linked folder, a file there that is not the run's own",
      .set_up =
          [](const fs::path& dir) {
            Sources(dir, "src\ta.wav\ndest\tvd/o.wav\n");
            fs::create_directory(dir / "victim");
            fs::create_directory_symlink("victim", dir / "vd");
            WriteText(dir / "victim" / ".o.wav.wavsplice-draft1", "draft");
            WriteText(dir / "victim" / ".x.wav.wavsplice-backup", "backup");
          },
      .said = "Built\tvd/o.wav\n",
      .errors = Leftover("vd/.o.wav.wavsplice-draft1"),
      .may_change = {"victim/o.wav"},
  });
  scenes.push_back({
      .what = "1: a source under a marked hidden name",
      .set_up =
          [](const fs::path& dir) {
            Sources(dir, "src\t.voice.wavsplice-take02\ndest\tout.wav\n");
            fs::rename(dir / "a.wav", dir / ".voice.wavsplice-take02");
            Mark(dir / ".voice.wavsplice-take02");
          },
      .said = "Built\tout.wav\n",
  });
  scenes.push_back({
      .what = "1: the task file under a marked hidden name",
      .set_up =
          [](const fs::path& dir) {
            Sources(dir);
            fs::rename(dir / "task.txt", dir / ".jobs.wavsplice-task01");
            Mark(dir / ".jobs.wavsplice-task01");
          },
      .args = {".jobs.wavsplice-task01"},
      .said = "Built\tout.wav\n",
  });
  scenes.push_back({
      .what = "1: an old destination under a marked hidden name, the disk full",
      .set_up =
          [](const fs::path& dir) {
            Sources(dir, "src\ta.wav\ndest\t.master.wavsplice-v00001\n");
            WriteFile(dir / ".master.wavsplice-v00001", kOld);
            Mark(dir / ".master.wavsplice-v00001");
          },
      .status = 2,
      .said = "Cannot write wave file .master.wavsplice-v00001!\n",
      .may_change = {},
      .options = {.file_size_limit = 1000},
  });
  // 3. Another user's work file is refused before anything is written, also
  // while that user holds its lock.
  for (const bool held : {false, true}) {
    auto holder = std::make_shared<int>(-1);
    scenes.push_back({
        .what = held ? "3: another user's work file, its lock held" : "3: another user's work file",
        .set_up =
            [held, holder](const fs::path& dir) {
              Sources(dir, kCrossfadeTask);
              WriteFile(dir / "out.wav", kOld);
              fs::permissions(dir, fs::perms::all | fs::perms::sticky_bit);
              WriteText(dir / "xfade_temp.wav", "nobody's");
              ASSERT_EQ(chown((dir / "xfade_temp.wav").c_str(), 65534, 65534), 0);
              if (held) *holder = HoldLock(dir / "xfade_temp.wav");
            },
        .status = 2,
        .said = "Cannot create wave file xfade_temp.wav!\n",
        .may_change = {},
        .then =
            [holder](const fs::path& dir, const ProgramResult&) {
              const ProgramResult check = RunWavsplice(dir, {"--check"});
              EXPECT_EQ(check.status, 2);
              EXPECT_TRUE(check.output.ends_with("Cannot create wave file xfade_temp.wav!\n")) << check.output;
              Release(*holder);
            },
        .another_user = true,
    });
  }
  scenes.push_back({
      .what = "1: another user's marked file beside the destination, in a folder anyone may write",
      .set_up =
          [](const fs::path& dir) {
            Sources(dir);
            fs::permissions(dir, fs::perms::all);
            fs::copy_file(WAVSPLICE_BINARY, dir / "wavsplice");
            WriteText(dir / ".out.wav.wavsplice-Root01", "root's");
            Mark(dir / ".out.wav.wavsplice-Root01");
          },
      .said = "Built\tout.wav\n",
      .options = {.unprivileged = true},
      .another_user = true,
      .both_modes = false,
  });
  // A link another user made in a folder anyone may write leads nowhere:
  // neither the destination, nor a file written beside it, nor a source is
  // reached through it (root's private take would land in a readable file).
  struct Lure {
    std::string link, args_option, said;
    int status;
  };
  for (const Lure& lure : {
           Lure{"out.wav", "", "Cannot create wave file out.wav!\n", 2},
           Lure{"ch.json", "--chapters", "Cannot write --chapters file ch.json\n", 2},
           Lure{"a.wav", "", "Cannot find file in track list called a.wav!!\n", 2},
       }) {
    scenes.push_back({
        .what = "another user's link named " + lure.link + " in a sticky folder anyone may write",
        .set_up =
            [lure](const fs::path& dir) {
              Sources(dir);
              if (lure.link == "a.wav") fs::rename(dir / "a.wav", dir / "private.wav");
              WriteFile(dir / "victim.wav", kOld);
              fs::permissions(dir, fs::perms::all | fs::perms::sticky_bit);
              const fs::path bait = lure.link == "a.wav" ? "private.wav" : "victim.wav";
              fs::create_symlink(bait, dir / lure.link);
              ASSERT_EQ(lchown((dir / lure.link).c_str(), 65534, 65534), 0);
            },
        .args = lure.args_option.empty() ? std::vector<std::string>{}
                                         : std::vector<std::string>{lure.args_option, lure.link},
        .status = lure.status,
        .said = lure.said,
        .may_change = {},
        .another_user = true,
    });
  }
  // 4. --update: a source rewritten in place while the run copied it leaves
  // the destination older than the source; a folder is never up to date.
  scenes.push_back({
      .what = "4: a source rewritten during the run",
      .set_up =
          [](const fs::path& dir) {
            Sources(dir, TaskWithLateEntry("a.wav"));
            WriteFile(dir / "filler.wav", CanonicalWav(8000, 16, 1, Ramp(10, 1, 16)));
            for (const char* name : {"a.wav", "filler.wav", "task.txt"}) Age(dir / name);
          },
      .said = "Built\tout.wav\n",
      .may_change = {"out.wav", "filler.wav"},
      .during =
          [](const fs::path& dir, bool hidden) {
            // The run's file has a name from the start only without unnamed files.
            const auto names = FilesIn(dir);
            EXPECT_EQ(std::any_of(names.begin(), names.end(),
                                  [](const std::string& name) { return name.starts_with(".out.wav.wavsplice-"); }),
                      hidden);
            WriteFile(dir / "filler.wav", CanonicalWav(8000, 16, 1, Ramp(10, 1, 16, 99)));
          },
      .then =
          [](const fs::path& dir, const ProgramResult&) {
            EXPECT_NE(RunWavsplice(dir, {"--update"}).output.find("Built\tout.wav\n"), std::string::npos);
            Age(dir / "filler.wav");
            EXPECT_NE(RunWavsplice(dir, {"--update"}).output.find("Up to date\tout.wav\n"), std::string::npos);
          },
  });
  scenes.push_back({
      .what = "4: a folder named like the destination",
      .set_up =
          [](const fs::path& dir) {
            Sources(dir);
            for (const char* name : {"a.wav", "b.wav", "task.txt"}) Age(dir / name);
            fs::create_directory(dir / "out.wav");
          },
      .args = {"--update"},
      .status = 2,
      .said = "Cannot create wave file out.wav!\n",
      .may_change = {},
  });
  // 5. A report that cannot be written fails the run; before the destination
  // is in place, the old one stays.
  const std::string no_space = "wavsplice: cannot write the report: No space left on device\n";
  scenes.push_back({
      .what = "5: standard output full",
      .set_up = OldDestination,
      .status = 2,
      .errors = no_space,
      .may_change = {},
      .options = {.output_full = true},
  });
  scenes.push_back({
      .what = "5: standard output full, a JSON document",
      .set_up = OldDestination,
      .args = {"--json"},
      .status = 2,
      .errors = no_space,
      .options = {.output_full = true},
  });
  scenes.push_back({
      .what = "5: standard output full, a check",
      .set_up = OldDestination,
      .args = {"--check"},
      .status = 2,
      .errors = no_space,
      .may_change = {},
      .options = {.output_full = true},
  });
  scenes.push_back({
      .what = "5: standard output closed",
      .set_up = OldDestination,
      .status = 2,
      .errors = "wavsplice: cannot write the report: Bad file descriptor\n",
      .may_change = {},
      .options = {.output_closed = true},
  });
  scenes.push_back({
      .what = "5: standard input and error closed",
      .set_up = OldDestination,
      .said = "Built\tout.wav\n",
      .options = {.input_closed = true, .errors_closed = true},
      .then = [](const fs::path& dir,
                 const ProgramResult&) { EXPECT_EQ(ReadFile(dir / "out.wav").size(), 44u + 2 * 12000); },
  });
  // 6. A source with as many cue points as a chunk carries, used by many
  // entries: refused with the count, or built, in memory that grows with the
  // markers kept; an allocation that fails is said, never an abort.
  const auto many = [](int entries, const std::string& entry) {
    return [entries, entry](const fs::path& dir) {
      CueSource(dir / "cues.wav");
      std::string task = "meta\t1\n";
      for (int i = 0; i < entries; ++i) task += "src\tcues.wav\n" + entry;
      WriteText(dir / "task.txt", task + "dest\tout.wav\n");
      WriteFile(dir / "out.wav", kOld);
    };
  };
  scenes.push_back({
      .what = "6: 100 entries of 699,050 cue points",
      .set_up = many(100, ""),
      .status = 1,
      .said = "Destination would hold 69905000 markers (1000000 at most)\n",
      .may_change = {},
      .options = {.address_space_limit = 256 << 20},
      .both_modes = false,
      .address_limit = true,
  });
  scenes.push_back({
      .what = "6: 40 entries of a short window each",
      .set_up = many(40, "xout\t0.01\n"),
      .said = "Built\tout.wav\n",
      .options = {.address_space_limit = 256 << 20},
      .then =
          [](const fs::path& dir, const ProgramResult&) {
            // Frames 0 to 79 have 88 points each.
            EXPECT_EQ(CuePointsOf(ReadFile(dir / "out.wav")).size(), 40u * 80 * 88);
          },
      .both_modes = false,
      .address_limit = true,
  });
  scenes.push_back({
      .what = "6: too little memory for the cue chunk",
      .set_up = many(2, ""),
      .status = 2,
      .errors = "Out of memory\n",
      .may_change = {},
      .options = {.address_space_limit = 16 << 20},
      .both_modes = false,
      .address_limit = true,
  });
  // 7. Nothing after samples that run to the end of the file is metadata.
  scenes.push_back({
      .what = "7: cue, adtl and bext patterns inside an unfinished recording's samples",
      .set_up =
          [](const fs::path& dir) {
            UnfinishedSource(dir / "take.wav");
            WriteText(dir / "task.txt", "meta\t1\nsrc\ttake.wav\ndest\tout.wav\n");
          },
      .said = "Built\tout.wav\n",
      .then =
          [](const fs::path& dir, const ProgramResult&) {
            const Bytes out = ReadFile(dir / "out.wav");
            for (const FileChunk& chunk : WalkChunks(out)) {
              EXPECT_TRUE(chunk.tag == "fmt " || chunk.tag == "data") << chunk.tag;
            }
            // The samples run to the end of the file, under the usual header.
            EXPECT_EQ(out.size(), ReadFile(dir / "take.wav").size());
          },
  });
  // 8. An option after the task file is refused, nothing written.
  scenes.push_back({
      .what = "8: --check after the task file",
      .set_up = OldDestination,
      .args = {"task.txt", "--check"},
      .status = 1,
      .said = "Option --check must come before the task file\n",
      .may_change = {},
  });
  scenes.push_back({
      .what = "8: --sync after the task file, with --json before it",
      .set_up = [](const fs::path& dir) { Sources(dir); },
      .args = {"--json", "task.txt", "x", "--sync"},
      .status = 1,
      .said = R"("error":{"status":1,"message":"Option --sync must come before the task file"}})",
      .may_change = {},
  });
  // What a check warns about besides: given twice, not whole, not finite.
  scenes.push_back({
      .what = "a check of repeated dest and meta, a meta not whole, levels not finite",
      .set_up =
          [](const fs::path& dir) {
            Sources(dir,
                    "src\ta.wav\nlvl\tnan\nmix\t-inf\nmeta\t1.5\ndest\tfirst.wav\n"
                    "meta\t1\ndest\tout.wav\n");
          },
      .args = {"--check"},
      .status = 3,
      .said = "Warnings:\n"
              "line 2: a level of nan dB is not a finite number: it is ignored\n"
              "line 3: a mix of -inf dB is not a finite number: what lies under the entry is silenced\n"
              "line 4: \"1.5\" for \"meta\" reads as 1\n"
              "line 6: \"meta\" is given again (line 4 gave one): the last one counts\n"
              "line 6: task 1's source a.wav carries no metadata to take over\n"
              "line 7: \"dest\" is given again (line 5 gave one): the last one counts\n",
      .may_change = {},
  });
  // 9. A replaced destination keeps its attributes and ACLs; one with other
  // names is replaced under the name given, and says so.
  auto acl = std::make_shared<std::string>();
  scenes.push_back({
      .what = "9: extended attributes and an ACL",
      .set_up =
          [acl](const fs::path& dir) {
            Sources(dir);
            WriteFile(dir / "out.wav", kOld);
            ASSERT_EQ(chmod((dir / "out.wav").c_str(), 0640), 0);
            ASSERT_EQ(setxattr((dir / "out.wav").c_str(), "user.note", "keep me", 7, 0), 0);
            ASSERT_EQ(RunCommand(dir, {"setfacl", "-m", "u:65534:rw,g:65534:r", "out.wav"}).status, 0);
            *acl = RunCommand(dir, {"getfacl", "-n", "out.wav"}).output;
          },
      .said = "Built\tout.wav\n",
      .then =
          [acl](const fs::path& dir, const ProgramResult&) {
            char note[16] = {};
            EXPECT_EQ(getxattr((dir / "out.wav").c_str(), "user.note", note, sizeof note), 7);
            EXPECT_STREQ(note, "keep me");
            EXPECT_LT(getxattr((dir / "out.wav").c_str(), kMark, nullptr, 0), 0) << "the mark stayed";
            EXPECT_EQ(RunCommand(dir, {"getfacl", "-n", "out.wav"}).output, *acl);
            EXPECT_EQ(ReadFile(dir / "out.wav").size(), 44u + 2 * 12000);
          },
      .tool = "setfacl",
  });
  for (const bool check : {false, true}) {
    scenes.push_back({
        .what = check ? "9: a check of a destination with another name" : "9: a destination with another name",
        .set_up =
            [](const fs::path& dir) {
              Sources(dir);
              WriteFile(dir / "out.wav", kOld);
              fs::create_hard_link(dir / "out.wav", dir / "other.wav");
            },
        .args = check ? std::vector<std::string>{"--check"} : std::vector<std::string>{},
        .status = check ? 3 : 0,
        .said =
            check ? "line 4: out.wav has other names (hard links): they keep the old content\n" : "Built\tout.wav\n",
        .errors = check ? "" : "wavsplice: out.wav has other names (hard links): they keep the old content\n",
        .may_change = check ? std::set<std::string>{} : std::set<std::string>{"out.wav"},
    });
  }
  // 10. Control characters of names and labels reach no terminal raw.
  const std::string source = "take\x1b[31m.wav";
  const std::string label = "x\x1b]0;owned\x07y\\z\x01\xc2\x9b\xff";
  const std::string shown = "x\\x1b]0;owned\\x07y\\\\z\\x01\\xc2\\x9b\\xff";
  const std::string task = "src\t" + source + "\nmark\t" + label + "\ndest\tout.wav\n";
  scenes.push_back({
      .what = "10: control characters in a name and a label",
      .set_up =
          [source, task](const fs::path& dir) {
            Sources(dir, task);
            fs::rename(dir / "a.wav", dir / source);
          },
      .said = "\tFile " + source + "\n\tRead start 0.000 sec\n\tRead length 1.000 sec\n\tLevel 0.000 dB\n\tMarker " +
              shown + "\n",
      .then =
          [source, label, shown](const fs::path& dir, const ProgramResult&) {
            const ProgramResult check = RunWavsplice(dir, {"--check"});
            EXPECT_NE(check.output.find("File take\\x1b[31m.wav\n"), std::string::npos) << check.output;
            EXPECT_NE(check.output.find("\tMarker \"" + shown + "\" at 0.000 sec\n"), std::string::npos);
            EXPECT_EQ(check.output.find_first_of("\x1b\x01\x07\xff"), std::string::npos);
            const json doc = json::parse(RunWavsplice(dir, {"--json", "--check"}).output);
            EXPECT_EQ(doc["entries"][0]["source"], source);
            std::string hex;
            for (const char c : label) hex += Format("%02x", static_cast<unsigned char>(c));
            EXPECT_EQ(doc["entries"][0]["markers"][0]["label_hex"], hex);
          },
  });
  return scenes;
}

TEST(NotOurs, NothingThatIsNotTheRunsIsRemovedWrittenOrTrusted) { PlayAll(Scenes(), Kind::kPlain); }

TEST(NotOurs, AnotherUsersFilesAndRuns) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the scenes of a second user (nobody) change owners and run as it";
  PlayAll(Scenes(), Kind::kAnotherUser);
}

TEST(NotOurs, MemoryOfAMetadataRun) {
  if (Sanitized()) GTEST_SKIP() << "the sanitizers reserve more address space than the limit these scenes set";
  PlayAll(Scenes(), Kind::kAddressLimit);
}

}  // namespace
