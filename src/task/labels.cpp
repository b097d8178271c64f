#include "task/labels.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "common/exact_number.hpp"
#include "common/failure.hpp"
#include "common/messages.hpp"
#include "io/file.hpp"

namespace {

// A time that reads whole (strtod takes every byte up to the terminating
// NUL but spaces after it, which it skips before it too), finite and not
// below 0.
std::optional<ExactNumber> TimeOf(const char* field) {
  char* end = nullptr;
  std::strtod(field, &end);
  if (end == field) return std::nullopt;
  while (*end == ' ') ++end;
  if (*end != '\0') return std::nullopt;
  ExactNumber time = ReadExactNumber(field);
  if (!IsFinite(time) || (time.negative && !IsZero(time))) return std::nullopt;
  return time;
}

// The frame of the source a time gives; past a file's frames, the last
// value, which no copy reaches.
uint32_t FrameOf(const ExactNumber& time, uint32_t rate) {
  const std::optional<int64_t> frame = TruncatedProduct(time, rate, 1);
  return !frame || *frame > INT32_MAX ? uint32_t{INT32_MAX} : static_cast<uint32_t>(*frame);
}

// Reads the line [from, to) of the track's bytes, which end in a spare NUL
// byte: one label, a fault, or nothing (an empty or frequency line).
void ReadLine(LabelTrack& track, size_t from, size_t to, int line, uint32_t rate) {
  char* text = track.bytes.data();
  if (from == to || text[from] == '\\') return;
  const auto fault = [&](LabelFault f) { track.unreadable.push_back(UnreadableLine{.line = line, .fault = f}); };
  if (std::memchr(text + from, '\0', to - from) != nullptr) return fault(LabelFault::kNulByte);
  char* first_tab = static_cast<char*>(std::memchr(text + from, '\t', to - from));
  if (first_tab == nullptr) return fault(LabelFault::kNoTab);
  const auto end_at = static_cast<size_t>(first_tab - text) + 1;
  char* second_tab = static_cast<char*>(std::memchr(text + end_at, '\t', to - end_at));
  const size_t label_at = second_tab == nullptr ? to : static_cast<size_t>(second_tab - text) + 1;
  // The times end at their tabs, or the end at the line's end.
  *first_tab = '\0';
  *(second_tab == nullptr ? text + to : second_tab) = '\0';
  const std::optional<ExactNumber> start = TimeOf(text + from);
  if (!start) return fault(LabelFault::kStart);
  const std::optional<ExactNumber> end = TimeOf(text + end_at);
  if (!end) return fault(LabelFault::kEnd);
  const ExactNumber length = Subtract(*end, *start);
  if (length.negative && !IsZero(length)) return fault(LabelFault::kEndBeforeStart);
  track.labels.push_back(Label{.start = FrameOf(*start, rate),
                               .end = FrameOf(*end, rate),
                               .line = line,
                               .text_at = static_cast<uint32_t>(label_at),
                               .text_size = static_cast<uint32_t>(to - label_at)});
}

}  // namespace

LabelTrack ReadLabelFile(const std::string& path, uint32_t rate) {
  std::string bytes;
  const WholeFile read = ReadWholeFile(path.c_str(), kLabelFileCapacity, bytes);
  if (read == WholeFile::kMissing) Fail(ExitStatus::kTaskError, message::kLabelFileMissing, path.c_str());
  if (read == WholeFile::kTooLarge) {
    Fail(ExitStatus::kTaskError, message::kLabelFileTooLarge, path.c_str(), static_cast<int>(kLabelFileCapacity));
  }
  return ReadLabelText(std::move(bytes), rate);
}

LabelTrack ReadLabelText(std::string bytes, uint32_t rate) {
  LabelTrack track;
  track.bytes = std::move(bytes);
  // A UTF-8 byte-order mark, which some editors put first, is no part of the text.
  const size_t first = track.bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  const size_t size = track.bytes.size();
  track.bytes.push_back('\0');  // the spare byte that ends the last line
  int line = 1;
  for (size_t at = first; at < size; ++line) {
    size_t end = track.bytes.find('\n', at);
    const size_t next = end == std::string::npos ? size : end + 1;
    if (end == std::string::npos) end = size;
    // A carriage return before the line feed, or as the last byte, ends
    // the line with it.
    if (end > at && track.bytes[end - 1] == '\r') --end;
    ReadLine(track, at, end, line, rate);
    at = next;
  }
  return track;
}

const char* LabelFaultText(LabelFault fault) {
  switch (fault) {
    case LabelFault::kNoTab:
      return "it holds no tab between a start and an end";
    case LabelFault::kStart:
      return "its start is no time of 0 or more";
    case LabelFault::kEnd:
      return "its end is no time of 0 or more";
    case LabelFault::kEndBeforeStart:
      return "its end lies before its start";
    case LabelFault::kNulByte:
      return "it holds a NUL byte";
  }
  return "";
}
