#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Label files: the text files of start, end and label, tab-separated, one a
// line, that Audacity's label tracks export and transcript tools write, with
// times in seconds of the source they belong to.
inline constexpr size_t kLabelFileCapacity = size_t{16} << 20;

// One label as its source's frames: the times as written times the rate,
// truncated, exactly (INT32_MAX where that lies beyond a file's frames), the
// line it stands on, and where its text lies in the file's bytes.
struct Label {
  uint32_t start = 0;
  uint32_t end = 0;  // the start for a point
  int line = 0;
  uint32_t text_at = 0;
  uint32_t text_size = 0;
};

// Why a line is no label.
enum class LabelFault : uint8_t { kNoTab, kStart, kEnd, kEndBeforeStart, kNulByte };
struct UnreadableLine {
  int line = 0;
  LabelFault fault = LabelFault::kNoTab;
};

struct LabelTrack {
  std::string bytes;          // the file as read, line ends and tabs after times overwritten by NUL bytes
  std::vector<Label> labels;  // in the order of the file
  std::vector<UnreadableLine> unreadable;
  std::string_view Text(const Label& label) const {
    return std::string_view(bytes).substr(label.text_at, label.text_size);
  }
};

// Reads a label file as the task file is read: a regular file only, of at
// most kLabelFileCapacity bytes, a UTF-8 byte-order mark at its start
// skipped, a carriage return before a line feed (or as the last byte) part of
// the line end. A line is "start<TAB>end<TAB>label", the label the rest of
// the line (none without a second tab); empty lines and Audacity's frequency
// lines (beginning with a backslash) are skipped; a line whose times do not
// read whole as finite numbers of 0 or more, with the end not before the
// start, or that holds a NUL byte, is left out and noted. A file that cannot
// be read whole ends the run with status 1.
LabelTrack ReadLabelFile(const std::string& path, uint32_t rate);

// The same over a file's bytes.
LabelTrack ReadLabelText(std::string bytes, uint32_t rate);

// What is wrong with a line, for a warning.
const char* LabelFaultText(LabelFault fault);
