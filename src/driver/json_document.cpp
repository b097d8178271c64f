#include "driver/json_document.hpp"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>

#include "check/check.hpp"
#include "common/messages.hpp"
#include "task/commands.hpp"

namespace {

// Keys in the order written: the document reads as the text does.
using json = nlohmann::ordered_json;

bool ValidUtf8(std::string_view text) {
  try {
    (void)json(text).dump();
    return true;
  } catch (const json::type_error&) {
    return false;
  }
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

// Names come from the file system and the task file: any bytes but NUL. A
// name that is not UTF-8 is given readable (U+FFFD for each bad byte) and
// exactly, in hex, beside it.
void PutText(json& object, const std::string& key, const std::string& text) {
  if (ValidUtf8(text)) {
    object[key] = text;
    return;
  }
  object[key] = json::parse(json(text).dump(-1, ' ', false, json::error_handler_t::replace)).get<std::string>();
  object[key + "_hex"] = Hex(text);
}

// A message of the catalogue as the document gives it: without its newline.
std::string Line(const char* text) {
  std::string line = text;
  while (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

double ExactSeconds(int64_t frames, uint32_t rate) { return rate > 0 ? static_cast<double>(frames) / rate : 0.0; }

json Time(int64_t frames, uint32_t rate) { return json{{"frames", frames}, {"seconds", ExactSeconds(frames, rate)}}; }

json Notes(const std::string& said) {
  json notes = json::array();
  for (size_t at = 0; at < said.size();) {
    size_t end = said.find('\n', at);
    if (end == std::string::npos) end = said.size();
    if (end > at) notes.push_back(said.substr(at, end - at));
    at = end + 1;
  }
  return notes;
}

// A value measured, or null where nothing was (or it is minus infinity:
// silence).
json Measured(const std::optional<double>& value) {
  return value && std::isfinite(*value) ? json(*value) : json(nullptr);
}

json Loudness(const LoudnessResult& m) {
  return json{{"integrated_lufs", Measured(m.integrated)},       {"range_lu", Measured(m.range)},
              {"true_peak_dbtp", Measured(m.true_peak)},         {"sample_peak_dbfs", Measured(m.sample_peak)},
              {"max_momentary_lufs", Measured(m.max_momentary)}, {"max_short_term_lufs", Measured(m.max_short_term)}};
}

// An entry's "lufs": its target, and whether its level was chosen for it.
json Lufs(const Entry& entry) {
  const bool set = entry.loudness->lufs == LufsOutcome::kSet;
  return json{{"target_lufs", *entry.task.lufs},
              {"level_set", set},
              {"why_not", set ? json(nullptr) : json(LufsReason(*entry.loudness))}};
}

// The destination's loudness as written, what was asked of it, the gain it
// got, and its loudness as built.
json ProgrammeDocument(const ProgrammeLoudness& loudness, const LoudnessGoal& goal) {
  json d = Loudness(loudness.written);
  d["target_lufs"] = goal.target ? json(*goal.target) : json(nullptr);
  d["ceiling_dbtp"] = goal.ceiling ? json(*goal.ceiling) : json(nullptr);
  d["gain_db"] = loudness.gain.gain_db;
  d["target_met"] = goal.target ? json(!loudness.gain.unmeasured && !loudness.gain.held) : json(nullptr);
  d["short_lu"] = loudness.gain.short_lu;
  d["clipped"] = loudness.clipped;
  d["as_built"] = Loudness(loudness.built);
  return d;
}

json Crossfade(const RunState& state, const Entry& entry, bool check, const EntryOutcome* outcome) {
  const TaskEntry& t = entry.task;
  if (!Crossfades(t)) return nullptr;
  const int width = CrossfadeWidth(t, state.plan.format);
  json crossfade{{"width_ms", t.xfade_width_ms},
                 {"width_frames", width >= 0 ? json(width) : json(nullptr)},
                 {"curve", t.xfade_type}};
  std::string why_not;
  if (check) {
    const auto index = static_cast<size_t>(entry.number - 1);
    if (index < state.check.crossfade_failures.size()) why_not = state.check.crossfade_failures[index];
  } else if (outcome != nullptr && outcome->crossfade_failure != nullptr) {
    why_not = Line(outcome->crossfade_failure);
  }
  crossfade["made"] = why_not.empty();
  crossfade["why_not"] = why_not.empty() ? json(nullptr) : json(why_not);
  if (!check && outcome == nullptr) crossfade["made"] = false;  // the run ended before it
  return crossfade;
}

json EntryDocument(const RunState& state, const Entry& entry, bool check, const EntryOutcome* outcome) {
  const uint32_t rate = state.plan.format.rate;
  const TaskEntry& t = entry.task;
  const Placement& p = entry.placement;
  const auto index = static_cast<size_t>(entry.number - 1);
  json e;
  e["task"] = entry.number;
  e["line"] = index < state.notes.entries.size() ? state.notes.entries[index][Command::kSrc] : 0;
  PutText(e, "source", t.source_name);
  e["insert"] = Time(p.insert_frame, rate);
  e["read_start"] = Time(p.read_start_frame, rate);
  e["read_length"] = Time(p.read_length, rate);
  e["level_db"] = t.level_db;
  if (entry.loudness) e["copy_loudness"] = Loudness(entry.loudness->measured);
  if (t.lufs && entry.loudness) e["lufs"] = Lufs(entry);
  e["mix_db"] = t.mixed ? json(t.mix_db) : json(nullptr);
  e["fade_in"] = p.fade_in_frames > 0 ? Time(p.fade_in_frames, rate) : json(nullptr);
  e["fade_out"] = p.fade_out_frames > 0 ? Time(p.fade_out_frames, rate) : json(nullptr);
  json markers = json::array();
  for (const std::string& label : t.markers) {
    json marker;
    PutText(marker, "label", label);
    markers.push_back(marker);
  }
  e["markers"] = markers;
  // Only where the task names label files: documents of other tasks stay as they were.
  if (!t.label_files.empty()) {
    json files = json::array();
    for (size_t j = 0; j < t.label_files.size() && j < entry.label_files.size(); ++j) {
      const LabelFileRead& read = state.plan.label_files[static_cast<size_t>(entry.label_files[j].read)];
      json file;
      PutText(file, "file", t.label_files[j].name);
      file["line"] = t.label_files[j].line;
      file["labels"] = read.labels;
      file["unreadable_lines"] = read.unreadable.size();
      file["kept"] = entry.label_files[j].kept;
      files.push_back(file);
    }
    e["label_files"] = files;
  }
  e["crossfade"] = Crossfade(state, entry, check, outcome);
  if (check) {
    e["overwrites"] = index < state.check.overwrites.size() ? json(state.check.overwrites[index]) : json::array();
    if (state.sharing && index < state.sharing->forecast.entries.size() &&
        state.sharing->forecast.entries[index].plain) {
      e["shared_bytes"] = state.sharing->forecast.entries[index].shared;
    }
  } else {
    e["done"] = outcome != nullptr;
    e["clipped"] = outcome != nullptr ? outcome->clipped : 0;
  }
  return e;
}

// Where a marker comes from: a mark of the task file, a line of a label
// file, a cue point of a source.
json OriginDocument(const Plan& plan, const MarkerOrigin& origin) {
  const Entry& entry = plan.entries[static_cast<size_t>(origin.entry)];
  json o;
  switch (origin.kind) {
    case MarkerOrigin::Kind::kMark:
      o["kind"] = "mark";
      o["task"] = entry.number;
      o["line"] = origin.at;
      break;
    case MarkerOrigin::Kind::kLabelFile:
      o["kind"] = "label file";
      o["task"] = entry.number;
      PutText(o, "file", entry.task.label_files[static_cast<size_t>(origin.file)].name);
      o["line"] = origin.at;
      break;
    case MarkerOrigin::Kind::kCuePoint:
      o["kind"] = "cue point";
      o["task"] = entry.number;
      PutText(o, "source", entry.task.source_name);
      o["cue_id"] = origin.at;
      break;
  }
  return o;
}

json DestinationDocument(const RunState& state, bool check) {
  const Plan& plan = state.plan;
  const AudioFormat& f = plan.format;
  json d;
  PutText(d, "name", state.tasks.destination_name);
  d["frames"] = plan.destination_length;
  d["seconds"] = ExactSeconds(plan.destination_length, f.rate);
  d["rate"] = f.rate;
  d["bits"] = f.bits;
  d["channels"] = f.channels;
  d["sample_type"] = f.type == SampleType::kFloat ? "float" : "integer";
  d["rf64"] = state.rf64;
  if (plan.metadata_entry >= 0) {
    PutText(d, "metadata_from", plan.entries[static_cast<size_t>(plan.metadata_entry)].task.source_name);
  } else {
    d["metadata_from"] = nullptr;
  }
  json markers = json::array();
  for (size_t i = 0; i < plan.markers.size(); ++i) {
    const CuePoint& point = plan.markers[i];
    json marker{{"frame", point.frame}, {"seconds", ExactSeconds(point.frame, f.rate)}};
    if (point.has_label) {
      PutText(marker, "label", point.label);
    } else {
      marker["label"] = nullptr;
    }
    if (point.has_note) {
      PutText(marker, "note", point.note);
    } else {
      marker["note"] = nullptr;
    }
    marker["length"] = point.length > 0 ? Time(point.length, f.rate) : json(nullptr);
    if (i < plan.marker_origins.size()) marker["origin"] = OriginDocument(plan, plan.marker_origins[i]);
    markers.push_back(marker);
  }
  d["markers"] = markers;
  if (state.loudness) d["loudness"] = ProgrammeDocument(*state.loudness, plan.loudness_goal);
  if (check) {
    d["replaces"] = state.check.replaces;
    if (state.sharing) {
      const SharingView& s = *state.sharing;
      json sharing{{"file_system", FileSystemName(s.file_system.type)},
                   {"block_bytes", s.file_system.block},
                   {"can_share", CanShareBlocks(s.file_system.type)},
                   {"shared_bytes", s.forecast.shared},
                   {"copied_bytes", s.forecast.copied}};
      if (s.align) {
        sharing["junk_bytes"] = s.alignment.junk;
        sharing["aligned_task"] = s.alignment.entry >= 0 ? json(s.alignment.entry + 1) : json(nullptr);
      }
      d["block_sharing"] = sharing;
    }
  }
  return d;
}

}  // namespace

std::string JsonDocument(const RunState& state, JsonMode mode, const RunFailure* failure) {
  const bool check = mode == JsonMode::kCheck;
  json doc;
  doc["program"] = "wavsplice";
  doc["version"] = WAVSPLICE_VERSION;
  doc["mode"] = mode == JsonMode::kRun ? "run" : check ? "check" : "up to date";
  PutText(doc, "task_file", state.task_path);
  // The folder the names are relative to, for a script that ran many.
  std::string folder(PATH_MAX, '\0');
  if (getcwd(folder.data(), folder.size()) != nullptr) {
    folder.resize(std::strlen(folder.c_str()));
    PutText(doc, "working_directory", folder);
  } else {
    doc["working_directory"] = nullptr;
  }
  const ExitStatus status = failure != nullptr                 ? failure->status
                            : check && !state.warnings.empty() ? ExitStatus::kCheckWarnings
                                                               : ExitStatus::kSuccess;
  doc["status"] = StatusCode(status);
  doc["units"] = state.tasks.using_samples ? "samples" : "seconds";
  doc["notes"] = Notes(state.tasks.said + state.plan.said);

  // Entries in write order, as a run takes them; what a run executed carries
  // its outcome.
  json entries = json::array();
  if (mode != JsonMode::kUpToDate) {
    for (const int index : state.plan.write_order) {
      const Entry& entry = state.plan.entries[static_cast<size_t>(index)];
      const EntryOutcome* outcome = nullptr;
      for (const EntryOutcome& o : state.outcomes) {
        if (o.entry == index) outcome = &o;
      }
      entries.push_back(EntryDocument(state, entry, check, outcome));
    }
  }
  doc["entries"] = entries;
  if (mode == JsonMode::kUpToDate || !state.planned) {
    json d;
    PutText(d, "name", state.tasks.destination_name);
    d["up_to_date"] = mode == JsonMode::kUpToDate;
    doc["destination"] = d;
  } else {
    doc["destination"] = DestinationDocument(state, check);
    doc["destination"]["up_to_date"] = false;
  }
  // Only with --plot: documents of other runs stay as they were.
  if (!state.options.plot.empty()) {
    if (state.plot_written) {
      PutText(doc, "plot", state.options.plot);
    } else {
      doc["plot"] = nullptr;
    }
  }
  json warnings = json::array();
  for (const Warning& w : state.warnings) warnings.push_back(json{{"line", w.line}, {"text", w.text}});
  doc["warnings"] = warnings;
  if (failure != nullptr) {
    json error{{"status", StatusCode(failure->status)}};
    PutText(error, "message", Line(failure->message.c_str()));
    doc["error"] = error;
  } else {
    doc["error"] = nullptr;
  }
  return doc.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}
