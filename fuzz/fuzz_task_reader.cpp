// The task file reader on arbitrary bytes: it must end with a complete list or
// a refusal, never read or write outside its buffers. The label file reader on
// the same bytes: every line a label, skipped or noted as none.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "common/failure.hpp"
#include "task/labels.hpp"
#include "task/reader.hpp"
#include "task/text_warnings.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

// A label is a piece of the file's text, on a line of it, ending no earlier
// than it starts; the lines noted as no labels come in order.
void CheckLabels(const uint8_t* data, size_t size) {
  const LabelTrack track = ReadLabelText(std::string(reinterpret_cast<const char*>(data), size), 48000);
  int line = 0;
  for (const Label& label : track.labels) {
    if (label.line <= line || label.end < label.start || label.text_at + label.text_size > size) std::abort();
    if (track.Text(label).find_first_of(std::string_view("\0\n", 2)) != std::string_view::npos) std::abort();
    line = label.line;
  }
  line = 0;
  for (const UnreadableLine& unreadable : track.unreadable) {
    if (unreadable.line <= line) std::abort();
    line = unreadable.line;
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckLabels(data, size);
  TaskList list;
  ReadNotes notes;
  try {
    list = ReadTaskText(std::string_view(reinterpret_cast<const char*>(data), size), &notes);
  } catch (const RunFailure& failure) {
    if (failure.status != ExitStatus::kTaskError) std::abort();
    TextWarnings(notes);
    return 0;
  }
  for (const Warning& warning : TextWarnings(notes)) {
    if (warning.line < 1 || warning.text.empty()) std::abort();
  }
  // A list handed back is within its bounds and holds only what was checked.
  if (list.entries.size() > static_cast<size_t>(kMaxEntries)) std::abort();
  if (!list.destination_name.empty() && list.destination_name.size() < 4) std::abort();
  for (const TaskEntry& entry : list.entries) {
    if (entry.source_name.size() < 4 || entry.source_name.size() > static_cast<size_t>(kMaxNameLength)) std::abort();
    if (entry.xfade_type < 0 || entry.xfade_type > 4) std::abort();
    if (!(entry.level_db < 24.0)) std::abort();
    // Every time is exactly what strtod reads, up to the double's rounding.
    for (const WrittenNumber* time : {&entry.xin, &entry.xout, &entry.insert_value, &entry.trim}) {
      if (std::isfinite(time->value) != IsFinite(time->exact)) std::abort();
      if (!std::isfinite(time->value) || std::fabs(time->value) > 1e15) continue;
      const std::optional<int64_t> whole = TruncatedProduct(time->exact, 1);
      if (!whole || std::fabs(static_cast<double>(*whole) - std::trunc(time->value)) > 1.0) std::abort();
    }
  }
  return 0;
}
