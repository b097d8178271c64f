#include "task/text_warnings.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "common/numbers.hpp"
#include "common/text.hpp"
#include "task/commands.hpp"

namespace {

bool IsCommandWord(const std::string& word) { return FindCommand(word) != nullptr; }

// Whether two words differ by one letter: one changed, added or left out.
bool OneLetterApart(const std::string& a, const std::string& b) {
  if (a.size() == b.size()) {
    int differences = 0;
    for (size_t i = 0; i < a.size(); ++i) differences += a[i] != b[i] ? 1 : 0;
    return differences == 1;
  }
  const std::string& longer = a.size() > b.size() ? a : b;
  const std::string& shorter = a.size() > b.size() ? b : a;
  if (longer.size() != shorter.size() + 1) return false;
  for (size_t skip = 0; skip < longer.size(); ++skip) {
    if (longer.substr(0, skip) + longer.substr(skip + 1) == shorter) return true;
  }
  return false;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The command word a note's first word was probably meant to be, or "".
std::string MeantCommand(const std::string& word) {
  if (word.size() < 2 || IsCommandWord(word)) return "";
  for (const CommandWord& command : kCommandWords) {
    if (SameIgnoringCase(word, command.word)) return command.word;
  }
  if (word.size() < 3) return "";
  for (const CommandWord& command : kCommandWords) {
    if (OneLetterApart(word, command.word)) return command.word;
  }
  return "";
}

// Whether a value noted for `command` ("xf type" for a crossfade's type) is a number.
bool IsNumberCommand(const std::string& command) {
  const CommandWord* found = FindCommand(command == "xf type" ? "xf" : command);
  return found != nullptr && found->numeric;
}

// A word for a message: a carriage return shown as \r, other controls and
// bytes that are not UTF-8 as \xNN.
std::string Shown(const std::string& word) {
  std::string shown;
  for (size_t at = 0; at <= word.size();) {
    const size_t end = std::min(word.find('\r', at), word.size());
    shown += Printable(std::string_view(word).substr(at, end - at));
    if (end < word.size()) shown += "\\r";
    at = end + 1;
  }
  return shown;
}

void SkippedWarning(const TokenNote& token, bool in_samples, std::vector<Warning>& warnings) {
  const size_t space = token.text.find(' ');
  const std::string first = token.text.substr(0, space);
  if (token.text == "using_samples") {
    // It counts only as the file's first word; anywhere else the times it
    // was meant for are read as seconds.
    warnings.push_back({token.line, Format("\"using_samples\" is skipped as a note: it counts only as the task file's "
                                           "first line%s",
                                           in_samples ? "" : ", so times are seconds")});
  } else if (space != std::string::npos && IsCommandWord(first)) {
    warnings.push_back({token.line, Format("\"%s\" is skipped as a note: a space instead of a tab follows \"%s\"",
                                           Shown(token.text).c_str(), first.c_str())});
  } else if (const std::string meant = MeantCommand(first); !meant.empty()) {
    warnings.push_back(
        {token.line, Format("\"%s\" is skipped as a note: did you mean \"%s\"?", Shown(first).c_str(), meant.c_str())});
  }
}

// "meta" names an entry by its number, read as strtol reads it.
void MetadataWarning(const TokenNote& token, std::vector<Warning>& warnings) {
  char* end = nullptr;
  const long entry = std::strtol(token.text.c_str(), &end, 10);
  if (end == token.text.c_str() || *end != '\0') {
    warnings.push_back({token.line, Format("\"%s\" for \"meta\" reads as %ld", Shown(token.text).c_str(), entry)});
  }
}

// A level or mix that is no finite number: NaN and +inf are ignored, -inf
// silences the entry (or what lies under it).
void NotFiniteWarning(const TokenNote& token, double value, std::vector<Warning>& warnings) {
  const bool level = token.command == "lvl";
  const char* effect = !(value < 0) ? "it is ignored"
                       : level      ? "the entry is silent"
                                    : "what lies under the entry is silenced";
  warnings.push_back({token.line, Format("a %s of %s dB is not a finite number: %s", level ? "level" : "mix",
                                         Shown(token.text).c_str(), effect)});
}

void ValueWarning(const TokenNote& token, std::vector<Warning>& warnings) {
  const std::string& word = token.text;
  const bool type = token.command == "xf type";
  const std::string command = type ? "xf" : token.command;
  if (IsCommandWord(word)) {
    warnings.push_back(
        {token.command_line, Format("%s of \"%s\" is the command word \"%s\" on line %i: a value is "
                                    "probably missing before it",
                                    type ? "the type" : "the value", command.c_str(), word.c_str(), token.line)});
    return;
  }
  // A value taken from a later line means the command's own line had none:
  // what it took there is probably the next command, mistyped.
  if (token.line > token.command_line) {
    const size_t first = word.find_first_not_of(' ');
    const std::string head = first == std::string::npos ? "" : word.substr(first, word.find(' ', first) - first);
    const std::string meant = IsCommandWord(head) ? head : MeantCommand(head);
    if (!meant.empty()) {
      warnings.push_back(
          {token.command_line,
           Format("%s of \"%s\" is \"%s\" on line %i, which looks like the command word \"%s\": "
                  "a value is probably missing before it",
                  type ? "the type" : "the value", command.c_str(), Shown(word).c_str(), token.line, meant.c_str())});
      return;
    }
  }
  if (token.command == "meta") MetadataWarning(token, warnings);
  if ((token.command == "ins" && word == "app") || !IsNumberCommand(token.command)) return;
  char* end = nullptr;
  const double value =
      type ? static_cast<double>(std::strtol(word.c_str(), &end, 10)) : std::strtod(word.c_str(), &end);
  if (end == word.c_str() || *end != '\0') {
    const bool looks_like_app = command == "ins" && SameIgnoringCase(word.substr(0, 3), "app");
    warnings.push_back({token.line, Format("\"%s\" for \"%s\" reads as %g%s", Shown(word).c_str(), command.c_str(),
                                           value, looks_like_app ? "; to append, write \"app\"" : "")});
  }
  if (type && !(value >= 0 && value <= 4)) {
    warnings.push_back(
        {token.line, Format("the crossfade type %s is not 1 to 4: the entry gets no crossfade", Shown(word).c_str())});
  }
  const bool loudness = token.command == "lufs" || token.command == "loud" || token.command == "peak";
  if (loudness && !std::isfinite(value)) {
    warnings.push_back({token.line, Format("a value of %s for \"%s\" is not a finite number: it is ignored",
                                           Shown(word).c_str(), token.command.c_str())});
  }
  const bool decibels = token.command == "lvl" || token.command == "mix";
  if (decibels && !std::isfinite(value)) {
    NotFiniteWarning(token, value, warnings);
  } else if (decibels && !(RoundToSingle(value) < 24.0F)) {
    warnings.push_back({token.line, Format("a %s of %s dB is ignored (24 dB or more)",
                                           token.command == "lvl" ? "level" : "mix", Shown(word).c_str())});
  }
}

}  // namespace

std::vector<Warning> TextWarnings(const ReadNotes& notes) {
  std::vector<Warning> warnings;
  // "dest", "meta", "loud" and "peak" are given once; given again, the last
  // one counts.
  int dest_line = 0;
  int meta_line = 0;
  int loud_line = 0;
  int peak_line = 0;
  const bool in_samples = !notes.tokens.empty() && notes.tokens.front().role == TokenRole::kCommand &&
                          notes.tokens.front().text == "using_samples";
  for (const TokenNote& token : notes.tokens) {
    for (auto [word, line] :
         {std::pair{"dest", &dest_line}, {"meta", &meta_line}, {"loud", &loud_line}, {"peak", &peak_line}}) {
      if (token.role != TokenRole::kCommand || token.text != word) continue;
      if (*line != 0) {
        warnings.push_back(
            {token.line, Format("\"%s\" is given again (line %i gave one): the last one counts", word, *line)});
      }
      *line = token.line;
    }
    if (token.text.find('\r') != std::string::npos) {
      warnings.push_back({token.line, Format("\"%s\" holds a carriage return that ends no line: it is part of the word",
                                             Shown(token.text).c_str())});
    }
    if (token.role == TokenRole::kSkipped) SkippedWarning(token, in_samples, warnings);
    if (token.role == TokenRole::kValue) ValueWarning(token, warnings);
  }
  return warnings;
}
