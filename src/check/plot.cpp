// wavsplice --plot: the plan drawn. Layout at 1600 pixels wide: a gutter of
// labels on the left, the destination's frames across kPlotColumns columns
// of one pixel each, text never under 12 pixels; every label measured in
// characters of a monospace font, so that none overlaps another.
#include "check/plot.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.hpp"
#include "dsp/level.hpp"
#include "dsp/mix.hpp"
#include "plan/lanes.hpp"
#include "task/commands.hpp"

namespace {

constexpr int kWidth = 1600;
constexpr int kLeft = 250;                    // where the plot's first column lies
constexpr int kRight = kLeft + kPlotColumns;  // and its end
constexpr double kCharWidth = 7.3;            // the advance of a 12-pixel monospace character, with room
constexpr size_t kGutterChars = 32;           // what fits the gutter
constexpr int kRulerBottom = 88;
constexpr int kMarkerRows = 3;
constexpr int kMarkerRowHeight = 16;
constexpr size_t kMarkerLabelChars = 24;
constexpr int kDestinationHeight = 64;
constexpr int kLoudnessHeight = 84;
constexpr int kLaneHeight = 60;
// Within a lane: the envelope's band, then the strip that says which of its
// frames survive (solid) and which a later entry replaces (hatched).
constexpr int kEnvelopeTop = 4;
constexpr int kEnvelopeHeight = 40;
constexpr int kStripTop = 46;
constexpr int kStripHeight = 8;
constexpr size_t kWarningsShown = 40;
constexpr double kLoudnessFloor = -60.0;  // LUFS at the bottom of the loudness row

// Lane colours, none of them red (markers and warnings) or grey (hatching).
constexpr const char* kPalette[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd",
                                    "#8c564b", "#e377c2", "#17becf", "#bcbd22"};
constexpr const char* kRed = "#d62728";
constexpr const char* kDark = "#3a3a3a";

std::string Xml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// A shown text cut to `chars` characters, the last of them an ellipsis
// where it was longer.
std::string Shortened(const std::string& shown, size_t chars) {
  size_t count = 0;
  size_t cut = shown.size();
  for (size_t at = 0; at < shown.size(); ++at) {
    if (Continuation(shown[at])) continue;
    if (count == chars - 1) cut = at;
    if (++count > chars) return shown.substr(0, cut) + "\xE2\x80\xA6";
  }
  return shown;
}

size_t CharsOf(const std::string& shown) {
  return static_cast<size_t>(std::count_if(shown.begin(), shown.end(), [](char c) { return !Continuation(c); }));
}

// A name or label from a file as the picture's text: shown safely, shortened.
std::string Named(std::string_view raw, size_t chars) { return Shortened(Displayable(raw), chars); }

std::string Title(const std::string& text) { return "<title>" + Xml(text) + "</title>"; }

bool Empty(const FrameSpan& span) { return span.to <= span.from; }

struct Picture {
  const TaskList& tasks;
  const ReadNotes& notes;
  const Plan& plan;
  const CheckReport& report;
  const PlotData& data;
  int64_t length = 0;
  ColumnGrid grid;
  std::string out;
  int lanes_top = 0;
  int lanes_bottom = 0;

  double X(int64_t frame) const {
    if (length <= 0) return kLeft;
    return kLeft +
           static_cast<double>(std::clamp<int64_t>(frame, 0, length)) * kPlotColumns / static_cast<double>(length);
  }
  // The middle of the pixel column a frame lies in.
  double ColumnX(int64_t frame) const {
    if (length <= 0) return kLeft + 0.5;
    return kLeft + std::clamp(grid.ColumnOf(std::clamp<int64_t>(frame, 0, length)), 0, kPlotColumns - 1) + 0.5;
  }
  // A time in the task file's units: m:ss.mmm, or samples.
  std::string Time(int64_t frame) const {
    if (tasks.using_samples) return Format("%lld", static_cast<long long>(frame));
    const uint32_t rate = plan.format.rate > 0 ? plan.format.rate : 1;
    const int64_t ms = (frame * 2000 + rate) / (2 * int64_t{rate});
    return Format("%lld:%02lld.%03lld", static_cast<long long>(ms / 60000), static_cast<long long>(ms / 1000 % 60),
                  static_cast<long long>(ms % 1000));
  }
  std::string Frames(const FrameSpan& span) const {
    if (tasks.using_samples)
      return Format("frames %lld to %lld", static_cast<long long>(span.from), static_cast<long long>(span.to));
    return Format("frames %lld to %lld (%s to %s)", static_cast<long long>(span.from), static_cast<long long>(span.to),
                  Time(span.from).c_str(), Time(span.to).c_str());
  }
  const Entry& At(size_t position) const { return plan.entries[static_cast<size_t>(plan.write_order[position])]; }
  int SourceLine(const Entry& entry) const {
    const auto index = static_cast<size_t>(entry.number - 1);
    return index < notes.entries.size() ? notes.entries[index][Command::kSrc] : 0;
  }
  std::string EntryName(const Entry& entry) const {
    return Format("task %i (line %i, %s)", entry.number, SourceLine(entry),
                  Displayable(entry.task.source_name).c_str());
  }

  void Text(double x, double y, const std::string& shown, const char* extra = "") {
    out += Format("<text x=\"%.1f\" y=\"%.1f\"%s>%s</text>\n", x, y, extra, Xml(shown).c_str());
  }
  void Rect(double x, double y, double w, double h, const std::string& attributes, const std::string& title) {
    out += Format("<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" %s>", x, y, std::max(w, 0.0), h,
                  attributes.c_str());
    out += Title(title) + "</rect>\n";
  }
  void Path(const std::string& d, const std::string& attributes, const std::string& title) {
    out += "<path d=\"" + d + "\" " + attributes + ">" + Title(title) + "</path>\n";
  }
  // A band of frames, at least a pixel wide.
  void Band(const FrameSpan& span, double y, double h, const std::string& attributes, const std::string& title) {
    const double x = X(span.from);
    Rect(x, y, std::max(X(span.to) - x, 1.0), h, attributes, title);
  }
};

// The envelope of one row: a vertical line per column from its lowest to its
// highest value, at least a pixel long; `solid` says which columns get the
// path of `attributes`, the rest `faded`.
void DrawEnvelope(Picture& p, const ColumnFold& fold, double middle, double half, const std::vector<bool>* solid,
                  const std::string& attributes, const std::string& faded, const std::string& title,
                  const std::string& faded_title) {
  std::string shown;
  std::string hidden;
  for (int c = 0; c < fold.grid.count && c < kPlotColumns; ++c) {
    if (!Reached(fold, c)) continue;
    const auto value = [&](float v) { return middle - std::clamp(static_cast<double>(v), -1.0, 1.0) * half; };
    const double top = value(fold.high[static_cast<size_t>(c)]);
    double bottom = value(fold.low[static_cast<size_t>(c)]);
    if (bottom - top < 1.0) bottom = top + 1.0;
    const std::string line = Format("M%d.5 %.1fV%.1f", kLeft + c, top, bottom);
    (solid == nullptr || (*solid)[static_cast<size_t>(c)] ? shown : hidden) += line;
  }
  if (!shown.empty()) p.Path(shown, attributes, title);
  if (!hidden.empty()) p.Path(hidden, faded, faded_title);
}

// A curve over frames [span.from, span.to) of a row: `weight(i)` (0 to 1, i
// from the span's start) from the row's bottom (0) to its top (1).
template <class Weight>
std::string CurvePath(const Picture& p, const FrameSpan& span, double top, double height, Weight weight) {
  std::string d;
  const int64_t frames = span.to - span.from;
  const int steps = static_cast<int>(std::clamp<double>(p.X(span.to) - p.X(span.from), 2.0, 64.0));
  for (int s = 0; s <= steps; ++s) {
    const int64_t i = std::min(frames - 1, frames * s / steps);
    const double w = std::clamp(weight(std::max<int64_t>(i, 0)), 0.0, 1.0);
    d += Format("%c%.1f %.1f", s == 0 ? 'M' : 'L', p.X(span.from + frames * s / steps), top + (1.0 - w) * height);
  }
  return d;
}

// The task file's lines of each entry, to find which entry a warning is about.
std::map<int, size_t> EntryOfLine(const Plan& plan, const ReadNotes& notes) {
  std::map<int, size_t> entry_of;
  for (size_t e = 0; e < plan.entries.size() && e < notes.entries.size(); ++e) {
    for (const int line : notes.entries[e].lines) {
      if (line > 0) entry_of[line] = e;
    }
    for (const int line : plan.entries[e].task.marker_lines) entry_of[line] = e;
    for (const NamedFile& file : plan.entries[e].task.label_files) entry_of[file.line] = e;
  }
  return entry_of;
}

void DrawHeader(Picture& p, const std::string& task_path, int height) {
  const AudioFormat& f = p.plan.format;
  const std::string heading =
      p.data.built ? Format("wavsplice %s: %s as built", Displayable(task_path).c_str(),
                            Displayable(p.tasks.destination_name).c_str())
                   : Format("wavsplice --check %s: %s as a run would build it", Displayable(task_path).c_str(),
                            Displayable(p.tasks.destination_name).c_str());
  p.out += Format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
      "font-family=\"monospace\" font-size=\"12\">\n",
      kWidth, height, kWidth, height);
  p.out += Title(heading) + "\n";
  p.out +=
      "<defs><pattern id=\"replaced\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
      "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#ffffff\"/>"
      "<rect width=\"2\" height=\"6\" fill=\"#9a9a9a\"/></pattern></defs>\n";
  p.Rect(0, 0, kWidth, height, "fill=\"#ffffff\"", heading);
  p.Text(10, 22, Shortened(heading, 140), " font-family=\"sans-serif\" font-size=\"16\" font-weight=\"bold\"");
  const std::string length = p.tasks.using_samples ? Format("%lld samples", static_cast<long long>(p.length))
                                                   : Format("%.3f sec (%lld frames)", Seconds(p.length, f.rate),
                                                            static_cast<long long>(p.length));
  p.Text(10, 40,
         Format("Length %s, %u Hz, %i bits, %i channels, %s samples; %zu entries in write order, times in %s",
                length.c_str(), f.rate, f.bits, f.channels, f.type == SampleType::kFloat ? "float" : "integer",
                p.plan.write_order.size(), p.tasks.using_samples ? "samples" : "m:ss.mmm"));
  p.Text(10, 56,
         "Solid: what survives; hatched: what a later entry replaces; red lines: markers; dashed red: refused or "
         "ignored, with the warning's line. Hover for exact frames.",
         " fill=\"#555555\"");
}

// Ticks a label's width apart at least, in steps of 1, 2 or 5 (or a minute's
// parts) of the task file's unit.
void DrawRuler(Picture& p, int grid_bottom) {
  p.Text(10, 78, p.tasks.using_samples ? "Time (samples)" : "Time (m:ss.mmm)", " font-weight=\"bold\"");
  p.Path(Format("M%d %dH%d", kLeft, kRulerBottom, kRight), "stroke=\"#000000\" stroke-width=\"1\"",
         "The destination, " + p.Frames({0, p.length}));
  if (p.length <= 0) return;
  const uint32_t rate = p.plan.format.rate;
  std::vector<int64_t> steps;  // in frames
  if (p.tasks.using_samples) {
    for (int64_t decade = 1; decade <= INT64_C(10000000000); decade *= 10) {
      for (const int64_t m : {1, 2, 5}) steps.push_back(decade * m);
    }
  } else {
    for (const int64_t ms :
         {1,     2,     5,     10,     20,     50,     100,    200,     500,     1000,    2000,     5000,    10000,
          15000, 30000, 60000, 120000, 300000, 600000, 900000, 1800000, 3600000, 7200000, 18000000, 36000000}) {
      if (ms * int64_t{rate} % 1000 == 0) steps.push_back(ms * int64_t{rate} / 1000);
    }
  }
  const double label_pixels = 11 * kCharWidth + 12;
  int64_t step = steps.back();
  for (const int64_t s : steps) {
    if (s * static_cast<double>(kPlotColumns) / static_cast<double>(p.length) >= label_pixels) {
      step = s;
      break;
    }
  }
  std::string ticks;
  std::string grid;
  for (int64_t t = 0; t <= p.length; t += step) {
    const double x = std::floor(p.X(t)) + 0.5;
    ticks += Format("M%.1f %dV%d", x, kRulerBottom - 6, kRulerBottom);
    grid += Format("M%.1f %dV%d", x, kRulerBottom, grid_bottom);
    const std::string label = p.Time(t);
    const double half = CharsOf(label) * kCharWidth / 2;
    const char* anchor = x + half > kWidth - 2 ? "end" : "middle";
    p.Text(std::string_view(anchor) == "end" ? kWidth - 2 : x, kRulerBottom - 10, label,
           Format(" text-anchor=\"%s\"", anchor).c_str());
  }
  const std::string every =
      p.tasks.using_samples ? Format("%lld samples", static_cast<long long>(step)) : Format("%s", p.Time(step).c_str());
  p.Path(grid, "stroke=\"#e4e4e4\" stroke-width=\"1\"", "A line every " + every);
  p.Path(ticks, "stroke=\"#000000\" stroke-width=\"1\"", "A tick every " + every);
}

// The markers' labels in up to kMarkerRows rows above the plot: each at its
// line, in the first row where it overlaps no other; the rest are counted.
// Returns the rows used.
int DrawMarkerLabels(Picture& p, int top) {
  const std::vector<CuePoint>& markers = p.plan.markers;
  if (markers.empty()) return 0;
  std::vector<double> row_end(kMarkerRows, -1e9);
  int rows = 0;
  size_t thinned = 0;
  std::string placed;
  for (size_t i = 0; i < markers.size(); ++i) {
    const CuePoint& m = markers[i];
    const std::string label = m.has_label ? Named(m.label, kMarkerLabelChars) : Format("marker %zu", i + 1);
    const double width = CharsOf(label) * kCharWidth;
    const double left = std::min(p.ColumnX(m.frame) + 3, kWidth - 2 - width);
    int row = 0;
    while (row < kMarkerRows && left < row_end[static_cast<size_t>(row)] + 6) ++row;
    if (row == kMarkerRows) {
      ++thinned;
      continue;
    }
    row_end[static_cast<size_t>(row)] = left + width;
    rows = std::max(rows, row + 1);
    // Over the lines, on a halo of the background.
    placed += Format(
        "<text x=\"%.1f\" y=\"%d\" fill=\"%s\" stroke=\"#ffffff\" stroke-width=\"3\" "
        "paint-order=\"stroke\">%s</text>\n",
        left, top + row * kMarkerRowHeight + 12, kRed, Xml(label).c_str());
  }
  p.out += placed;
  p.Text(10, top + 12, "Markers", " font-weight=\"bold\"");
  if (thinned > 0)
    p.Text(10, top + 12 + kMarkerRowHeight, Format("+%zu more (hover the lines)", thinned),
           Format(" fill=\"%s\"", kRed).c_str());
  return std::max(rows, thinned > 0 ? 2 : 1);
}

// Every marker as a line through the rows, a region as a span; each says
// what it is.
void DrawMarkerLines(Picture& p, int top) {
  const Plan& plan = p.plan;
  for (size_t i = 0; i < plan.markers.size(); ++i) {
    const CuePoint& m = plan.markers[i];
    std::string what = Format("Marker %zu at frame %lld", i + 1, static_cast<long long>(m.frame));
    if (!p.tasks.using_samples) what += " (" + p.Time(m.frame) + ")";
    if (m.length > 0) {
      what += Format(", to frame %lld", static_cast<long long>(m.frame + m.length));
      if (!p.tasks.using_samples) what += " (" + p.Time(m.frame + m.length) + ")";
    }
    what += m.has_label ? ": \"" + Displayable(m.label) + "\"" : ": no label";
    if (i < plan.marker_origins.size()) what += ", " + MarkerOriginText(plan, plan.marker_origins[i]);
    if (m.length > 0) {
      p.Band({m.frame, int64_t{m.frame} + m.length}, top, p.lanes_bottom - top,
             Format("fill=\"%s\" fill-opacity=\"0.07\"", kRed), what);
    }
    p.Path(Format("M%.1f %dV%d", p.ColumnX(m.frame), top, p.lanes_bottom),
           Format("stroke=\"%s\" stroke-width=\"1\"", kRed), what);
  }
}

void DrawDestination(Picture& p, int top) {
  p.Text(10, top + 16, "Destination", " font-weight=\"bold\"");
  p.Text(10, top + 32, Named(p.tasks.destination_name, kGutterChars));
  p.Text(10, top + 48, p.data.built ? "as built" : "as a run builds it", " fill=\"#555555\"");
  const double middle = top + kDestinationHeight / 2.0;
  p.Path(Format("M%d %.1fH%d", kLeft, middle, kRight), "stroke=\"#cccccc\" stroke-width=\"1\"",
         "Silence, " + p.Frames({0, p.length}));
  if (!p.data.destination) {
    p.Text(kLeft + 6, middle - 6, "Not drawn: " + p.data.destination_missing, Format(" fill=\"%s\"", kRed).c_str());
    return;
  }
  DrawEnvelope(p, *p.data.destination, middle, kDestinationHeight / 2.0 - 4, nullptr,
               Format("stroke=\"%s\" stroke-width=\"1\"", kDark), "",
               Format("The destination's envelope %s (lowest and highest sample a column), %s",
                      p.data.built ? "as built" : "as the run mixes it", p.Frames({0, p.length}).c_str()),
               "");
}

void DrawLoudness(Picture& p, int top) {
  const double height = kLoudnessHeight - 8;
  const auto y = [&](double lufs) {
    return top + 4 + (std::clamp(lufs, kLoudnessFloor, 0.0) / kLoudnessFloor) * height;
  };
  p.Text(10, top + 16, "Short-term loudness", " font-weight=\"bold\"");
  p.Text(10, top + 32, "LUFS, 3-second windows", " fill=\"#555555\"");
  std::string grid;
  for (int lufs = 0; lufs >= static_cast<int>(kLoudnessFloor); lufs -= 20) {
    grid += Format("M%d %.1fH%d", kLeft, y(lufs), kRight);
    p.Text(kLeft - 6, y(lufs) + 4, Format("%d", lufs), " text-anchor=\"end\" fill=\"#555555\"");
  }
  p.Path(grid, "stroke=\"#e4e4e4\" stroke-width=\"1\"", "Every 20 LU, from 0 to -60 LUFS");
  const uint32_t rate = p.plan.format.rate;
  std::string curve;
  bool drawing = false;
  double highest = -INFINITY;
  for (size_t k = 0; k < p.data.short_term.size(); ++k) {
    const double v = p.data.short_term[k];
    if (!std::isfinite(v)) {
      drawing = false;
      continue;
    }
    highest = std::max(highest, v);
    const int64_t end = static_cast<int64_t>(k + 1) * p.data.short_term_every * int64_t{rate} / 10;
    curve += Format("%c%.1f %.1f", drawing ? 'L' : 'M', p.X(end), y(v));
    drawing = true;
  }
  if (!curve.empty()) {
    p.Path(curve, "fill=\"none\" stroke=\"#6a3d9a\" stroke-width=\"1.5\"",
           Format("Short-term loudness of the destination, a point every %.1f s; highest %.1f LUFS",
                  p.data.short_term_every / 10.0, highest));
  }
  if (p.data.target_lufs) {
    const double t = *p.data.target_lufs;
    p.Path(Format("M%d %.1fH%d", kLeft, y(t), kRight), Format("stroke=\"%s\" stroke-dasharray=\"6 4\"", kRed),
           Format("The target: loud %.1f LUFS (integrated)", t));
    p.Text(kRight - 2, y(t) - 3, Format("loud %.1f LUFS", t), Format(" text-anchor=\"end\" fill=\"%s\"", kRed).c_str());
  }
}

// What a warning marks in a lane: the window of a crossfade, the frames past
// a source's end, or else the whole lane.
struct Flag {
  FrameSpan span;
  std::string what;
};

void DrawLane(Picture& p, size_t k, int top, const std::vector<FrameSpan>& kept, const LaneSound& sound,
              const std::vector<const Warning*>& warnings) {
  const Entry& entry = p.At(k);
  const TaskEntry& t = entry.task;
  const Placement& pl = entry.placement;
  const std::string colour = kPalette[k % std::size(kPalette)];
  const std::string name = p.EntryName(entry);
  const FrameSpan landing = Landing(pl);
  const EntryLines& lines = p.notes.entries[static_cast<size_t>(entry.number - 1)];

  // The label: line, source, level.
  p.Text(10, top + 14,
         Shortened(Format("line %i %s", p.SourceLine(entry), Displayable(t.source_name).c_str()), kGutterChars),
         Format(" font-weight=\"bold\" fill=\"%s\"", colour.c_str()).c_str());
  std::string level = Format("task %i, lvl %.1f dB", entry.number, t.level_db);
  if (t.mixed) level += Format(", mix %.1f dB", t.mix_db);
  p.Text(10, top + 29, Shortened(level, kGutterChars));
  if (!warnings.empty()) {
    std::string said = "warnings: line";
    for (size_t i = 0; i < warnings.size(); ++i) said += Format("%s %i", i == 0 ? "" : ",", warnings[i]->line);
    p.Text(10, top + 44, Shortened(said, kGutterChars), Format(" fill=\"%s\"", kRed).c_str());
  }

  const double envelope_top = top + kEnvelopeTop;
  const double middle = envelope_top + kEnvelopeHeight / 2.0;
  for (const FrameSpan& run : sound.runs) {
    p.Band(run, envelope_top, kEnvelopeHeight, Format("fill=\"%s\" fill-opacity=\"0.06\"", colour.c_str()),
           "Where " + name + " sounds: " + p.Frames(run));
  }
  // Which columns survive: those whose middle frame no later entry replaces.
  if (k < p.data.lanes.size()) {
    const ColumnFold& fold = p.data.lanes[k];
    std::vector<bool> solid(static_cast<size_t>(fold.grid.count), true);
    for (int c = 0; c < fold.grid.count; ++c) {
      const int64_t mid = (fold.grid.FirstFrame(c) + fold.grid.FirstFrame(c + 1)) / 2;
      const bool in_landing = mid >= landing.from && mid < landing.to;
      const bool survives =
          std::any_of(kept.begin(), kept.end(), [&](const FrameSpan& s) { return mid >= s.from && mid < s.to; });
      solid[static_cast<size_t>(c)] = !in_landing || survives;
    }
    DrawEnvelope(
        p, fold, middle, kEnvelopeHeight / 2.0, &solid, Format("stroke=\"%s\" stroke-width=\"1\"", colour.c_str()),
        Format("stroke=\"%s\" stroke-width=\"1\" stroke-opacity=\"0.3\"", colour.c_str()),
        "The envelope of " + name + " as it will sound (level, fades, crossfades, mixes): " + p.Frames(landing),
        "The envelope of " + name + " where later entries replace it");
  }
  // The strip: solid where it survives, hatched where it is replaced.
  const double strip = top + kStripTop;
  for (const FrameSpan& s : kept) {
    p.Band(s, strip, kStripHeight, Format("fill=\"%s\"", colour.c_str()), name + " survives: " + p.Frames(s));
  }
  std::vector<FrameSpan> replaced = Empty(landing) ? std::vector<FrameSpan>{} : std::vector<FrameSpan>{landing};
  for (const FrameSpan& s : kept) replaced = Uncovered(replaced, s);
  for (const FrameSpan& s : replaced) {
    p.Band(s, strip, kStripHeight, "fill=\"url(#replaced)\"", name + " is replaced by a later entry: " + p.Frames(s));
  }

  // Fades, a crossfade's window with its curves, a duck.
  const double curve_top = envelope_top + 1;
  const double curve_height = kEnvelopeHeight - 2;
  if (pl.fade_in_frames > 0) {
    const FrameSpan fade{landing.from, landing.from + pl.fade_in_frames};
    p.Path(CurvePath(p, fade, curve_top, curve_height,
                     [&](int64_t i) { return CurveWeights(1, static_cast<int>(i), pl.fade_in_frames).w_in; }),
           Format("fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\"", kDark),
           Format("Fade in of %s: ", name.c_str()) + p.Frames(fade));
  }
  if (pl.fade_out_frames > 0) {
    const FrameSpan fade{landing.to - pl.fade_out_frames, landing.to};
    p.Path(CurvePath(p, fade, curve_top, curve_height,
                     [&](int64_t i) { return CurveWeights(1, static_cast<int>(i), pl.fade_out_frames).w_out; }),
           Format("fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\"", kDark),
           Format("Fade out of %s: ", name.c_str()) + p.Frames(fade));
  }
  const CrossfadeFit fit = FitCrossfade(p.plan, entry);
  const FrameSpan laid = LaidWindow(p.plan, entry);
  std::vector<Flag> flags;
  if (!Empty(laid)) {
    const int width = fit.width;
    const int64_t start = int64_t{pl.insert_frame} - width / 2;
    const std::string what = Format("Crossfade %g ms, curve %i, into %s: ", static_cast<double>(t.xfade_width_ms),
                                    t.xfade_type, name.c_str()) +
                             p.Frames(laid);
    p.Band(laid, envelope_top, kEnvelopeHeight, "fill=\"none\" stroke=\"#000000\" stroke-width=\"1\"", what);
    const int curve = t.xfade_type;
    const FrameSpan whole{start, start + width};
    p.Path(CurvePath(p, whole, curve_top, curve_height,
                     [&](int64_t i) { return CurveWeights(curve, static_cast<int>(i), width).w_in; }),
           Format("fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\"", kDark), what + ", the incoming weight");
    p.Path(CurvePath(p, whole, curve_top, curve_height,
                     [&](int64_t i) { return CurveWeights(curve, static_cast<int>(i), width).w_out; }),
           Format("fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" stroke-dasharray=\"3 2\"", kDark),
           what + ", the outgoing weight");
  } else if (t.xfade_type != 0) {
    // Where the window would have lain.
    const int half = std::max(CrossfadeWidth(t, p.plan.format), 0) / 2;
    flags.push_back({{int64_t{pl.insert_frame} - half, int64_t{pl.insert_frame} + half}, "crossfade"});
  }
  if (t.mixed && t.mix_db != 0.0 && !Empty(landing)) {
    const double under = GainOf(t.mix_db);
    const WeightFactor duck = DuckOf(pl, under);
    const std::string what =
        Format("Duck of %s: what lies under it changes by %.3f dB, ", name.c_str(), t.mix_db) + p.Frames(landing);
    p.Path(CurvePath(p, landing, curve_top, curve_height,
                     [&](int64_t i) {
                       double w = 1.0;
                       std::span<double> one(&w, 1);
                       MultiplyWeights(duck, landing.from + i, one);
                       return w;
                     }),
           Format("fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" stroke-dasharray=\"1 2\"", kDark), what);
    if (p.X(landing.to) - p.X(landing.from) > 16 * kCharWidth) {
      p.Text(p.X(landing.from) + 3, envelope_top + kEnvelopeHeight - 3, Format("duck %.1f dB", t.mix_db));
    }
  }
  if (pl.stop_cut) {
    const int64_t stop = int64_t{pl.insert_frame} + pl.stop_frame - pl.read_start_frame;
    flags.push_back({{landing.to, std::min(stop, p.length)}, "past the source's end"});
  }
  // Each warning about the entry, at what it refuses or ignores.
  for (const Warning* w : warnings) {
    FrameSpan span = Empty(landing) ? FrameSpan{pl.insert_frame, int64_t{pl.insert_frame}} : landing;
    if (w->line == lines[Command::kXf] && !flags.empty() && flags.front().what == "crossfade")
      span = flags.front().span;
    if ((w->line == lines[Command::kXout] || w->line == lines[Command::kTrim]) && pl.stop_cut) span = flags.back().span;
    span = {std::clamp<int64_t>(span.from, 0, p.length), std::clamp<int64_t>(span.to, 0, p.length)};
    p.Band(span, envelope_top - 2, kEnvelopeHeight + 4,
           Format("fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" stroke-dasharray=\"4 3\"", kRed),
           Format("line %i: %s (%s)", w->line, w->text.c_str(), p.Frames(span).c_str()));
  }
  if (warnings.empty()) {
    for (const Flag& flag : flags) {
      const FrameSpan span{std::clamp<int64_t>(flag.span.from, 0, p.length),
                           std::clamp<int64_t>(flag.span.to, 0, p.length)};
      p.Band(span, envelope_top - 2, kEnvelopeHeight + 4,
             Format("fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" stroke-dasharray=\"4 3\"", kRed),
             "Not made: the " + flag.what + " of " + name + ", " + p.Frames(span));
    }
  }
}

void DrawWarnings(Picture& p, int top) {
  const std::vector<Warning>& warnings = p.report.warnings;
  p.Text(10, top + 14, warnings.empty() ? "No warnings" : "Warnings:", " font-weight=\"bold\"");
  const size_t chars = static_cast<size_t>((kWidth - 30) / kCharWidth);
  for (size_t i = 0; i < warnings.size() && i < kWarningsShown; ++i) {
    const Warning& w = warnings[i];
    const std::string text = w.line > 0 ? Format("line %i: %s", w.line, w.text.c_str()) : w.text;
    p.Text(20, top + 30 + 16 * static_cast<int>(i), Shortened(text, chars), Format(" fill=\"%s\"", kRed).c_str());
  }
  if (warnings.size() > kWarningsShown) {
    p.Text(20, top + 30 + 16 * static_cast<int>(kWarningsShown),
           Format("+%zu more warnings", warnings.size() - kWarningsShown), Format(" fill=\"%s\"", kRed).c_str());
  }
}

}  // namespace

std::string PlotPicture(const TaskList& tasks, const ReadNotes& notes, const Plan& plan, const CheckReport& report,
                        const std::string& task_path, const PlotData& data) {
  const int64_t length = plan.destination_length;
  const ColumnGrid grid{.frames = length, .count = kPlotColumns};
  Picture p{.tasks = tasks,
            .notes = notes,
            .plan = plan,
            .report = report,
            .data = data,
            .length = length,
            .grid = grid,
            .out = {},
            .lanes_top = 0,
            .lanes_bottom = 0};
  const size_t count = plan.write_order.size();
  const std::vector<std::vector<FrameSpan>> kept = SurvivingParts(plan);
  const std::vector<LaneSound> sounds = LaneSounds(plan);

  // Which warnings are about which entry.
  const std::map<int, size_t> entry_of = EntryOfLine(plan, notes);
  std::vector<std::vector<const Warning*>> about(plan.entries.size());
  for (const Warning& w : report.warnings) {
    if (const auto e = entry_of.find(w.line); w.line > 0 && e != entry_of.end()) about[e->second].push_back(&w);
  }

  // Heights: the rows of marker labels are known once they are placed, so
  // the labels go into a part of their own, drawn over the marker lines.
  Picture labels = p;
  const int band_top = kRulerBottom + 6;
  const int marker_rows = DrawMarkerLabels(labels, band_top);
  const int destination_top = band_top + marker_rows * kMarkerRowHeight + 6;
  const bool loudness = !data.short_term.empty();
  const int loudness_top = destination_top + kDestinationHeight;
  p.lanes_top = loudness_top + (loudness ? kLoudnessHeight : 0) + 4;
  p.lanes_bottom = p.lanes_top + static_cast<int>(count) * kLaneHeight;
  const size_t warnings_shown =
      std::min(report.warnings.size(), kWarningsShown) + (report.warnings.size() > kWarningsShown ? 1 : 0);
  const int height = p.lanes_bottom + 24 + 16 * static_cast<int>(warnings_shown) + 12;

  DrawHeader(p, task_path, height);
  DrawRuler(p, p.lanes_bottom);
  DrawDestination(p, destination_top);
  if (loudness) DrawLoudness(p, loudness_top);
  for (size_t k = 0; k < count; ++k) {
    DrawLane(p, k, p.lanes_top + static_cast<int>(k) * kLaneHeight, kept[k], sounds[k],
             about[static_cast<size_t>(plan.write_order[k])]);
  }
  DrawMarkerLines(p, band_top);
  p.out += labels.out;
  DrawWarnings(p, p.lanes_bottom + 8);
  p.out += "</svg>\n";
  return std::move(p.out);
}
