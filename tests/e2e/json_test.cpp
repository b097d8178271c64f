// --json, --update, --help and --version: the documents of the bundled
// examples against the files they built, failures and odd names as valid
// JSON, and --update against the files' times.
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "e2e/e2e.hpp"
#include "support/chunks.hpp"

namespace {

using nlohmann::json;
using Json = EndToEnd;

// The document a run printed: exactly one line, valid JSON (the parser
// refuses invalid UTF-8).
json Document(const ProgramResult& r) {
  EXPECT_EQ(r.errors, "");
  EXPECT_FALSE(r.output.empty());
  EXPECT_EQ(r.output.find('\n'), r.output.size() - 1) << r.output;
  try {
    return json::parse(r.output);
  } catch (const json::exception& e) {
    ADD_FAILURE() << e.what() << ": " << r.output;
    return json::object();
  }
}

struct FileSamples {
  int channels = 0;
  int bits = 0;
  Bytes data;
  int64_t Frames() const { return static_cast<int64_t>(data.size()) / (bits / 8 * channels); }
  // The bytes of frame k.
  Bytes Frame(int64_t k) const {
    const int64_t size = bits / 8 * channels;
    return Bytes(data.begin() + k * size, data.begin() + (k + 1) * size);
  }
};

FileSamples SamplesOf(const Bytes& file) {
  FileSamples s;
  for (const FileChunk& c : WalkChunks(file)) {
    if (c.tag == "fmt ") {
      s.channels = c.body[2] | c.body[3] << 8;
      s.bits = c.body[14] | c.body[15] << 8;
    }
    if (c.tag == "data") {
      s.data.assign(file.begin() + static_cast<long>(c.offset + 8),
                    file.begin() + static_cast<long>(std::min<uint64_t>(c.offset + 8 + c.size, file.size())));
    }
  }
  return s;
}

// Makes an example's recordings in dir, as its sources.txt describes them.
void MakeSources(const std::filesystem::path& example, const std::filesystem::path& dir) {
  std::istringstream lines(ReadText(example / "sources.txt"));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::vector<std::string> argv{WAVSPLICE_TONE_BINARY};
    for (std::string field; fields >> field;) argv.push_back(field);
    ASSERT_EQ(RunCommand(dir, argv).status, 0) << line;
  }
}

TEST_F(Json, ExamplesSayWhereEveryEntryLandsAsTheFilesShow) {
  int compared = 0;
  for (const auto& folder :
       std::filesystem::directory_iterator(std::filesystem::path(WAVSPLICE_SOURCE_DIR) / "examples")) {
    if (!std::filesystem::exists(folder.path() / "task.txt")) continue;
    const std::string name = folder.path().filename().string();
    const std::filesystem::path work = dir / name;
    std::filesystem::create_directories(work);
    MakeSources(folder.path(), work);
    std::filesystem::copy_file(folder.path() / "task.txt", work / "task.txt");

    const json check = Document(RunWavsplice(work, {"--check", "--json"}));
    const ProgramResult r = RunWavsplice(work, {"--json"});
    ASSERT_EQ(r.status, 0) << name << r.output;
    const json doc = Document(r);
    EXPECT_EQ(doc["mode"], "run") << name;
    EXPECT_EQ(doc["status"], 0) << name;
    EXPECT_TRUE(doc["error"].is_null()) << name;
    const json& entries = doc["entries"];
    ASSERT_EQ(entries.size(), check["entries"].size()) << name;

    const FileSamples built = SamplesOf(ReadFile(work / doc["destination"]["name"].get<std::string>()));
    EXPECT_EQ(doc["destination"]["frames"], built.Frames()) << name;
    EXPECT_EQ(doc["destination"]["channels"], built.channels) << name;
    for (size_t k = 0; k < entries.size(); ++k) {
      const json& e = entries[k];
      // The check plans what the run does.
      for (const char* key : {"task", "line", "source", "insert", "read_start", "read_length", "level_db"}) {
        EXPECT_EQ(e[key], check["entries"][k][key]) << name << " entry " << k << " " << key;
      }
      EXPECT_TRUE(e["done"].get<bool>()) << name;
      // A frame of a plain entry that nothing written later reaches (no
      // later entry, no later crossfade's window) holds its source's frame.
      if (e["level_db"] != 0.0 || !e["mix_db"].is_null() || !e["fade_in"].is_null() || !e["fade_out"].is_null()) {
        continue;
      }
      const int64_t insert = e["insert"]["frames"];
      const int64_t start = e["read_start"]["frames"];
      const int64_t length = e["read_length"]["frames"];
      const int64_t skip = e["crossfade"].is_null() ? 0 : e["crossfade"]["width_frames"].get<int64_t>();
      int64_t at = -1;
      for (int64_t f = insert + skip; f < insert + length && at < 0; ++f) {
        bool reached = false;
        for (size_t later = k + 1; later < entries.size(); ++later) {
          const json& l = entries[later];
          const int64_t window = l["crossfade"].is_null() ? 0 : l["crossfade"]["width_frames"].get<int64_t>();
          const int64_t from = l["insert"]["frames"].get<int64_t>() - window;
          reached = reached ||
                    (f >= from && f < l["insert"]["frames"].get<int64_t>() + l["read_length"]["frames"].get<int64_t>());
        }
        if (!reached) at = f;
      }
      if (at < 0) continue;
      const FileSamples source = SamplesOf(ReadFile(work / e["source"].get<std::string>()));
      EXPECT_TRUE(built.Frame(at) == source.Frame(start + (at - insert)))
          << name << " task " << e["task"] << " frame " << at;
      ++compared;
    }
  }
  EXPECT_GE(compared, 12);  // the examples' plain entries
}

TEST_F(Json, FailuresAndOddNamesComeOutAsValidJson) {
  // A missing source, a task file without a destination, an impossible edit
  // (a check explains it at its line).
  Source("a.wav", 8000, 16, 1, Ramp(800, 1, 16));
  Task("src\tmissing.wav\ndest\tout.wav\n");
  json doc = Document(Run({"--json"}));
  EXPECT_EQ(doc["status"], 2);
  EXPECT_EQ(doc["error"]["status"], 2);
  EXPECT_EQ(doc["error"]["message"], "Cannot find file in track list called missing.wav!!");
  Task("src\ta.wav\n");
  doc = Document(Run({"--json"}));
  EXPECT_EQ(doc["error"],
            (json{{"status", 1}, {"message", "Your destination name appears to be too short or missing"}}));
  Task("src\ta.wav\nxin\t0.5\nxout\t0.2\ndest\tout.wav\n");
  const ProgramResult refused = Run({"--check", "--json"});
  EXPECT_EQ(refused.status, 1);
  doc = Document(refused);
  EXPECT_EQ(doc["mode"], "check");
  EXPECT_EQ(doc["error"]["message"], "Edit start/stop set incorrectly for a.wav");
  ASSERT_FALSE(doc["warnings"].empty());
  EXPECT_EQ(doc["warnings"][0]["line"], 1);
  // A run says the same in its document; --strict refuses what the check
  // warns about, with the warnings in the document; a refused option still
  // names the task file given.
  doc = Document(Run({"--json"}));
  EXPECT_EQ(doc["mode"], "run");
  EXPECT_EQ(doc["error"]["message"], "Edit start/stop set incorrectly for a.wav");
  ASSERT_EQ(doc["warnings"].size(), 1u);
  EXPECT_EQ(doc["warnings"][0]["line"], 1);
  Task("src\ta.wav\nmark\t\nsrc\ta.wav\ndest\tout.wav\n");
  doc = Document(Run({"--json", "--strict"}));
  EXPECT_EQ(doc["error"], (json{{"status", 3}, {"message", "Warnings refuse the run with --strict"}}));
  EXPECT_EQ(doc["warnings"].size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--json", "--bogus", "x.txt"}, {"--json", "--json", "--check", "--", "--x.txt"}}) {
    const ProgramResult r = Run(args);
    EXPECT_EQ(r.status, 1);
    doc = Document(r);
    EXPECT_EQ(doc["task_file"], args.back());
    EXPECT_EQ(doc["error"]["message"], "Unknown option " + args[1]);
  }

  // The reader's warnings go into the document, not to standard error.
  Task("src\ta.wav\r\nxin \t0.1\ndest\tout.wav\n");
  doc = Document(Run({"--json"}));
  EXPECT_EQ(doc["status"], 0);
  EXPECT_FALSE(doc["warnings"].empty());

  // Names that are not UTF-8, with quotes and backslashes, and a label too.
  const std::string odd = "caf\xe9 \"take\" 2\\b.wav";
  const std::string label = "Kapitel \xff";
  Source(odd, 8000, 16, 1, Ramp(800, 1, 16));
  Task("src\t" + odd + "\nmark\t" + label + "\ndest\tout.wav\n");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--json"}, {"--json", "--check"}}) {
    doc = Document(Run(args));
    const json& entry = doc["entries"][0];
    EXPECT_EQ(entry["source"], "caf\xef\xbf\xbd \"take\" 2\\b.wav");
    const std::string hex = entry["source_hex"];
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    EXPECT_EQ(bytes, odd);
    EXPECT_EQ(entry["markers"][0]["label"], "Kapitel \xef\xbf\xbd");
    EXPECT_EQ(doc["destination"]["markers"][0]["label_hex"], "4b61706974656c20ff");
  }
}

// examples/render.sh, one shard: a folder whose name ends in a newline is
// rendered in that folder, and the words of WAVSPLICE_OPTIONS reach every run.
TEST_F(Json, RenderShardTakesEveryFolderAndTheOptionsGiven) {
  const std::filesystem::path odd = dir / "night" / "take\n";
  std::filesystem::create_directories(odd);
  std::filesystem::create_directories(dir / "night" / "take");
  std::filesystem::create_directories(dir / "night" / "swallowed");
  for (const std::filesystem::path& folder : {odd, dir / "night" / "swallowed"}) {
    WriteFile(folder / "a.wav", CanonicalWav(8000, 16, 1, Ramp(800, 1, 16)));
  }
  WriteText(odd / "task.txt", "src\ta.wav\nxout\t0.05\ndest\tout.wav\n");
  WriteText(dir / "night" / "swallowed" / "task.txt", "src\ta.wav\nmark\t\nsrc\ta.wav\ndest\tout.wav\n");
  const ProgramResult r =
      RunCommand(dir.path, {"env", "WAVSPLICE=" WAVSPLICE_BINARY, "WAVSPLICE_OPTIONS=--strict  --align", "bash",
                            WAVSPLICE_SOURCE_DIR "/examples/render.sh", "--shard", "0", "1", "night"});
  EXPECT_EQ(r.status, 1) << r.output << r.errors;
  std::istringstream lines(r.output);
  std::map<std::string, json> results;
  for (std::string line; std::getline(lines, line);) {
    const json j = json::parse(line);
    results[j["task"].get<std::string>()] = j;
  }
  const std::string night = std::filesystem::canonical(dir / "night").string();
  ASSERT_EQ(results.size(), 2u) << r.output;
  const json& take = results[night + "/take\n/task.txt"];
  EXPECT_EQ(take["status"], 0) << r.output;
  EXPECT_EQ(take["result"]["working_directory"], night + "/take\n");
  EXPECT_EQ(SamplesOf(ReadFile(odd / "out.wav")).Frames(), 400);
  EXPECT_TRUE(std::filesystem::is_empty(dir / "night" / "take"));
  const json& swallowed = results[night + "/swallowed/task.txt"];
  EXPECT_EQ(swallowed["status"], 3) << r.output;
  EXPECT_EQ(swallowed["result"]["error"]["message"], "Warnings refuse the run with --strict");
  EXPECT_FALSE(std::filesystem::exists(dir / "night" / "swallowed" / "out.wav"));
}

TEST_F(Json, UpdateRebuildsOnlyWhatIsStale) {
  Source("a.wav", 8000, 16, 1, Ramp(800, 1, 16));
  Source("b.wav", 8000, 16, 1, Ramp(400, 1, 16, 9));
  Task("src\ta.wav\nsrc\tb.wav\ndest\tout.wav\n");
  const auto age = [&](const std::string& name, int seconds) {
    std::filesystem::last_write_time(dir / name,
                                     std::filesystem::file_time_type::clock::now() + std::chrono::seconds(seconds));
  };
  const std::string up_to_date = CountLine(2) + "Up to date\tout.wav\n";
  const auto built = [](const ProgramResult& r) {
    return r.status == 0 && r.output.find("Built\tout.wav") != std::string::npos;
  };

  EXPECT_TRUE(built(Run({"--update"})));  // no destination yet
  age("a.wav", -60);
  age("b.wav", -60);
  age("task.txt", -60);
  ProgramResult r = Run({"--update"});
  EXPECT_EQ(r.output, up_to_date);
  EXPECT_EQ(r.status, 0);
  const json doc = Document(Run({"--update", "--json"}));
  EXPECT_EQ(doc["mode"], "up to date");
  EXPECT_EQ(doc["destination"]["up_to_date"], true);

  for (const char* touched : {"b.wav", "task.txt"}) {
    age(touched, 30);
    EXPECT_TRUE(built(Run({"--update"}))) << touched;
    age(touched, -60);
    EXPECT_EQ(Run({"--update"}).output, up_to_date) << touched;
  }
  std::filesystem::remove(dir / "out.wav");
  EXPECT_TRUE(built(Run({"--update"})));
  // A source that is gone never leaves the destination up to date.
  std::filesystem::remove(dir / "b.wav");
  EXPECT_EQ(Run({"--update"}).status, 2);
}

}  // namespace
