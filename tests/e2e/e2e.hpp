#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/run_program.hpp"
#include "support/wav_builder.hpp"

// Whether every line of a run's standard error is a warning about the task
// file's text: "wavsplice: line N: ...".
inline bool OnlyTextWarnings(const std::string& errors) {
  for (size_t at = 0; at < errors.size();) {
    const size_t end = errors.find('\n', at);
    if (end == std::string::npos || errors.compare(at, 16, "wavsplice: line ") != 0) return false;
    size_t digits = at + 16;
    while (digits < end && std::isdigit(static_cast<unsigned char>(errors[digits]))) ++digits;
    if (digits == at + 16 || errors.compare(digits, 2, ": ") != 0) return false;
    at = end + 1;
  }
  return true;
}

// A run of the built program in a fresh directory holding the files a test
// writes.
class EndToEnd : public testing::Test {
 protected:
  TempDir dir;

  void Source(const std::string& name, uint32_t rate, int bits, int channels, const std::vector<int32_t>& samples) {
    WriteFile(dir / name, CanonicalWav(rate, bits, channels, samples));
  }
  void Task(const std::string& text, const std::string& name = "task.txt") { WriteText(dir / name, text); }
  // Standard error carries only the warnings about the task file's text.
  ProgramResult Run(const std::vector<std::string>& args = {}, const RunOptions& options = {}) {
    ProgramResult r = RunWavsplice(dir.path, args, options);
    EXPECT_TRUE(OnlyTextWarnings(r.errors)) << "standard error: " << r.errors;
    return r;
  }
  // The samples of a file the program wrote, after checking its header.
  std::vector<int32_t> Samples(const std::string& name, uint32_t rate, int bits, int channels) {
    const Bytes bytes = ReadFile(dir / name);
    EXPECT_GE(bytes.size(), 44u);
    const size_t data = bytes.size() - 44;
    const int frame = bits / 8 * channels;
    const Bytes header = CanonicalWav(rate, bits, channels, std::vector<int32_t>(data / (bits / 8), 0));
    EXPECT_EQ(Hex(std::span(bytes).first(44)), Hex(std::span(header).first(44))) << name << " header";
    EXPECT_EQ(data % frame, 0u);
    return UnpackSamples(bits, std::span(bytes).subspan(44));
  }
  std::vector<std::string> Files() { return FilesIn(dir.path); }
};

// Every file in a folder with its bytes (a folder in it maps to nothing), to
// show that a run left them as they were.
inline std::map<std::string, Bytes> Snapshot(const std::filesystem::path& folder) {
  std::map<std::string, Bytes> files;
  for (const std::string& name : FilesIn(folder)) {
    files[name] = std::filesystem::is_regular_file(folder / name) ? ReadFile(folder / name) : Bytes{};
  }
  return files;
}

// Frames [from, from + count) of interleaved samples.
inline std::vector<int32_t> Frames(const std::vector<int32_t>& samples, int channels, int from, int count) {
  return std::vector<int32_t>(samples.begin() + static_cast<long>(from) * channels,
                              samples.begin() + static_cast<long>(from + count) * channels);
}

// Lays a segment over a destination at a frame, as a later entry overwrites an earlier one.
inline void Overlay(std::vector<int32_t>& destination, int channels, int at, const std::vector<int32_t>& segment) {
  std::copy(segment.begin(), segment.end(), destination.begin() + static_cast<long>(at) * channels);
}

inline std::string CountLine(int entries) { return "\nRead " + std::to_string(entries) + " entries in task file\n\n"; }

// The first lines of a run in samples mode.
inline std::string SamplesCountLine(int entries) { return "Reading time values as samples.\n" + CountLine(entries); }

inline std::string Report(const std::string& destination, const std::string& length, int bits, int channels,
                          int rate) {
  return "Built\t" + destination + "\n\tLength " + length + "\n\tBits " + std::to_string(bits) + "\n\tChannels " +
         std::to_string(channels) + "\n\tSample rate " + std::to_string(rate) + "\n\n";
}

// One entry's block in samples mode.
struct Block {
  int task = 1;
  int insert = 0;
  std::string file{};
  int start = 0;
  int length = 0;
  std::string level = "0.000";
  std::string extra{};  // lines before "Done"
};
inline std::string SampleBlock(const Block& b) {
  return "Task " + std::to_string(b.task) + "\tInsert point " + std::to_string(b.insert) + " samples\n\tFile " +
         b.file + "\n\tRead start " + std::to_string(b.start) + " samples\n\tRead length " + std::to_string(b.length) +
         " samples\n\tLevel " + b.level + " dB\n" + b.extra + "\tDone\n\n";
}

// Runs wavsplice with its standard output going into a pipe of one page that
// this test does not read at first. The program blocks on a write of its
// standard output after it has planned the run, while it reports the early
// entries and before it copies the late ones. Then `change` runs, and the
// test drains the pipe and collects the result.
template <class Change>
inline ProgramResult RunWithPause(const std::filesystem::path& dir, Change change) {
  StartedCommand command = StartCommand(dir, WavspliceCommand(), RunOptions{.one_page_output = true});
  EXPECT_TRUE(WaitForFullOutput(command)) << "the program did not fill its output pipe";
  change();
  return FinishCommand(command);
}

// Many small entries first (about 130 bytes of output each), the victim last.
inline std::string TaskWithLateEntry(const std::string& victim) {
  std::string task = "using_samples\n";
  for (int i = 0; i < 90; ++i) task += "src\tfiller.wav\nxout\t10\n";
  return task + "src\t" + victim + "\ndest\tout.wav\n";
}
