// wavsplice --check: the plan and the likely mistakes of a task file, with
// nothing written. The task file format forgives much; this is where what it
// forgave is shown.
#include "check/check.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/messages.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "plan/lanes.hpp"
#include "task/commands.hpp"
#include "wav/header.hpp"

namespace {

// A number of frames in the task file's units.
std::string TimeText(int64_t frames, bool using_samples, uint32_t rate) {
  if (using_samples) return Format("%lli samples", static_cast<long long>(frames));
  return Format("%.3f sec", Seconds(frames, rate));
}

// A line of the catalogue without its newline: the check's lines have none.
std::string Unended(std::string line) {
  while (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

// A measured value in its unit, or what stands for one that nothing was
// measured for.
std::string Value(const char* format, const std::optional<double>& value) {
  return value ? Format(format, *value) : message::kNotMeasurable;
}

std::string PeakValue(double true_peak) {
  return std::isfinite(true_peak) ? Format(message::kDbtpValue, true_peak) : message::kDigitalSilence;
}

// The line of the task file's last value for a task-level command ("loud",
// "peak"), or 0.
int CommandLine(const ReadNotes& notes, const char* command) {
  int line = 0;
  for (const TokenNote& token : notes.tokens) {
    if (token.role == TokenRole::kValue && token.command == command) line = token.command_line;
  }
  return line;
}

// What the check works on.
struct Checked {
  const TaskList& tasks;
  const ReadNotes& notes;
  const Plan& plan;
  const SharingView* sharing;  // when block sharing is shown
  bool loudness = false;       // every entry's copy measured is shown

  std::string Time(int64_t frames) const { return TimeText(frames, tasks.using_samples, plan.format.rate); }
  const Entry& At(size_t position) const { return plan.entries[static_cast<size_t>(plan.write_order[position])]; }
};

// The first lines of an entry in a plan: its task-file line and source,
// where it lands and what it reads.
void PlaceLines(const Entry& entry, int line, bool using_samples, uint32_t rate, std::vector<std::string>& out) {
  const auto time = [&](int64_t frames) { return TimeText(frames, using_samples, rate); };
  const Placement& p = entry.placement;
  const FrameSpan landing = Landing(p);
  out.push_back(Format("Task %i\tline %i\tFile %s", entry.number, line, Printable(entry.task.source_name).c_str()));
  out.push_back(Format("\tInsert point %s, ends %s", time(landing.from).c_str(), time(landing.to).c_str()));
  out.push_back(Format("\tRead start %s, length %s", time(p.read_start_frame).c_str(), time(p.read_length).c_str()));
}

// Why the crossfade of entry e would not be made, or "" when it would: the
// windows a run would read, against the destination's and the source's
// samples.
std::string CrossfadeFailure(const Checked& c, const CrossfadeFit& fit) {
  if (fit.width < 0) return "the width is too large for a work file";
  const WindowFit& in_destination = fit.destination;
  const WindowFit& in_source = fit.source;
  std::vector<std::string> reasons;
  if (in_destination.missing_before > 0) {
    reasons.push_back("the destination lacks " + c.Time(in_destination.missing_before) + " before the insert point");
  } else if (in_destination.past_end > 0) {
    reasons.push_back("the destination ends " + c.Time(in_destination.past_end) + " before the crossfade would start");
  }
  if (in_source.missing_before > 0) {
    reasons.push_back("the source lacks " + c.Time(in_source.missing_before) + " before the copy start");
  } else if (in_source.past_end > 0) {
    reasons.push_back("the source ends " + c.Time(in_source.past_end) + " before the crossfade would start");
  }
  if (reasons.empty() && !fit.laid) return "it would start at the destination's first frame";
  std::string text;
  for (const std::string& reason : reasons) text += (text.empty() ? "" : " and ") + reason;
  return text;
}

// Why the outgoing side of the crossfade of the entry at `position` of the
// write order fades out of silence, or "": the outgoing entry's source ends
// where its frames past the splice would be taken from (where its own fade
// silences them, that is what was asked for).
std::string FadesOutOfSilence(const Checked& c, size_t position, int width) {
  const OutgoingPlan outgoing = PlanOutgoing(c.plan, position, width);
  if (outgoing.entry < 0) return "";
  const Entry& out = c.plan.entries[static_cast<size_t>(outgoing.entry)];
  const Placement& o = out.placement;
  const int64_t splice = c.At(position).placement.insert_frame;
  const int64_t length = out.source.info.length_frames;
  int64_t silent = 0;
  for (const FrameSpan& span : outgoing.uncovered) {
    for (int64_t f = std::max({span.from, splice, outgoing.sounding.from}); f < std::min(span.to, outgoing.sounding.to);
         ++f) {
      const int64_t source_frame = o.read_start_frame + (f - o.insert_frame);
      silent += source_frame < 0 || source_frame >= length ? 1 : 0;
    }
  }
  if (silent == 0) return "";
  return Format("fades task %i out into silence for %s past the splice: %s has no more after its copy", out.number,
                c.Time(silent).c_str(), Printable(out.task.source_name).c_str());
}

// Whether an entry's plain copy will share blocks with its source, and if
// not, why.
void CheckEntrySharing(const SharingView& sharing, const Entry& entry, std::vector<std::string>& out) {
  const EntrySharing& e = sharing.forecast.entries[static_cast<size_t>(entry.number - 1)];
  if (!e.plain || !CanShareBlocks(sharing.file_system.type)) return;
  const auto written = static_cast<long long>(e.written);
  if (e.shared > 0) {
    out.push_back(Format("\tShares %lld of its %lld bytes with its source", static_cast<long long>(e.shared), written));
  } else if (e.other_device) {
    out.push_back(Format("\tCopies its %lld bytes: its source lies on another file system", written));
  } else if (e.apart != 0) {
    out.push_back(Format("\tCopies its %lld bytes: they lie %lld bytes off its source's blocks%s", written,
                         static_cast<long long>(e.apart), sharing.align ? "" : " (--align can move them)"));
  } else {
    out.push_back(Format("\tCopies its %lld bytes: no whole block of them is plain", written));
  }
}

// An entry's copy measured: its "lufs", and with --loudness what it
// measures; a "lvl" that "lufs" replaces, and peaks its level takes past
// full scale.
void CheckCopyLoudness(const Checked& c, const Entry& entry, std::vector<std::string>& out,
                       std::vector<Warning>& warnings) {
  const CopyLoudness& copy = *entry.loudness;
  const LoudnessResult& m = copy.measured;
  const EntryLines& lines = c.notes.entries[static_cast<size_t>(entry.number - 1)];
  if (entry.task.lufs) out.push_back(LufsLine(entry));
  if (c.loudness) {
    out.push_back(Format("\tIts copy measured: loudness %s, range %s, true peak %s",
                         Value(message::kLufsValue, m.integrated).c_str(), Value(message::kLuValue, m.range).c_str(),
                         PeakValue(m.true_peak).c_str()));
  }
  if (!entry.task.lufs || copy.lufs != LufsOutcome::kSet) return;
  const double target = *entry.task.lufs;
  if (lines[Command::kLvl] != 0) {
    warnings.push_back(
        {lines[Command::kLvl], Format("the level of task %i is ignored: \"lufs\" %.1f sets it to %+.3f dB",
                                      entry.number, target, copy.needed_db)});
  }
  const double peak = m.sample_peak + copy.needed_db;
  if (c.plan.format.type == SampleType::kInteger && copy.needed_db > 0.0 && peak > 0.0) {
    warnings.push_back({lines[Command::kLufs], Format("the level of %+.3f dB that \"lufs\" chooses takes the peaks of "
                                                      "task %i's copy %.1f dB past full scale: they clip",
                                                      copy.needed_db, entry.number, peak)});
  }
}

void CheckEntries(const Checked& c, const std::vector<std::vector<FrameSpan>>& kept, CheckReport& report) {
  const bool integers = c.plan.format.type == SampleType::kInteger;
  std::vector<Warning>& warnings = report.warnings;
  for (size_t k = 0; k < c.plan.write_order.size(); ++k) {
    const Entry& entry = c.At(k);
    const int number = entry.number;
    const TaskEntry& t = entry.task;
    const Placement& p = entry.placement;
    const EntryLines& lines = c.notes.entries[static_cast<size_t>(number - 1)];
    const FrameSpan landing = Landing(p);
    std::vector<std::string>& out = report.plan;
    PlaceLines(entry, lines[Command::kSrc], c.tasks.using_samples, c.plan.format.rate, out);
    out.push_back(Format("\tLevel %.3f dB", t.level_db));
    const bool lufs_set = entry.loudness && entry.loudness->lufs == LufsOutcome::kSet;
    if (entry.loudness) CheckCopyLoudness(c, entry, out, warnings);
    if (t.mixed) out.push_back(Format("\tMix under %.3f dB: laid over what lies there", t.mix_db));
    if (p.fade_in_frames > 0) out.push_back("\tFade in " + c.Time(p.fade_in_frames));
    if (p.fade_out_frames > 0) out.push_back("\tFade out " + c.Time(p.fade_out_frames));
    for (const std::string& label : t.markers) {
      out.push_back(Format("\tMarker \"%s\" at %s", Printable(label).c_str(), c.Time(p.insert_frame).c_str()));
    }
    for (size_t j = 0; j < entry.label_files.size() && j < t.label_files.size(); ++j) {
      const LabelFileRead& read = c.plan.label_files[static_cast<size_t>(entry.label_files[j].read)];
      out.push_back(Format("\tLabels from %s: %lld of its %zu", Printable(t.label_files[j].name).c_str(),
                           static_cast<long long>(entry.label_files[j].kept), read.labels));
    }
    if (t.mixed && t.xfade_type != 0) {
      warnings.push_back(
          {lines.Or(Command::kXf),
           Format("the crossfade of task %i is ignored: a mixed entry is laid over, not joined", number)});
    }
    const CrossfadeFit fit = FitCrossfade(c.plan, entry);
    if (fit.Made() && IsPositive(t.fade_in.exact)) {
      warnings.push_back(
          {lines.Or(Command::kFin), Format("the fade-in of task %i is ignored: its crossfade brings it in", number)});
    }
    if (t.level_db > 0.0 && integers && !lufs_set) {
      warnings.push_back(
          {lines.Or(Command::kLvl),
           Format("a level of +%.3f dB on integer samples may clip loud parts (task %i)", t.level_db, number)});
    }
    if (p.read_start_frame >= entry.source.info.length_frames) {
      warnings.push_back(
          {lines.Or(Command::kXin), Format("the copy start of task %i lies at or past the end of %s: nothing is copied",
                                           number, Printable(t.source_name).c_str())});
    } else if (p.stop_cut) {
      warnings.push_back({lines[Command::kXout] != 0 ? lines[Command::kXout] : lines.Or(Command::kTrim),
                          Format("the copy stop of task %i lies past the end of %s: the copy ends at its end", number,
                                 Printable(t.source_name).c_str())});
    }
    if (Crossfades(t)) {
      const int width = fit.width;
      const std::string failure = CrossfadeFailure(c, fit);
      // A width of 0 ms or less (or none) is 4410 frames at every rate.
      const std::string shown = width < 0 ? "too wide"
                                : !IsPositive(t.xfade_width)
                                    ? "the default " + std::to_string(width) + " frames, " + c.Time(width)
                                    : c.Time(width);
      out.push_back(Format("\tCrossfade %g ms (%s), curve %i, %s", static_cast<double>(t.xfade_width_ms), shown.c_str(),
                           t.xfade_type, failure.empty() ? "made" : ("not made: " + failure).c_str()));
      report.crossfade_failures[static_cast<size_t>(number - 1)] = failure;
      if (!failure.empty()) {
        warnings.push_back(
            {lines.Or(Command::kXf), Format("the crossfade of task %i will not be made: %s", number, failure.c_str())});
      } else if (const std::string silence = FadesOutOfSilence(c, k, width); !silence.empty()) {
        warnings.push_back({lines.Or(Command::kXf), Format("the crossfade of task %i %s", number, silence.c_str())});
      }
    }
    std::string overwritten;
    for (size_t earlier = 0; earlier < k && !t.mixed; ++earlier) {
      const FrameSpan other = Landing(c.At(earlier).placement);
      if (other.from < landing.to && landing.from < other.to) {
        overwritten += (overwritten.empty() ? "" : ", ") + std::to_string(c.At(earlier).number);
        report.overwrites[static_cast<size_t>(number - 1)].push_back(c.At(earlier).number);
      }
    }
    if (!overwritten.empty()) out.push_back("\tOverwrites task " + overwritten);
    // A duck changes only what lies under a mix when it is written.
    for (size_t earlier = 0; earlier < k && t.mixed; ++earlier) {
      const Entry& other = c.At(earlier);
      const FrameSpan ducked = Landing(other.placement);
      if (other.task.mixed && other.task.mix_db != 0.0 && ducked.from < landing.to && landing.from < ducked.to) {
        warnings.push_back({lines.Or(Command::kMix),
                            Format("the bed of task %i is written after the mix of task %i and is not ducked under "
                                   "it: give it an earlier insert point or put it first",
                                   number, other.number)});
      }
    }
    if (c.sharing != nullptr) CheckEntrySharing(*c.sharing, entry, out);
    if (landing.to > landing.from && kept[k].empty()) {
      warnings.push_back({lines[Command::kSrc], Format("task %i (%s) is overwritten completely by later entries",
                                                       number, Printable(t.source_name).c_str())});
    }
  }
}

// One row per entry in write order: '#' where its frames stay in the
// destination, '-' where a later entry overwrites them.
void CheckTimeline(const Checked& c, const std::vector<std::vector<FrameSpan>>& kept, int width, CheckReport& report) {
  const int64_t length = c.plan.destination_length;
  if (length <= 0 || c.plan.write_order.empty()) return;
  const int64_t columns = std::min<int64_t>(std::min(width, 400) - 7, length);
  const bool mixes =
      std::any_of(c.plan.entries.begin(), c.plan.entries.end(), [](const Entry& e) { return e.task.mixed; });
  report.timeline.push_back(Format("Timeline from 0 to %s: '#' kept, %s'-' overwritten later%s", c.Time(length).c_str(),
                                   mixes ? "'+' laid over, " : "", c.plan.markers.empty() ? "" : ", '^' markers"));
  for (size_t k = 0; k < c.plan.write_order.size(); ++k) {
    std::string row;
    const FrameSpan landing = Landing(c.At(k).placement);
    for (int64_t column = 0; column < columns; ++column) {
      const int64_t from = column * length / columns;
      const int64_t to = (column + 1) * length / columns;
      const bool stays =
          std::any_of(kept[k].begin(), kept[k].end(), [&](const FrameSpan& s) { return s.from < to && from < s.to; });
      const bool lands = landing.from < to && from < landing.to;
      row += stays ? (c.At(k).task.mixed ? '+' : '#') : lands ? '-' : ' ';
    }
    report.timeline.push_back(Format("%4i |%s|", c.At(k).number, row.c_str()));
  }
  if (c.plan.markers.empty()) return;
  std::string row(static_cast<size_t>(columns), ' ');
  for (const CuePoint& marker : c.plan.markers) {
    const int64_t column = std::min<int64_t>(marker.frame * columns / length, columns - 1);
    if (column >= 0) row[static_cast<size_t>(column)] = '^';
  }
  report.timeline.push_back(Format("mark |%s|", row.c_str()));
}

// The value a command of an entry was given, as written, or "".
std::string WrittenValue(const ReadNotes& notes, const char* command, int line) {
  for (const TokenNote& token : notes.tokens) {
    if (token.role == TokenRole::kValue && token.command == command && token.command_line == line) return token.text;
  }
  return "";
}

int LineOfCommand(const EntryLines& lines, const std::string& word) {
  const CommandWord* command = FindCommand(word);
  return command != nullptr ? lines[command->command] : 0;
}

// With "meta": what the destination takes over, and what cannot be.
void CheckMetadata(const Checked& c, CheckReport& report) {
  for (const Entry& entry : c.plan.entries) {
    for (const std::string& tag : entry.source.metadata.malformed) {
      report.warnings.push_back({c.notes.entries[static_cast<size_t>(entry.number - 1)][Command::kSrc],
                                 Format("the %s chunk of %s is not well formed: it is left out (the samples are not "
                                        "affected)",
                                        Printable(tag).c_str(), Printable(entry.task.source_name).c_str())});
    }
  }
  if (c.plan.metadata_entry < 0) return;
  const Entry& entry = c.plan.entries[static_cast<size_t>(c.plan.metadata_entry)];
  const Metadata& m = entry.source.metadata;
  std::string carried;
  const auto add = [&](const std::string& what) { carried += (carried.empty() ? "" : ", ") + what; };
  if (!m.extensible_format.empty()) add("its extensible format chunk");
  if (!m.bext.empty()) add("bext");
  if (!m.ixml.empty()) add("iXML");
  if (!m.axml.empty()) add("axml");
  if (!m.info.empty()) add(Format("%zu LIST/INFO", m.info.size()));
  size_t points = 0;
  size_t marks = 0;
  for (const Entry& e : c.plan.entries) {
    points += e.source.metadata.cue_count;
    marks += e.task.markers.size();
  }
  const auto cue_points =
      static_cast<size_t>(std::count_if(c.plan.marker_origins.begin(), c.plan.marker_origins.end(),
                                        [](const MarkerOrigin& o) { return o.kind == MarkerOrigin::Kind::kCuePoint; }));
  // A source's points outside its copy, or under a later entry, are not carried.
  report.destination.push_back(Format("\tMetadata from %s: %s; cue points: %zu of the sources' %zu, and %zu marks",
                                      Printable(entry.task.source_name).c_str(),
                                      carried.empty() ? "none" : carried.c_str(), cue_points, points, marks));
  if (m.Empty() && m.extensible_format.empty()) {
    int line = 0;
    for (const TokenNote& token : c.notes.tokens) {
      if (token.role == TokenRole::kValue && token.command == "meta") line = token.command_line;
    }
    report.warnings.push_back({line, Format("task %i's source %s carries no metadata to take over", entry.number,
                                            Printable(entry.task.source_name).c_str())});
  }
}

// Every marker of the destination in order of time, with where it comes
// from.
void CheckMarkers(const Checked& c, CheckReport& report) {
  const Plan& plan = c.plan;
  if (plan.markers.empty()) return;
  const auto at = [&](int64_t frame) {
    return c.tasks.using_samples ? Format("frame %lld", static_cast<long long>(frame))
                                 : Format("frame %lld (%s)", static_cast<long long>(frame), c.Time(frame).c_str());
  };
  report.markers.push_back("Markers in order of time:");
  for (size_t i = 0; i < plan.markers.size(); ++i) {
    const CuePoint& marker = plan.markers[i];
    const std::string region = marker.length > 0 ? ", to " + at(marker.frame + marker.length) : "";
    const std::string label = marker.has_label ? Format("\"%s\"", Printable(marker.label).c_str()) : "no label";
    const std::string origin = i < plan.marker_origins.size() ? MarkerOriginText(plan, plan.marker_origins[i]) : "";
    report.markers.push_back(Format("\tMarker %zu at %s%s: %s, %s", i + 1, at(marker.frame).c_str(), region.c_str(),
                                    label.c_str(), origin.c_str()));
  }
}

// The destination's blocks: how many bytes will be shared and copied, and
// with --align, which copy its JUNK chunk aligns.
void CheckSharing(const Checked& c, CheckReport& report) {
  if (c.sharing == nullptr) return;
  const SharingView& s = *c.sharing;
  const std::string name =
      *FileSystemName(s.file_system.type) != '\0' ? FileSystemName(s.file_system.type) : "this file system";
  if (CanShareBlocks(s.file_system.type)) {
    report.destination.push_back(Format("\tBlock sharing on %s, %lld-byte blocks: %lld bytes shared, %lld copied",
                                        name.c_str(), static_cast<long long>(s.file_system.block),
                                        static_cast<long long>(s.forecast.shared),
                                        static_cast<long long>(s.forecast.copied)));
  } else {
    report.destination.push_back(
        Format("\tNo block sharing on %s: %lld bytes copied", name.c_str(), static_cast<long long>(s.forecast.copied)));
  }
  if (!s.align) return;
  const auto junk = static_cast<long long>(s.alignment.junk);
  if (s.alignment.entry >= 0) {
    report.destination.push_back(
        Format("\tA JUNK chunk of %lld bytes before the samples aligns task %i with its "
               "source's blocks",
               junk, s.alignment.entry + 1));
  } else {
    report.destination.push_back(
        Format("\tA JUNK chunk of %lld bytes before the samples: no copy can be aligned", junk));
  }
}

}  // namespace

CheckReport CheckTask(const TaskList& tasks, const ReadNotes& notes, const Plan& plan, const ReplaceTarget& target,
                      const DestinationLayout& layout, const SharingView* sharing, int columns, bool loudness) {
  const Checked c{.tasks = tasks, .notes = notes, .plan = plan, .sharing = sharing, .loudness = loudness};
  CheckReport report;
  report.crossfade_failures.resize(plan.entries.size());
  report.overwrites.resize(plan.entries.size());
  report.replaces = target.replaces;
  report.warnings = TextWarnings(notes);
  for (Warning& w : LoudnessWarnings(notes, plan)) report.warnings.push_back(std::move(w));
  report.plan_heading = Format("Plan in write order, times in %s:", tasks.using_samples ? "samples" : "seconds");
  const auto kept = SurvivingParts(plan);
  CheckEntries(c, kept, report);
  const AudioFormat& f = plan.format;
  report.destination.push_back("Destination " + Printable(tasks.destination_name));
  report.destination.push_back(Format("\t%u Hz, %i bits, %i channels, %s samples", f.rate, f.bits, f.channels,
                                      f.type == SampleType::kFloat ? "float" : "integer"));
  report.destination.push_back("\tLength " + c.Time(plan.destination_length));
  if (IsRf64(layout)) {
    report.destination.push_back("\tAn RF64 file: it passes 2 GB");
  }
  report.destination.push_back(target.replaces ? "\tReplaces the existing file" : "\tA new file");
  CheckSharing(c, report);
  CheckMetadata(c, report);
  CheckMarkers(c, report);
  const std::vector<Warning> labels = LabelFileWarnings(plan);
  report.warnings.insert(report.warnings.end(), labels.begin(), labels.end());
  CheckTimeline(c, kept, columns, report);
  std::stable_sort(report.warnings.begin(), report.warnings.end(),
                   [](const Warning& a, const Warning& b) { return a.line < b.line; });
  return report;
}

std::vector<Warning> LabelFileWarnings(const Plan& plan) {
  // More is not read by anyone: the count says the rest.
  constexpr size_t kShown = 100;
  std::vector<Warning> warnings;
  for (const LabelFileRead& read : plan.label_files) {
    const std::string name = Printable(read.named.name);
    for (size_t k = 0; k < read.unreadable.size() && k < kShown; ++k) {
      warnings.push_back(
          {read.named.line, Format("line %i of %s is no label and is left out: %s", read.unreadable[k].line,
                                   name.c_str(), LabelFaultText(read.unreadable[k].fault))});
    }
    if (read.unreadable.size() > kShown) {
      warnings.push_back({read.named.line, Format("%zu more lines of %s are no labels and are left out",
                                                  read.unreadable.size() - kShown, name.c_str())});
    }
  }
  return warnings;
}

std::string MarkerOriginText(const Plan& plan, const MarkerOrigin& origin) {
  const Entry& entry = plan.entries[static_cast<size_t>(origin.entry)];
  switch (origin.kind) {
    case MarkerOrigin::Kind::kMark:
      return Format("mark of task %i (line %u)", entry.number, origin.at);
    case MarkerOrigin::Kind::kLabelFile:
      return Format("line %u of %s (task %i)", origin.at,
                    Printable(entry.task.label_files[static_cast<size_t>(origin.file)].name).c_str(), entry.number);
    case MarkerOrigin::Kind::kCuePoint:
      return Format("cue point %u of %s (task %i)", origin.at, Printable(entry.task.source_name).c_str(), entry.number);
  }
  return "";
}

CheckReport ExplainRefusal(const TaskList& tasks, const ReadNotes& notes, const EditRefusal& refusal) {
  CheckReport report;
  report.warnings = TextWarnings(notes);
  if (!refusal.placed.empty()) {
    report.plan_heading =
        Format("Plan of the entries before task %i, in task-file order, times in %s:", refusal.entry + 1,
               tasks.using_samples ? "samples" : "seconds");
  }
  for (const Entry& entry : refusal.placed) {
    PlaceLines(entry, notes.entries[static_cast<size_t>(entry.number - 1)][Command::kSrc], tasks.using_samples,
               refusal.rate, report.plan);
  }
  const EntryLines& lines = notes.entries[static_cast<size_t>(refusal.entry)];
  const std::string command = refusal.command;
  const int line = LineOfCommand(lines, command);
  const std::string value = line != 0 ? Printable(WrittenValue(notes, refusal.command, line)) : "";
  const std::string what = command.empty() ? "its place"
                           : value.empty() ? "\"" + command + "\" (not given)"
                                           : "\"" + command + "\" " + value + " (line " + std::to_string(line) + ")";
  report.warnings.push_back(
      {lines[Command::kSrc], Format("task %i (%s) is refused: %s %s", refusal.entry + 1,
                                    Printable(tasks.entries[static_cast<size_t>(refusal.entry)].source_name).c_str(),
                                    what.c_str(), refusal.reason.c_str())});
  return report;
}

std::vector<Warning> LoudnessWarnings(const ReadNotes& notes, const Plan& plan) {
  std::vector<Warning> warnings;
  for (const Entry& entry : plan.entries) {
    if (!entry.loudness || !entry.task.lufs || entry.loudness->lufs == LufsOutcome::kSet) continue;
    warnings.push_back({notes.entries[static_cast<size_t>(entry.number - 1)][Command::kLufs],
                        Format(message::kLufsNotMet, entry.number, entry.task.level_db, *entry.task.lufs,
                               LufsReason(*entry.loudness).c_str())});
  }
  const LoudnessGoal& goal = plan.loudness_goal;
  if (goal.lowered) {
    int line = 0;
    double written = 0.0;
    for (const TokenNote& token : notes.tokens) {
      if (token.role != TokenRole::kValue || token.command != "peak") continue;
      const double value = std::strtod(token.text.c_str(), nullptr);
      if (!std::isfinite(value)) continue;  // ignored
      line = token.command_line;
      written = value;
    }
    warnings.push_back({line, Format(message::kCeilingLowered, written)});
  }
  return warnings;
}

std::vector<std::string> ProgrammeLines(const ProgrammeLoudness& loudness, const LoudnessGoal& goal) {
  std::vector<std::string> lines;
  if (goal.Active()) {
    const LoudnessResult& built = loudness.built;
    lines.push_back(Unended(Format(message::kLoudnessAsBuilt, Value(message::kLufsValue, built.integrated).c_str(),
                                   PeakValue(built.true_peak).c_str())));
    std::string asked = goal.target ? Format(message::kLoudTarget, *goal.target) : "";
    if (goal.ceiling) asked += (asked.empty() ? "" : ", ") + Format(message::kPeakCeiling, *goal.ceiling);
    const ProgrammeGain& gain = loudness.gain;
    if (gain.unmeasured) {
      lines.push_back(Unended(Format(message::kNoGain, asked.c_str(), message::kNothingMeasured)));
    } else if (!goal.target && gain.gain_db == 0.0) {
      lines.push_back(Unended(Format(message::kNoGain, asked.c_str(), message::kUnderCeiling)));
    } else if (gain.held) {
      lines.push_back(Unended(Format(message::kGainHeld, gain.gain_db, asked.c_str(), gain.short_lu)));
    } else {
      lines.push_back(Unended(Format(message::kGain, gain.gain_db, asked.c_str())));
    }
    if (loudness.clipped > 0) {
      lines.push_back(Unended(Format(message::kClipped, static_cast<long long>(loudness.clipped))));
    }
  }
  const LoudnessResult& written = loudness.written;
  lines.push_back(Unended(Format(message::kLoudness, Value(message::kLufsValue, written.integrated).c_str())));
  lines.push_back(Unended(Format(message::kLoudnessRange, Value(message::kLuValue, written.range).c_str())));
  lines.push_back(Unended(Format(message::kTruePeak, PeakValue(written.true_peak).c_str())));
  return lines;
}

std::vector<Warning> ProgrammeWarnings(const ReadNotes& notes, const ProgrammeLoudness* loudness,
                                       const LoudnessGoal& goal) {
  std::vector<Warning> warnings;
  const int line = CommandLine(notes, goal.target ? "loud" : "peak");
  if (loudness == nullptr) {
    warnings.push_back({line,
                        "the programme's loudness cannot be measured by a check here: no file without a name "
                        "could be made in the destination's folder or the temporary folder to build it in"});
  }
  if (loudness == nullptr || !goal.target) return warnings;
  const ProgrammeGain& gain = loudness->gain;
  if (gain.unmeasured) warnings.push_back({line, Format(message::kLoudUnmeasured, *goal.target)});
  if (gain.held) {
    warnings.push_back(
        {line, Format(message::kLoudNotMet, *goal.target, goal.ceiling.value_or(0.0), gain.gain_db, gain.short_lu)});
  }
  return warnings;
}

std::string LufsLine(const Entry& entry) {
  if (!entry.task.lufs || !entry.loudness) return "";
  const CopyLoudness& copy = *entry.loudness;
  if (copy.lufs == LufsOutcome::kSet) {
    return Unended(Format(message::kLevelForLoudness, *entry.task.lufs, *copy.measured.integrated));
  }
  return Unended(Format(message::kLevelKept, *entry.task.lufs, LufsReason(copy).c_str()));
}

std::string LufsReason(const CopyLoudness& copy) {
  switch (copy.lufs) {
    case LufsOutcome::kTooShort:
      return message::kCopyTooShort;
    case LufsOutcome::kGatedOut:
      return message::kCopyGatedOut;
    case LufsOutcome::kTooQuiet:
      return Format(message::kCopyTooQuiet, copy.measured.integrated.value_or(0.0), copy.needed_db);
    default:
      return "";
  }
}
