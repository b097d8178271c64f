#include "task/reader.hpp"

#include <sys/stat.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "driver/fatal.hpp"

namespace {

// Tokens are cut in place: the separator after a token is overwritten with a
// NUL, so strtod and strtol can read it directly without a copy.
struct Tokenizer {
  char* text;
  size_t size;
  size_t pos = 0;
};

bool IsSeparator(char c) { return c == '\t' || c == '\n'; }

// The next token, or nullptr at the end of the text.
const char* NextToken(Tokenizer& t) {
  while (t.pos < t.size && IsSeparator(t.text[t.pos])) ++t.pos;
  if (t.pos >= t.size) return nullptr;
  const char* token = t.text + t.pos;
  while (t.pos < t.size && !IsSeparator(t.text[t.pos])) ++t.pos;
  if (t.pos < t.size) {
    t.text[t.pos] = '\0';
    ++t.pos;
  }
  // The last token is terminated by the spare byte after the text.
  return token;
}

bool Is(const char* token, const char* word) { return token != nullptr && std::strcmp(token, word) == 0; }

double Decimal(const char* token) { return std::strtod(token, nullptr); }

// The six commands that write into the most recent entry have no entry to
// write before the first "src".
void RequireEntry(int n, const char* word) {
  if (n == 0) Fatal(1, "Command %s comes before the first src command\n", word);
}

void CopyName(NameSlot& slot, const char* name, size_t length) {
  slot.fill('\0');
  std::memcpy(slot.data(), name, length);
}

// text has room for one byte after size.
void Tokenise(char* text, size_t size, TaskList& list) {
  size = strnlen(text, size);  // a NUL byte ends the text
  text[size] = '\0';
  Tokenizer tokens{text, size};
  int n = 0;

  const char* current = NextToken(tokens);
  if (Is(current, "using_samples")) {
    list.using_samples = 1;
    std::puts("Reading time values as samples.");
  }

  // One pass per current token. The command words are compared in a fixed
  // order and a command's value becomes the current token for the comparisons
  // that remain, so a value spelling a later command word runs that command.
  while (current != nullptr) {
    if (Is(current, "src")) {
      const char* name = NextToken(tokens);
      size_t length = name == nullptr ? 0 : std::strlen(name);
      if (length < 4) Fatal(1, "Source track %i appears to be too short or missing", n + 1);
      if (n == kMaxEntries) Fatal(1, "Too many source tracks (%i at most)\n", kMaxEntries);
      if (length > kMaxNameLength) {
        Fatal(1, "Source track %i name is too long (%i characters at most)\n", n + 1, kMaxNameLength);
      }
      CopyName(list.source_name[n], name, length);
      ++n;
      current = name;
    }
    if (Is(current, "xin")) {
      RequireEntry(n, current);
      current = NextToken(tokens);
      if (current != nullptr) list.xin[n - 1] = Decimal(current);
    }
    if (Is(current, "xout")) {
      RequireEntry(n, current);
      current = NextToken(tokens);
      if (current != nullptr) list.xout[n - 1] = Decimal(current);
    }
    if (Is(current, "ins")) {
      RequireEntry(n, current);
      current = NextToken(tokens);
      if (current != nullptr) {
        if (Is(current, "app")) {
          list.append_flag[n - 1] = 1;
        } else {
          list.insert_value[n - 1] = Decimal(current);
          list.append_flag[n - 1] = 0;
        }
      }
    }
    if (Is(current, "trim")) {
      RequireEntry(n, current);
      current = NextToken(tokens);
      if (current != nullptr) list.trim[n - 1] = Decimal(current);
    }
    if (Is(current, "lvl")) {
      RequireEntry(n, current);
      current = NextToken(tokens);
      if (current != nullptr) {
        // Levels of 24 dB or more (and NaN) are ignored without a word.
        float level = RoundToSingle(Decimal(current));
        if (level < 24.0F) list.level_db[n - 1] = level;
      }
    }
    if (Is(current, "xf")) {
      RequireEntry(n, current);
      const char* width = NextToken(tokens);
      current = nullptr;
      if (width != nullptr) {
        list.xfade_width_ms[n - 1] = RoundToSingle(Decimal(width));
        current = NextToken(tokens);
      }
      if (current != nullptr) {
        long type = std::strtol(current, nullptr, 10);
        if (type >= 0 && type <= 4) {
          list.xfade_type[n - 1] = static_cast<int>(type);
        } else {
          list.xfade_type[n - 1] = 0;
          std::puts("Crossfade-type (parameter 2) is invalid");
        }
      }
    }
    if (Is(current, "dest")) {
      const char* name = NextToken(tokens);
      size_t length = name == nullptr ? 0 : std::strlen(name);
      if (length < 4) Fatal(1, "%s\n", "Your destination name appears to be too short or missing");
      if (length > kMaxNameLength) {
        Fatal(1, "Your destination name is too long (%i characters at most)\n", kMaxNameLength);
      }
      CopyName(list.destination_name, name, length);
    }
    current = NextToken(tokens);
  }
  list.entry_count = n;
}

}  // namespace

float RoundToSingle(double value) {
  // From 2^128 - 2^103 upwards round-to-nearest gives infinity; below it the
  // conversion is in range.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (std::isnan(value)) return std::numeric_limits<float>::quiet_NaN();
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (std::fabs(value) >= kOverflow) return value > 0 ? kInfinity : -kInfinity;
  return static_cast<float>(value);
}

void ReadTaskText(std::string_view text, TaskList& list) {
  // One spare byte terminates the last token.
  std::array<char, kTaskFileCapacity + 1> buffer;
  size_t size = text.size() < kTaskFileCapacity ? text.size() : kTaskFileCapacity;
  std::memcpy(buffer.data(), text.data(), size);
  Tokenise(buffer.data(), size, list);
}

void ReadTaskFile(std::string_view path, TaskList& list) {
  // path comes from a NUL-terminated buffer of at most 127 characters.
  const char* c_path = path.data();
  std::FILE* file = std::fopen(c_path, "rb");
  struct stat info {};
  // Something that opens but is not a regular file (a directory, a device)
  // holds no instructions we could read whole.
  if (file != nullptr && (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode))) {
    std::fclose(file);
    file = nullptr;
  }
  if (file == nullptr) Fatal(1, "Cannot find file %s that holds your instructions\n", c_path);

  std::array<char, kTaskFileCapacity + 1> buffer;
  // Ask for one byte more than the limit: getting it means the file is too
  // large, whatever its size said when it was opened.
  size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) Fatal(1, "Cannot find file %s that holds your instructions\n", c_path);
  if (got > static_cast<size_t>(kTaskFileCapacity)) {
    Fatal(1, "Task file %s is too large (%i bytes at most)\n", c_path, kTaskFileCapacity);
  }
  Tokenise(buffer.data(), got, list);
}
