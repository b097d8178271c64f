// Label files as Audacity and transcript tools write them: the lines that are
// labels, those skipped, and why the others are left out.
#include "task/labels.hpp"

#include <gtest/gtest.h>

namespace {

TEST(LabelText, LinesAsAudacityAndOtherToolsWriteThem) {
  struct Line {
    std::string text;
    uint32_t start, end;
    std::string label;  // or why the line is no label; "-": skipped
  };
  const Line lines[] = {
      {"1.5\t2.25\tChapter 1", 66150, 99225, "Chapter 1"},
      {"10.7\t10.7\tno double rounding", 471870, 471870, "no double rounding"},
      {"0\t0\ttabs\tin the\tlabel", 0, 0, "tabs\tin the\tlabel"},
      {"0.5\t0.5", 22050, 22050, ""},  // no label
      {"0.5\t0.5\t", 22050, 22050, ""},
      {" 2\t3\tleading blank", 88200, 132300, "leading blank"},
      {"0x1p1\t2\thexadecimal", 88200, 88200, "hexadecimal"},
      {"99999999\t99999999\tpast any file", INT32_MAX, INT32_MAX, "past any file"},
      {"3\t2.9999999\tback", 0, 0, "its end lies before its start"},
      {"1:30\t2\tminutes", 0, 0, "its start is no time of 0 or more"},
      {"-1\t2\tnegative", 0, 0, "its start is no time of 0 or more"},
      {"nan\t2\tnot a number", 0, 0, "its start is no time of 0 or more"},
      {"1\tinf\tforever", 0, 0, "its end is no time of 0 or more"},
      {"1\t\tno end", 0, 0, "its end is no time of 0 or more"},
      {"just text", 0, 0, "it holds no tab between a start and an end"},
      {std::string("1\t2\tnul\0byte", 12), 0, 0, "it holds a NUL byte"},
      {"\\\t100\t2000", 0, 0, "-"},
      {"", 0, 0, "-"},
      {"\r", 0, 0, "it holds no tab between a start and an end"},  // a carriage return that ends no line
  };
  // All in one file, its lines ended as Windows ends them, after a
  // byte-order mark; the last one without an end of line.
  std::string text = "\xEF\xBB\xBF";
  for (const Line& line : lines) text += line.text + "\r\n";
  text += "4\t4\tlast\r";
  const LabelTrack track = ReadLabelText(text, 44100);
  size_t label = 0;
  size_t fault = 0;
  for (size_t i = 0; i < std::size(lines); ++i) {
    const Line& line = lines[i];
    const int number = static_cast<int>(i) + 1;
    if (line.label == "-") continue;
    if (line.label.starts_with("it")) {
      ASSERT_LT(fault, track.unreadable.size()) << line.text;
      EXPECT_EQ(track.unreadable[fault].line, number);
      EXPECT_EQ(LabelFaultText(track.unreadable[fault++].fault), line.label) << line.text;
      continue;
    }
    ASSERT_LT(label, track.labels.size()) << line.text;
    const Label& l = track.labels[label++];
    EXPECT_EQ(l.line, number);
    EXPECT_EQ(l.start, line.start) << line.text;
    EXPECT_EQ(l.end, line.end) << line.text;
    EXPECT_EQ(track.Text(l), line.label);
  }
  ASSERT_EQ(track.labels.size(), label + 1);
  EXPECT_EQ(track.Text(track.labels.back()), "last");
  EXPECT_EQ(track.unreadable.size(), fault);
}

}  // namespace
