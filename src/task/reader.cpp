#include "task/reader.hpp"

#include <unistd.h>

#include <array>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "common/failure.hpp"
#include "common/numbers.hpp"
#include "wav/file.hpp"

namespace {

// Tokens are cut in place: the separator after a token is overwritten with a
// NUL, so strtod and strtol can read it directly without a copy.
struct Tokenizer {
  char* text;
  size_t size;
  size_t pos = 0;
  int line = 1;        // of the position
  int token_line = 0;  // of the last token
};

// Tabs and line feeds separate tokens. A carriage return right before a line
// feed, or as the text's last byte, belongs to the line end (a file saved on
// Windows); anywhere else it is part of its token.
bool IsSeparator(const Tokenizer& t, size_t at) {
  const char c = t.text[at];
  return c == '\t' || c == '\n' || (c == '\r' && (at + 1 == t.size || t.text[at + 1] == '\n'));
}

// The next token, or nullptr at the end of the text.
const char* NextToken(Tokenizer& t) {
  while (t.pos < t.size && IsSeparator(t, t.pos)) t.line += t.text[t.pos++] == '\n' ? 1 : 0;
  if (t.pos >= t.size) return nullptr;
  const char* token = t.text + t.pos;
  t.token_line = t.line;
  while (t.pos < t.size && !IsSeparator(t, t.pos)) ++t.pos;
  if (t.pos < t.size) {
    t.line += t.text[t.pos] == '\n' ? 1 : 0;
    t.text[t.pos] = '\0';
    ++t.pos;
  }
  // The last token is terminated by the spare byte after the text.
  return token;
}

bool Is(const char* token, const char* word) { return token != nullptr && std::strcmp(token, word) == 0; }

double Decimal(const char* token) { return std::strtod(token, nullptr); }

WrittenNumber Number(const char* token) { return WrittenNumber{Decimal(token), ReadExactNumber(token)}; }

// The reader's walk through the tokens, and what it notes of them when asked.
struct Reader {
  Tokenizer tokens;
  ReadNotes* notes;
  TaskList list;
  size_t current_note = 0;  // the note of the current token

  // Notes the token just taken, which becomes the current token.
  const char* Noted(const char* token, TokenNote note) {
    if (notes != nullptr && token != nullptr) {
      current_note = notes->tokens.size();
      note.line = tokens.token_line;
      note.text = token;
      notes->tokens.push_back(std::move(note));
    }
    return token;
  }

  // The next token as the current token of a pass: skipped unless it turns
  // out to be a command word.
  const char* NextCurrent() { return Noted(NextToken(tokens), TokenNote{}); }

  void NoteCommand() {
    if (notes == nullptr || current_note >= notes->tokens.size()) return;
    TokenNote& note = notes->tokens[current_note];
    if (note.role == TokenRole::kSkipped) note.role = TokenRole::kCommand;
  }

  // The next token as the value of `command` (on line command_line).
  const char* TakeValue(const char* command, int command_line) {
    TokenNote note;
    note.role = TokenRole::kValue;
    note.command = command;
    note.command_line = command_line;
    return Noted(NextToken(tokens), std::move(note));
  }

  // One of the six commands that write into the most recent entry: there is
  // none to write before the first "src". Takes the command's value, which
  // becomes the current token (nullptr at the end of the text).
  struct EntryCommand {
    TaskEntry& entry;
    int line;
    const char* value;
  };
  EntryCommand TakeEntryValue(const char* word) {
    NoteCommand();
    if (list.entries.empty()) Fail(1, "Command %s comes before the first src command\n", word);
    const int line = tokens.token_line;
    return {list.entries.back(), line, TakeValue(word, line)};
  }

  // Notes the line that set a field of the current entry.
  void NoteLine(int EntryLines::*field, int line) {
    if (notes != nullptr && !notes->entries.empty()) notes->entries.back().*field = line;
  }

  // "xin", "xout" and "trim": a number.
  const char* ReadNumber(const char* word, WrittenNumber TaskEntry::*field, int EntryLines::*line_field) {
    const EntryCommand command = TakeEntryValue(word);
    if (command.value != nullptr) {
      command.entry.*field = Number(command.value);
      NoteLine(line_field, command.line);
    }
    return command.value;
  }
};

// text has room for one byte after size.
TaskList Tokenise(char* text, size_t size, ReadNotes* notes) {
  size = strnlen(text, size);  // a NUL byte ends the text
  text[size] = '\0';
  // A UTF-8 byte-order mark, which some editors put first, is no part of the text.
  if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
    text += 3;
    size -= 3;
  }
  if (notes != nullptr) notes->text.assign(text, size);
  Reader r{.tokens = Tokenizer{text, size}, .notes = notes, .list = TaskList{}, .current_note = 0};
  TaskList& list = r.list;

  const char* current = r.NextCurrent();
  if (Is(current, "using_samples")) {
    r.NoteCommand();
    list.using_samples = true;
    std::puts("Reading time values as samples.");
  }

  // One pass per current token. The command words are compared in a fixed
  // order and a command's value becomes the current token for the comparisons
  // that remain, so a value spelling a later command word runs that command.
  while (current != nullptr) {
    if (Is(current, "src")) {
      r.NoteCommand();
      const int line = r.tokens.token_line;
      const char* name = r.TakeValue("src", line);
      const size_t length = name == nullptr ? 0 : std::strlen(name);
      const auto number = static_cast<int>(list.entries.size()) + 1;
      if (length < 4) Fail(1, "Source track %i appears to be too short or missing", number);
      if (number > kMaxEntries) Fail(1, "Too many source tracks (%i at most)\n", kMaxEntries);
      if (length > kMaxNameLength) {
        Fail(1, "Source track %i name is too long (%i characters at most)\n", number, kMaxNameLength);
      }
      list.entries.push_back(TaskEntry{.source_name = name});
      if (notes != nullptr) notes->entries.push_back(EntryLines{.src = line});
      current = name;
    }
    if (Is(current, "xin")) current = r.ReadNumber("xin", &TaskEntry::xin, &EntryLines::xin);
    if (Is(current, "xout")) current = r.ReadNumber("xout", &TaskEntry::xout, &EntryLines::xout);
    if (Is(current, "ins")) {
      const Reader::EntryCommand command = r.TakeEntryValue("ins");
      current = command.value;
      if (current != nullptr) {
        // "app" appends and leaves the insert value as it was.
        command.entry.appended = Is(current, "app");
        if (!command.entry.appended) command.entry.insert_value = Number(current);
        r.NoteLine(&EntryLines::ins, command.line);
      }
    }
    if (Is(current, "trim")) current = r.ReadNumber("trim", &TaskEntry::trim, &EntryLines::trim);
    if (Is(current, "lvl")) {
      const Reader::EntryCommand command = r.TakeEntryValue("lvl");
      current = command.value;
      if (current != nullptr) {
        // Levels of 24 dB or more (and NaN) are ignored without a word.
        const float level = RoundToSingle(Decimal(current));
        if (level < 24.0F) {
          command.entry.level_db = level;
          r.NoteLine(&EntryLines::lvl, command.line);
        }
      }
    }
    if (Is(current, "xf")) {
      // The width is never compared with a command word; the type is.
      const Reader::EntryCommand command = r.TakeEntryValue("xf");
      current = nullptr;
      if (command.value != nullptr) {
        command.entry.xfade_width_ms = RoundToSingle(Decimal(command.value));
        command.entry.xfade_width = ReadExactNumber(command.value);
        r.NoteLine(&EntryLines::xf, command.line);
        current = r.TakeValue("xf type", command.line);
      }
      if (current != nullptr) {
        const long type = std::strtol(current, nullptr, 10);
        const bool valid = type >= 0 && type <= 4;
        command.entry.xfade_type = valid ? static_cast<int>(type) : 0;
        if (!valid) std::puts("Crossfade-type (parameter 2) is invalid");
      }
    }
    if (Is(current, "dest")) {
      r.NoteCommand();
      const char* name = r.TakeValue("dest", r.tokens.token_line);
      const size_t length = name == nullptr ? 0 : std::strlen(name);
      if (length < 4) Fail(1, "%s\n", "Your destination name appears to be too short or missing");
      if (length > kMaxNameLength) {
        Fail(1, "Your destination name is too long (%i characters at most)\n", kMaxNameLength);
      }
      list.destination_name = name;
    }
    current = r.NextCurrent();
  }
  return std::move(list);
}

}  // namespace

TaskList ReadTaskText(std::string_view text, ReadNotes* notes) {
  // One spare byte terminates the last token.
  std::array<char, kTaskFileCapacity + 1> buffer;
  const size_t size = text.size() < kTaskFileCapacity ? text.size() : kTaskFileCapacity;
  std::memcpy(buffer.data(), text.data(), size);
  return Tokenise(buffer.data(), size, notes);
}

TaskList ReadTaskFile(const std::string& path, ReadNotes* notes) {
  const auto refuse = [&] { Fail(1, "Cannot find file %s that holds your instructions\n", path.c_str()); };
  // Opened without blocking: a FIFO (or a device, or a directory) holds no
  // instructions we could read whole, and must not hang the run.
  const FileHandle file = OpenRegular(path.c_str(), false);
  if (!file.IsOpen()) refuse();

  std::array<char, kTaskFileCapacity + 1> buffer;
  // Ask for one byte more than the limit: getting it means the file is too
  // large, whatever its size said when it was opened.
  std::span<unsigned char> bytes(reinterpret_cast<unsigned char*>(buffer.data()), buffer.size());
  size_t got = 0;
  for (;;) {
    const ssize_t n = read(file.fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) refuse();
    if (n <= 0 || (got += static_cast<size_t>(n)) == bytes.size()) break;
  }
  if (got > static_cast<size_t>(kTaskFileCapacity)) {
    Fail(1, "Task file %s is too large (%i bytes at most)\n", path.c_str(), kTaskFileCapacity);
  }
  return Tokenise(buffer.data(), got, notes);
}
