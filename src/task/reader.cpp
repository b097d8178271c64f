#include "task/reader.hpp"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "common/numbers.hpp"
#include "io/file.hpp"
#include "task/commands.hpp"

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
    if (list.entries.empty()) Fail(ExitStatus::kTaskError, message::kCommandBeforeSource, word);
    const int line = tokens.token_line;
    return {list.entries.back(), line, TakeValue(word, line)};
  }

  // Notes the line that set a field of the current entry.
  void NoteLine(Command command, int line) {
    if (notes != nullptr && !notes->entries.empty()) notes->entries.back()[command] = line;
  }

  // "xin", "xout" and "trim": a number; "fin" and "fout" too, a width in
  // milliseconds, also with "using_samples".
  const char* ReadNumber(const char* word, WrittenNumber TaskEntry::*field, Command line_field) {
    const EntryCommand command = TakeEntryValue(word);
    if (command.value != nullptr) {
      command.entry.*field = Number(command.value);
      NoteLine(line_field, command.line);
    }
    return command.value;
  }

  // "src" or "dest": a name of 4 to 127 characters.
  const char* TakeName(const char* word, int& line, size_t& length) {
    NoteCommand();
    line = tokens.token_line;
    const char* name = TakeValue(word, line);
    length = name == nullptr ? 0 : std::strlen(name);
    return name;
  }

  const char* ReadSource() {
    int line = 0;
    size_t length = 0;
    const char* name = TakeName("src", line, length);
    const auto number = static_cast<int>(list.entries.size()) + 1;
    if (length < 4) Fail(ExitStatus::kTaskError, message::kSourceNameMissing, number);
    if (number > kMaxEntries) Fail(ExitStatus::kTaskError, message::kTooManySources, kMaxEntries);
    if (length > kMaxNameLength) Fail(ExitStatus::kTaskError, message::kSourceNameTooLong, number, kMaxNameLength);
    list.entries.push_back(TaskEntry{.source_name = name, .markers = {}, .marker_lines = {}, .label_files = {}});
    if (notes != nullptr) {
      notes->entries.emplace_back();
      notes->entries.back()[Command::kSrc] = line;
    }
    return name;
  }

  const char* ReadDestination() {
    int line = 0;
    size_t length = 0;
    const char* name = TakeName("dest", line, length);
    if (length < 4) Fail(ExitStatus::kTaskError, message::kDestinationNameMissing);
    if (length > kMaxNameLength) Fail(ExitStatus::kTaskError, message::kDestinationNameTooLong, kMaxNameLength);
    list.destination_name = name;
    return name;
  }

  const char* ReadInsertPoint() {
    const EntryCommand command = TakeEntryValue("ins");
    if (command.value != nullptr) {
      // "app" appends and leaves the insert value as it was.
      command.entry.appended = Is(command.value, "app");
      if (!command.entry.appended) command.entry.insert_value = Number(command.value);
      NoteLine(Command::kIns, command.line);
    }
    return command.value;
  }

  // "lvl" and "mix": decibels in single precision. Values of 24 dB or more
  // (and NaN) are ignored without a word, so an earlier value of the entry
  // still counts; a "mix" taken makes the entry mixed.
  const char* ReadDecibels(const char* word, Command line_field, double TaskEntry::*field,
                           bool TaskEntry::*taken = nullptr) {
    const EntryCommand command = TakeEntryValue(word);
    if (command.value != nullptr) {
      const float level = RoundToSingle(Decimal(command.value));
      if (level < 24.0F) {
        command.entry.*field = level;
        if (taken != nullptr) command.entry.*taken = true;
        NoteLine(line_field, command.line);
      }
    }
    return command.value;
  }

  // "lufs", "loud" and "peak": a loudness or a true peak, read as strtod reads
  // it; a value that is no finite number is ignored (an earlier one still
  // counts).
  const char* ReadLoudness(Command command) {
    const bool entry = command == Command::kLufs;
    const char* word = entry ? "lufs" : command == Command::kLoud ? "loud" : "peak";
    const char* value = nullptr;
    int line = 0;
    if (entry) {
      const EntryCommand taken = TakeEntryValue(word);
      value = taken.value;
      line = taken.line;
    } else {
      NoteCommand();
      value = TakeValue(word, tokens.token_line);
    }
    if (value == nullptr) return value;
    const double number = Decimal(value);
    if (!std::isfinite(number)) return value;
    if (entry) {
      list.entries.back().lufs = number;
      NoteLine(Command::kLufs, line);
    } else {
      (command == Command::kLoud ? list.loud : list.peak) = number;
    }
    return value;
  }

  // The width is never compared with a command word; the type is.
  const char* ReadCrossfade() {
    const EntryCommand command = TakeEntryValue("xf");
    if (command.value == nullptr) return nullptr;
    command.entry.xfade_width_ms = RoundToSingle(Decimal(command.value));
    command.entry.xfade_width = ReadExactNumber(command.value);
    NoteLine(Command::kXf, command.line);
    const char* type_token = TakeValue("xf type", command.line);
    if (type_token != nullptr) {
      const long type = std::strtol(type_token, nullptr, 10);
      const bool valid = type >= 0 && type <= 4;
      command.entry.xfade_type = valid ? static_cast<int>(type) : 0;
      if (!valid) list.said += message::kInvalidCrossfadeType;
    }
    return type_token;
  }

  // "mark": a label, spaces and all; one marker for every "mark".
  const char* ReadMarker() {
    const EntryCommand command = TakeEntryValue("mark");
    if (command.value != nullptr) {
      command.entry.markers.emplace_back(command.value);
      command.entry.marker_lines.push_back(command.line);
      NoteLine(Command::kMark, command.line);
    }
    return command.value;
  }

  // "labels": a label file of the entry's source; several allowed. It is
  // read with the plan, which knows the rate its times need.
  const char* ReadLabelFileName() {
    const EntryCommand command = TakeEntryValue("labels");
    if (command.value != nullptr) {
      command.entry.label_files.push_back(NamedFile{.name = command.value, .line = command.line});
      NoteLine(Command::kLabels, command.line);
    }
    return command.value;
  }

  // "meta": like "dest", anywhere, the later one holding; what it names is
  // checked against the entries once they are all read.
  const char* ReadMetadataSource() {
    NoteCommand();
    const char* value = TakeValue("meta", tokens.token_line);
    if (value != nullptr) list.metadata_source = value;
    return value;
  }

  // Runs a command whose word is the current token; returns the new current
  // token (its last value, or nullptr at the end of the text).
  const char* Run(Command command) {
    switch (command) {
      case Command::kSrc:
        return ReadSource();
      case Command::kXin:
        return ReadNumber("xin", &TaskEntry::xin, Command::kXin);
      case Command::kXout:
        return ReadNumber("xout", &TaskEntry::xout, Command::kXout);
      case Command::kIns:
        return ReadInsertPoint();
      case Command::kTrim:
        return ReadNumber("trim", &TaskEntry::trim, Command::kTrim);
      case Command::kLvl:
        return ReadDecibels("lvl", Command::kLvl, &TaskEntry::level_db);
      case Command::kXf:
        return ReadCrossfade();
      case Command::kMix:
        return ReadDecibels("mix", Command::kMix, &TaskEntry::mix_db, &TaskEntry::mixed);
      case Command::kFin:
        return ReadNumber("fin", &TaskEntry::fade_in, Command::kFin);
      case Command::kFout:
        return ReadNumber("fout", &TaskEntry::fade_out, Command::kFout);
      case Command::kLufs:
      case Command::kLoud:
      case Command::kPeak:
        return ReadLoudness(command);
      case Command::kMark:
        return ReadMarker();
      case Command::kLabels:
        return ReadLabelFileName();
      case Command::kMeta:
        return ReadMetadataSource();
      case Command::kDest:
        return ReadDestination();
      case Command::kUsingSamples:
        break;
    }
    return nullptr;
  }

  // One pass per current token. The command words are compared in a fixed
  // order and a command's value becomes the current token for the
  // comparisons that remain, so a value spelling a later command word runs
  // that command.
  void ReadAll() {
    const char* current = NextCurrent();
    if (Is(current, "using_samples")) {
      NoteCommand();
      list.using_samples = true;
      list.said += message::kUsingSamples;
    }
    while (current != nullptr) {
      for (const CommandWord& c : kCommandWords) {
        if (c.command != Command::kUsingSamples && Is(current, c.word)) current = Run(c.command);
      }
      current = NextCurrent();
    }
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
  try {
    r.ReadAll();
  } catch (RunFailure& failure) {
    // What the reader said comes before its refusal, as it came first.
    failure.message = r.list.said + failure.message;
    throw;
  }
  return std::move(r.list);
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
  // Opened without blocking: a FIFO (or a device, or a directory) holds no
  // instructions we could read whole, and must not hang the run.
  std::string text;
  const WholeFile read = ReadWholeFile(path.c_str(), kTaskFileCapacity, text);
  if (read == WholeFile::kMissing) Fail(ExitStatus::kTaskError, message::kTaskFileMissing, path.c_str());
  if (read == WholeFile::kTooLarge) {
    Fail(ExitStatus::kTaskError, message::kTaskFileTooLarge, path.c_str(), kTaskFileCapacity);
  }
  return ReadTaskText(text, notes);
}
