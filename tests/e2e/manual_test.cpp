// The manual page must name every command word and every message the program
// prints, so that the two cannot drift apart.
#include <regex>
#include <sstream>

#include "common/messages.hpp"
#include "e2e/e2e.hpp"
#include "io/work_file.hpp"
#include "task/commands.hpp"

namespace {

std::string Collapse(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\t' || c == '\n';
    if (blank && !out.empty() && out.back() == ' ') continue;
    out += blank ? ' ' : c;
  }
  return out;
}

// The fixed parts of every message of the catalogue: the text between its
// printf conversions, without tabs and line ends.
std::vector<std::string> MessageFragments() {
  std::vector<std::string> fragments;
  for (const char* text : message::kAll) {
    std::string literal = std::regex_replace(text, std::regex(R"([\n\t])"), "\x01");
    literal = std::regex_replace(literal, std::regex(R"(%[-+ #0]*[.0-9]*(?:ll|z)?[siufgd])"), "\x01");
    std::stringstream parts(literal);
    for (std::string part; std::getline(parts, part, '\x01');) {
      part = Collapse(part);
      while (!part.empty() && part.front() == ' ') part.erase(0, 1);
      while (!part.empty() && part.back() == ' ') part.pop_back();
      if (part.size() >= 3) fragments.push_back(part);
    }
  }
  return fragments;
}

TEST(Manual, NamesEveryCommandAndMessage) {
  if (std::system("command -v groff >/dev/null 2>&1") != 0) GTEST_SKIP() << "groff not installed: the manual is not rendered";
  TempDir dir;
  const auto page = RunCommand(dir.path, {"groff", "-ww", "-man", "-Tascii", "-P-c", "-P-b", "-P-u", "-rLL=2000n",
                                          WAVSPLICE_MANUAL});
  ASSERT_EQ(page.status, 0);
  EXPECT_EQ(page.errors, "") << "groff warnings";
  const std::string text = Collapse(page.output);

  for (const CommandWord& command : kCommandWords)
    EXPECT_NE(text.find(command.word), std::string::npos) << command.word;
  for (const char* word : {"app", "task.txt", kWorkFileName}) EXPECT_NE(text.find(word), std::string::npos) << word;
  const auto fragments = MessageFragments();
  EXPECT_GT(fragments.size(), 40u);
  for (const std::string& fragment : fragments) {
    EXPECT_NE(text.find(fragment), std::string::npos) << "the manual does not mention: " << fragment;
  }
}

}  // namespace
