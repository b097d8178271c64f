// wavsplice --check: the plan and the likely mistakes of a task file, with
// nothing written. The task file format forgives much; this is where what it
// forgave is shown.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/failure.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "driver/run_state.hpp"
#include "task/reader.hpp"
#include "task/text_warnings.hpp"
#include "wav/crossfade_file.hpp"
#include "wav/destination.hpp"
#include "wav/header.hpp"

namespace {

// A number of frames in the task file's units.
std::string Time(const RunState& state, int64_t frames) {
  if (state.tasks.using_samples) return Format("%lli samples", static_cast<long long>(frames));
  return Format("%.3f sec", Seconds(frames, state.format.rate));
}

// Why the crossfade of entry e would not be made, or "" when it would: the
// windows a run would read, against the destination's and the source's
// samples.
std::string CrossfadeFailure(const RunState& state, int e, int width) {
  if (width < 0) return "the width is too large for a work file";
  const EntryPlan& p = state.plan[e];
  const int64_t frame_bytes = FrameBytes(state.format);
  const int half = width / 2;
  const AudioExtent destination{0, int64_t{state.destination_length} * frame_bytes};
  const WindowFit in_destination = FitWindow(destination, int64_t{p.insert_frame} - half, frame_bytes);
  const WindowFit in_source =
      FitWindow(state.sources[e].info.audio, int64_t{p.read_start_frame} - half, frame_bytes);
  std::vector<std::string> reasons;
  if (in_destination.missing_before > 0) {
    reasons.push_back("the destination lacks " + Time(state, in_destination.missing_before) + " before the insert point");
  } else if (in_destination.past_end > 0) {
    reasons.push_back("the destination ends " + Time(state, in_destination.past_end) +
                      " before the crossfade would start");
  }
  if (in_source.missing_before > 0) {
    reasons.push_back("the source lacks " + Time(state, in_source.missing_before) + " before the copy start");
  } else if (in_source.past_end > 0) {
    reasons.push_back("the source ends " + Time(state, in_source.past_end) + " before the crossfade would start");
  }
  if (reasons.empty() && !CrossfadeIsLaid(p.insert_frame, width)) return "it would start at the destination's first frame";
  std::string text;
  for (const std::string& reason : reasons) text += (text.empty() ? "" : " and ") + reason;
  return text;
}

// Why the outgoing side of the crossfade of the entry at `position` of the
// write order fades out of silence, or "": the outgoing entry's source ends
// where its frames past the splice would be taken from.
std::string FadesOutOfSilence(const RunState& state, size_t position, int width) {
  const OutgoingPlan outgoing = PlanOutgoing(state, position, width);
  if (outgoing.entry < 0) return "";
  const EntryPlan& o = state.plan[outgoing.entry];
  const int64_t splice = state.plan[state.write_order[position]].insert_frame;
  const int64_t length = state.sources[outgoing.entry].info.length_frames;
  int64_t silent = 0;
  for (const FrameSpan& span : outgoing.uncovered) {
    for (int64_t f = std::max(span.from, splice); f < span.to; ++f) {
      const int64_t source_frame = o.read_start_frame + (f - o.insert_frame);
      silent += source_frame < 0 || source_frame >= length ? 1 : 0;
    }
  }
  if (silent == 0) return "";
  return Format("fades task %i out into silence for %s past the splice: %s has no more after its copy", outgoing.entry + 1,
                Time(state, silent).c_str(), state.tasks.entries[outgoing.entry].source_name.c_str());
}

struct Span {
  int64_t from;
  int64_t to;  // exclusive
};

Span Landing(const EntryPlan& p) {
  return {p.insert_frame, int64_t{p.insert_frame} + std::max(p.read_length, 0)};
}

// The parts of each entry's landing that no later entry overwrites.
std::vector<std::vector<Span>> Surviving(const RunState& state) {
  std::vector<std::vector<Span>> kept(state.plan.size());
  const std::vector<int>& order = state.write_order;
  for (size_t k = 0; k < order.size(); ++k) {
    std::vector<Span> parts;
    if (const Span landing = Landing(state.plan[order[k]]); landing.to > landing.from) parts.push_back(landing);
    for (size_t later = k + 1; later < order.size() && !parts.empty(); ++later) {
      const Span cover = Landing(state.plan[order[later]]);
      std::vector<Span> rest;
      for (const Span& part : parts) {
        if (cover.to <= part.from || cover.from >= part.to) {
          rest.push_back(part);
          continue;
        }
        if (part.from < cover.from) rest.push_back({part.from, cover.from});
        if (cover.to < part.to) rest.push_back({cover.to, part.to});
      }
      parts = rest;
    }
    kept[order[k]] = parts;
  }
  return kept;
}

int LineOr(int line, int fallback) { return line != 0 ? line : fallback; }

void PrintEntries(const RunState& state, const ReadNotes& notes, const std::vector<std::vector<Span>>& kept,
                  std::vector<Warning>& warnings) {
  const bool integers = state.format.type == SampleType::kInteger;
  for (size_t k = 0; k < state.write_order.size(); ++k) {
    const int e = state.write_order[k];
    const TaskEntry& t = state.tasks.entries[e];
    const EntryPlan& p = state.plan[e];
    const EntryLines& lines = notes.entries[e];
    const Span landing = Landing(p);
    std::printf("Task %i\tline %i\tFile %s\n", e + 1, lines.src, t.source_name.c_str());
    std::printf("\tInsert point %s, ends %s\n", Time(state, landing.from).c_str(), Time(state, landing.to).c_str());
    std::printf("\tRead start %s, length %s\n", Time(state, p.read_start_frame).c_str(),
                Time(state, p.read_length).c_str());
    std::printf("\tLevel %.3f dB\n", t.level_db);
    if (t.level_db > 0.0 && integers) {
      warnings.push_back({LineOr(lines.lvl, lines.src),
                          Format("a level of +%.3f dB on integer samples may clip loud parts (task %i)", t.level_db,
                                 e + 1)});
    }
    if (p.read_start_frame >= state.sources[e].info.length_frames) {
      warnings.push_back({LineOr(lines.xin, lines.src),
                          Format("the copy start of task %i lies at or past the end of %s: nothing is copied", e + 1,
                                 t.source_name.c_str())});
    } else if (p.stop_cut) {
      warnings.push_back({LineOr(lines.xout, LineOr(lines.trim, lines.src)),
                          Format("the copy stop of task %i lies past the end of %s: the copy ends at its end", e + 1,
                                 t.source_name.c_str())});
    }
    if (t.xfade_type != 0) {
      const int width = CrossfadeWidth(state, t);
      const std::string failure = CrossfadeFailure(state, e, width);
      // A width of 0 ms or less (or none) is 4410 frames at every rate.
      const std::string shown = width < 0                        ? "too wide"
                                : !IsPositive(t.xfade_width) ? "the default " + std::to_string(width) + " frames, " +
                                                                   Time(state, width)
                                                             : Time(state, width);
      std::printf("\tCrossfade %g ms (%s), curve %i, %s\n", static_cast<double>(t.xfade_width_ms), shown.c_str(),
                  t.xfade_type, failure.empty() ? "made" : ("not made: " + failure).c_str());
      if (!failure.empty()) {
        warnings.push_back({LineOr(lines.xf, lines.src),
                            Format("the crossfade of task %i will not be made: %s", e + 1, failure.c_str())});
      } else if (const std::string silence = FadesOutOfSilence(state, k, width); !silence.empty()) {
        warnings.push_back({LineOr(lines.xf, lines.src), Format("the crossfade of task %i %s", e + 1, silence.c_str())});
      }
    }
    std::string overwritten;
    for (size_t earlier = 0; earlier < k; ++earlier) {
      const Span other = Landing(state.plan[state.write_order[earlier]]);
      if (other.from < landing.to && landing.from < other.to) {
        overwritten += (overwritten.empty() ? "" : ", ") + std::to_string(state.write_order[earlier] + 1);
      }
    }
    if (!overwritten.empty()) std::printf("\tOverwrites task %s\n", overwritten.c_str());
    if (landing.to > landing.from && kept[e].empty()) {
      warnings.push_back({lines.src, Format("task %i (%s) is overwritten completely by later entries", e + 1,
                                            t.source_name.c_str())});
    }
  }
}

// One row per entry in write order: '#' where its frames stay in the
// destination, '-' where a later entry overwrites them.
void PrintTimeline(const RunState& state, const std::vector<std::vector<Span>>& kept) {
  const int64_t length = state.destination_length;
  if (length <= 0 || state.write_order.empty()) return;
  winsize terminal{};
  int width = ioctl(STDOUT_FILENO, TIOCGWINSZ, &terminal) == 0 && terminal.ws_col >= 20 ? terminal.ws_col : 80;
  width = std::min(width, 400);
  const int64_t columns = std::min<int64_t>(width - 7, length);
  std::printf("\nTimeline from 0 to %s: '#' kept, '-' overwritten later\n", Time(state, length).c_str());
  for (const int e : state.write_order) {
    std::string row;
    const Span landing = Landing(state.plan[e]);
    for (int64_t c = 0; c < columns; ++c) {
      const int64_t from = c * length / columns;
      const int64_t to = (c + 1) * length / columns;
      const bool stays = std::any_of(kept[e].begin(), kept[e].end(),
                                     [&](const Span& s) { return s.from < to && from < s.to; });
      const bool lands = landing.from < to && from < landing.to;
      row += stays ? '#' : lands ? '-' : ' ';
    }
    std::printf("%4i |%s|\n", e + 1, row.c_str());
  }
}

// The value a command of an entry was given, as written, or "".
std::string WrittenValue(const ReadNotes& notes, const char* command, int line) {
  for (const TokenNote& token : notes.tokens) {
    if (token.role == TokenRole::kValue && token.command == command && token.command_line == line) return token.text;
  }
  return "";
}

int LineOfCommand(const EntryLines& lines, const std::string& command) {
  if (command == "xin") return lines.xin;
  if (command == "xout") return lines.xout;
  if (command == "trim") return lines.trim;
  if (command == "ins") return lines.ins;
  return 0;
}

// Before the refusal of an edit: where the entries before it would land, in
// task-file order, and a warning at its "src" line naming the value at fault.
void ExplainRefusal(RunState& state, const ReadNotes& notes, std::vector<Warning>& warnings) {
  const EditRefusal& refusal = state.refusal;
  const size_t placed = PlaceLeadingEntries(state, static_cast<size_t>(refusal.entry));
  if (placed > 0) {
    std::printf("Plan of the entries before task %i, in task-file order, times in %s:\n", refusal.entry + 1,
                state.tasks.using_samples ? "samples" : "seconds");
  }
  for (size_t e = 0; e < placed; ++e) {
    const EntryPlan& p = state.plan[e];
    std::printf("Task %zu\tline %i\tFile %s\n", e + 1, notes.entries[e].src, state.tasks.entries[e].source_name.c_str());
    std::printf("\tInsert point %s, ends %s\n", Time(state, p.insert_frame).c_str(),
                Time(state, int64_t{p.insert_frame} + std::max(p.read_length, 0)).c_str());
    std::printf("\tRead start %s, length %s\n", Time(state, p.read_start_frame).c_str(),
                Time(state, p.read_length).c_str());
  }
  if (placed > 0) std::printf("\n");
  const EntryLines& lines = notes.entries[static_cast<size_t>(refusal.entry)];
  const std::string command = refusal.command;
  const int line = LineOfCommand(lines, command);
  const std::string value = line != 0 ? WrittenValue(notes, refusal.command, line) : "";
  const std::string what = command.empty()   ? "its place"
                           : value.empty()   ? "\"" + command + "\" (not given)"
                                             : "\"" + command + "\" " + value + " (line " + std::to_string(line) + ")";
  warnings.push_back({lines.src, Format("task %i (%s) is refused: %s %s", refusal.entry + 1,
                                        state.tasks.entries[static_cast<size_t>(refusal.entry)].source_name.c_str(),
                                        what.c_str(), refusal.reason.c_str())});
}

void PrintWarnings(const std::vector<Warning>& warnings) {
  for (const Warning& w : warnings) std::printf("line %i: %s\n", w.line, w.text.c_str());
}

}  // namespace

int RunCheck(RunState& state) {
  ReadNotes notes;
  try {
    state.tasks = ReadTaskFile(state.task_path, &notes);
  } catch (const RunFailure&) {
    // What the reader forgave before it refused often explains the refusal.
    PrintWarnings(TextWarnings(notes));
    throw;
  }
  std::printf("\nRead %i entries in task file\n\n", static_cast<int>(state.tasks.entries.size()));
  std::vector<Warning> warnings = TextWarnings(notes);
  DestinationTarget target;
  try {
    ResolvePlan(state);
    target = FindDestinationTarget(state.tasks.destination_name, true);
    // A run makes its work file in the working directory for every crossfade
    // whose width it can render.
    const bool work_file = std::any_of(state.tasks.entries.begin(), state.tasks.entries.end(), [&](const TaskEntry& t) {
      return t.xfade_type != 0 && CrossfadeWidth(state, t) >= 0;
    });
    if (work_file && access(".", W_OK | X_OK) != 0) Fail(2, "Cannot create wave file %s!\n", kWorkFileName);
  } catch (const RunFailure&) {
    if (state.refusal.entry >= 0) ExplainRefusal(state, notes, warnings);
    PrintWarnings(warnings);
    throw;
  }

  std::printf("Plan in write order, times in %s:\n", state.tasks.using_samples ? "samples" : "seconds");
  const auto kept = Surviving(state);
  PrintEntries(state, notes, kept, warnings);
  const AudioFormat& f = state.format;
  std::printf("\nDestination %s\n", state.tasks.destination_name.c_str());
  std::printf("\t%u Hz, %i bits, %i channels, %s samples\n", f.rate, f.bits, f.channels,
              f.type == SampleType::kFloat ? "float" : "integer");
  std::printf("\tLength %s\n", Time(state, state.destination_length).c_str());
  if (int64_t{state.destination_length} * FrameBytes(f) > kMaxDataSize) {
    std::printf("\tAn RF64 file: its samples pass 2 GB\n");
  }
  std::printf("\t%s\n", target.replaces ? "Replaces the existing file" : "A new file");
  PrintTimeline(state, kept);

  std::stable_sort(warnings.begin(), warnings.end(), [](const Warning& a, const Warning& b) { return a.line < b.line; });
  std::printf("\n%s\n", warnings.empty() ? "No warnings" : "Warnings:");
  PrintWarnings(warnings);
  std::fflush(stdout);
  return warnings.empty() ? 0 : 3;
}
