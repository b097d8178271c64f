#include "driver/marker_files.hpp"

#include <nlohmann/json.hpp>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "common/text.hpp"
#include "io/work_file.hpp"

namespace {

__extension__ using Wide = unsigned __int128;

// A label on one line of a label file.
std::string OneLine(const std::string& label) {
  std::string line = label;
  for (char& c : line) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return line;
}

// A JSON string of the text, its bytes that are not UTF-8 as U+FFFD.
std::string JsonString(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

[[noreturn]] void FailOutput(const MarkerFile& file) {
  Fail(ExitStatus::kWavError, message::kCannotWriteOutput, file.option, file.name.c_str());
}

}  // namespace

std::string SecondsText(int64_t frame, uint32_t rate) {
  int decimals = 6;
  uint64_t scale = 1000000;
  while (scale < rate) {
    scale *= 10;
    ++decimals;
  }
  // The least k with k / scale x rate >= frame: below frame + 1 as long as
  // the rate is at most the scale.
  const Wide k = (static_cast<Wide>(frame > 0 ? frame : 0) * scale + (rate > 0 ? rate : 1) - 1) / (rate > 0 ? rate : 1);
  return Format("%llu.%0*llu", static_cast<unsigned long long>(k / scale), decimals,
                static_cast<unsigned long long>(k % scale));
}

std::string LabelTrackText(const Plan& plan) {
  std::string text;
  const uint32_t rate = plan.format.rate;
  for (const CuePoint& marker : plan.markers) {
    text += SecondsText(marker.frame, rate) + "\t" + SecondsText(marker.frame + marker.length, rate) + "\t";
    if (marker.has_label) text += OneLine(marker.label);
    text += "\n";
  }
  return text;
}

std::string ChaptersText(const Plan& plan) {
  std::string text = "{\n  \"version\": \"1.2.0\",\n  \"chapters\": [";
  const uint32_t rate = plan.format.rate;
  for (size_t i = 0; i < plan.markers.size(); ++i) {
    const CuePoint& marker = plan.markers[i];
    text += i == 0 ? "\n" : ",\n";
    text += "    {\"startTime\": " + SecondsText(marker.frame, rate);
    if (marker.has_label) text += ", \"title\": " + JsonString(marker.label);
    if (marker.length > 0) text += ", \"endTime\": " + SecondsText(marker.frame + marker.length, rate);
    text += "}";
  }
  text += plan.markers.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return text;
}

void RefuseReplacingInputs(std::span<const MarkerFile> files, const TaskList& tasks, const std::string& task_path) {
  for (const MarkerFile& file : files) {
    const auto refuse = [&](const std::string& what) {
      Fail(ExitStatus::kTaskError, message::kOutputWouldReplace, file.option, file.name.c_str(), what.c_str());
    };
    if (NamesOneFile(file.name, task_path)) refuse(message::kReplacesTaskFile);
    for (const TaskEntry& entry : tasks.entries) {
      if (NamesOneFile(file.name, entry.source_name)) refuse(message::kReplacesSource);
      for (const NamedFile& labels : entry.label_files) {
        if (NamesOneFile(file.name, labels.name)) refuse(message::kReplacesLabelFile);
      }
    }
    if (!tasks.destination_name.empty() && NamesOneFile(file.name, tasks.destination_name)) {
      refuse(message::kReplacesDestination);
    }
    if (NamesOneFile(file.name, kWorkFileName)) refuse(message::kReplacesWorkFile);
    for (const MarkerFile& other : files) {
      if (&other != &file && NamesOneFile(file.name, other.name))
        refuse(Format(message::kReplacesOutput, other.option));
    }
  }
}

void CheckMarkerFiles(std::span<MarkerFile> files) {
  for (MarkerFile& file : files) {
    file.target = FindReplaceTarget(file.name);
    if (!MayReplace(file.target) || !FolderWritable(file.target)) FailOutput(file);
  }
}

void WriteMarkerFiles(std::span<MarkerFile> files, const Plan& plan, std::span<const FileIdentity> keep, bool sweep) {
  for (MarkerFile& file : files) {
    file.target = FindReplaceTarget(file.name);
    if (!MayReplace(file.target)) FailOutput(file);
    file.leftovers = SweepDeadTemporaries(file.target, keep, sweep);
    if (!CreateTemporary(file.target, file.temporary, file.slot)) FailOutput(file);
    const std::string text = file.slot == StopSlot::kChapters ? ChaptersText(plan)
                             : file.slot == StopSlot::kLabels ? LabelTrackText(plan)
                                                              : file.text;
    if (!WriteAt(file.temporary.file, 0, std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()))) {
      FailOutput(file);
    }
  }
}

void CommitMarkerFiles(std::span<MarkerFile> files, bool sync) {
  for (MarkerFile& file : files) {
    if (!CommitTemporary(file.temporary, sync)) FailOutput(file);
  }
}
