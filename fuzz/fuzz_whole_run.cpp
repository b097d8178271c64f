// The whole program on a fuzzed task file over a fixed set of sources in a
// scratch directory. Every run must end in a report or a refusal, leave the
// sources as they were and remove its work file; a check must create nothing
// but its picture, and a picture holds no control byte and is UTF-8.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/failure.hpp"
#include "driver/json_document.hpp"
#include "driver/run.hpp"
#include "support/chunks.hpp"
#include "support/wav_builder.hpp"

namespace {

std::map<std::string, Bytes>& Sources() {
  static std::map<std::string, Bytes> sources;
  return sources;
}

void AddSource(const std::string& name, Bytes bytes) {
  WriteFile(name, bytes);
  Sources()[name] = std::move(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  char scratch[] = "/tmp/wavsplice-fuzz-run-XXXXXX";
  if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) std::abort();
  // Destinations of up to 2 GiB are legal; keep the fuzzer's small (run
  // with -handle_xfsz=0 so a write past the limit fails instead of exiting).
  signal(SIGXFSZ, SIG_IGN);
  rlimit limit{1 << 20, 1 << 20};
  setrlimit(RLIMIT_FSIZE, &limit);

  AddSource("a.wav", CanonicalWav(44100, 16, 2, Ramp(2000, 2, 16, -30000, 29)));
  AddSource("b.wav", CanonicalWav(44100, 16, 2, Ramp(3000, 2, 16, 20000, -17)));
  AddSource("c.wav", CanonicalWav(48000, 24, 1, Ramp(1000, 1, 24, 5, 4099)));
  AddSource("d.wav", Bytes(300, 'd'));
  Bytes listed = CanonicalWav(44100, 16, 2, Ramp(500, 2, 16));
  listed.insert(listed.begin() + 36, {'L', 'I', 'S', 'T', 4, 0, 0, 0, 'I', 'N', 'F', 'O'});
  AddSource("e.wav", listed);
  std::vector<float> floats;
  for (int i = 0; i < 1600; ++i) floats.push_back(static_cast<float>(i % 37) * 0.2F - 3.0F);
  AddSource("f.wav", CanonicalFloatWav(44100, 2, floats));
  AddSource("g.wav", CanonicalWav(44100, 32, 6, Ramp(300, 6, 32, -2000000000, 12345679)));
  AddSource("h.wav", CanonicalWav(44100, 16, 6, Ramp(400, 6, 16)));
  // Metadata to take over with "meta": a bext, an INFO list and cue points.
  Bytes bext(602, 'b');
  bext.insert(bext.end(), {'A', '=', 'P', 'C', 'M'});
  Bytes described =
      Riff({FormatChunk(44100, 16, 2), Chunk("bext", bext), Bytes{0}, Chunk("LIST", Bytes{'I', 'N', 'F', 'O'}),
            Chunk("data", PackSamples(16, Ramp(900, 2, 16, 7, 3)))});
  const Bytes cues =
      CueChunksFor({ReadCue{.id = 5, .position = 0, .sample_offset = 0, .label = "first", .note = {}},
                    ReadCue{.id = 2, .position = 0, .sample_offset = 450, .label = {}, .note = "half"},
                    ReadCue{.id = 9, .position = 0, .sample_offset = 4000, .label = "past", .note = {}}});
  described.insert(described.end(), cues.begin(), cues.end());
  AddSource("i.wav", described);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Names with a slash could reach outside the scratch directory.
  if (std::memchr(data, '/', size) != nullptr) return 0;
  WriteFile("task.txt", std::span(data, size));

  // Every other input is checked instead of built: a check writes nothing.
  const bool check = size > 0 && (data[size - 1] & 1) != 0;
  // Half the inputs with their destination laid out for block sharing, half
  // with a JSON document (which must always parse, whatever the names hold),
  // half measured.
  const bool align = size > 0 && (data[size - 1] & 2) != 0;
  const bool json = size > 0 && (data[size - 1] & 4) != 0;
  const bool loudness = size > 0 && (data[size - 1] & 8) != 0;
  const bool plot = size > 0 && (data[size - 1] & 16) != 0;
  RunState state;
  std::vector<const char*> argv = {"wavsplice"};
  if (check) argv.push_back("--check");
  if (align) argv.push_back("--align");
  if (json) argv.push_back("--json");
  if (loudness) argv.push_back("--loudness");
  if (plot) argv.insert(argv.end(), {"--plot", "plot.svg"});
  argv.push_back("task.txt");
  const JsonMode mode = check ? JsonMode::kCheck : JsonMode::kRun;
  const auto parses = [](const std::string& document) {
    try {
      (void)nlohmann::json::parse(document);
    } catch (const nlohmann::json::exception&) {
      std::abort();
    }
  };
  try {
    const ExitStatus status = RunEditor(static_cast<int>(argv.size()), argv.data(), state);
    if (status != ExitStatus::kSuccess && !(check && status == ExitStatus::kCheckWarnings)) std::abort();
    if (json) parses(JsonDocument(state, mode, nullptr));
  } catch (const RunFailure& failure) {
    if (failure.status != ExitStatus::kTaskError && failure.status != ExitStatus::kWavError) std::abort();
    if (json) parses(JsonDocument(state, mode, &failure));
  }
  if (state.plot_written && Sources().count("plot.svg") == 0) {
    const Bytes picture = ReadFile("plot.svg");
    for (const unsigned char c : picture) {
      if (c < 0x20 && c != '\n') std::abort();
    }
    try {
      (void)nlohmann::json(std::string(picture.begin(), picture.end())).dump();
    } catch (const nlohmann::json::exception&) {
      std::abort();  // not UTF-8
    }
  }
  if (check) {
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
      const std::string name = entry.path().filename().string();
      const bool picture = plot && state.plot_written && name == "plot.svg";
      if (name != "task.txt" && Sources().count(name) == 0 && !picture) std::abort();  // a check created a file
    }
  }

  // A file the task names as a source must come through unchanged. The
  // others may be the task's destination: they are laid anew for the next run.
  const TaskList& tasks = state.tasks;
  for (const auto& [name, bytes] : Sources()) {
    if (std::filesystem::exists(name) && ReadFile(name) == bytes) continue;
    for (const TaskEntry& entry : tasks.entries) {
      if (entry.source_name == name) std::abort();  // a source was damaged
    }
    std::filesystem::remove_all(name);
    WriteFile(name, bytes);
  }
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    const std::string name = entry.path().filename().string();
    // A task may name its destination like the work file when it has no
    // crossfade; otherwise a file of that name is a work file left behind.
    if (name == "xfade_temp.wav" && tasks.destination_name != name) std::abort();
    if (name != "task.txt" && Sources().count(name) == 0) std::filesystem::remove_all(entry.path());
  }
  return 0;
}
