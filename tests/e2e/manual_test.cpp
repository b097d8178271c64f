// The manual page must name every command word and every message the program
// prints, so that the two cannot drift apart.
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "e2e/e2e.hpp"

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

// The fixed parts of every message literal in the program's sources: the
// text between its printf conversions, without tabs and line ends.
std::vector<std::string> MessageFragments() {
  const std::regex message(
      R"re((?:Fail\(\d, |puts\(|printf\(|ListMismatch\(listing, state, |Fail\(\d, "%s\\n", )"((?:[^"\\]|\\.)*)")re");
  std::vector<std::string> fragments;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(WAVSPLICE_SOURCE_DIR "/src")) {
    if (entry.path().extension() != ".cpp" || entry.path().filename() == "run.cpp") continue;  // run.cpp: help text
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    const std::string source = text.str();
    for (std::sregex_iterator m(source.begin(), source.end(), message), end; m != end; ++m) {
      std::string literal = (*m)[1].str();
      literal = std::regex_replace(literal, std::regex(R"(\\[nt])"), "\x01");
      literal = std::regex_replace(literal, std::regex(R"(%[.0-9]*(?:ll|z)?[siufgd])"), "\x01");
      std::stringstream parts(literal);
      for (std::string part; std::getline(parts, part, '\x01');) {
        part = Collapse(part);
        while (!part.empty() && part.front() == ' ') part.erase(0, 1);
        while (!part.empty() && part.back() == ' ') part.pop_back();
        if (part.size() >= 3) fragments.push_back(part);
      }
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

  for (const char* word : {"using_samples", "src", "xin", "xout", "ins", "app", "trim", "lvl", "xf", "dest",
                           "task.txt", "xfade_temp.wav"}) {
    EXPECT_NE(text.find(word), std::string::npos) << word;
  }
  const auto fragments = MessageFragments();
  EXPECT_GT(fragments.size(), 40u);
  for (const std::string& fragment : fragments) {
    EXPECT_NE(text.find(fragment), std::string::npos) << "the manual does not mention: " << fragment;
  }
}

}  // namespace
