#include "engine/source.hpp"

#include <sys/stat.h>

#include <utility>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "common/text.hpp"
#include "wav/chunk.hpp"
#include "wav/format.hpp"

SourceFile OpenSource(const std::string& name, std::string& said) {
  const char* path = name.c_str();
  struct stat status {};
  // Read for its format and closed again.
  bool linked = false;
  const FileHandle file = OpenRegularForGlance(path, status, &linked);
  if (!file.IsOpen()) Fail(ExitStatus::kWavError, message::kSourceMissing, path);

  const FormatRead read = ReadFormat(file, status.st_size);
  // Reading goes on where the probe gave up; what lies there is usually
  // refused as a format below.
  if (!read.has_format) said += message::kNoFormatChunk;
  if (!read.has_data) Fail(ExitStatus::kWavError, message::kNoDataChunk);
  const AudioFormat& f = read.info.format;
  if (!read.supported) Fail(ExitStatus::kWavError, message::kUnsupportedFormat, path, f.bits, f.channels, f.rate);
  return SourceFile{.name = name,
                    .file = FileHandle(),
                    .info = read.info,
                    .identity = IdentityOf(status),
                    .size = status.st_size,
                    .changed = status.st_ctim,
                    .metadata = {},
                    .linked = linked};
}

namespace {

// Whether the name still leads to the file the plan read, as it was then.
SourceState NamedSource(const SourceFile& source) {
  struct stat named {};
  if (stat(source.name.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return SourceState::kGone;
  if (IdentityOf(named) != source.identity || named.st_size != source.size) return SourceState::kChanged;
  return SourceState::kReady;
}

}  // namespace

SourceState ReopenSource(SourceFile& source) {
  if (source.file.IsOpen()) return NamedSource(source);
  // What the name leads to now, opened: the status of the open file says
  // what a look at the name would, one system call sooner.
  struct stat opened {};
  FileHandle file = source.linked ? OpenKnownRegular(source.name.c_str(), source.identity, opened)
                                   : OpenRegular(source.name.c_str(), false, &opened);
  if (!file.IsOpen()) {
    const SourceState named = NamedSource(source);
    return named == SourceState::kReady ? SourceState::kGone : named;
  }
  if (IdentityOf(opened) != source.identity || opened.st_size != source.size) return SourceState::kChanged;
  if (opened.st_ctim.tv_sec == source.changed.tv_sec && opened.st_ctim.tv_nsec == source.changed.tv_nsec) {
    source.file = std::move(file);
    return SourceState::kReady;
  }
  // Rewritten in place with another format: the same file, not the same source.
  const FormatRead read = ReadFormat(file, opened.st_size);
  if (!read.has_data || !read.supported || read.info.format != source.info.format ||
      read.info.audio.start != source.info.audio.start || read.info.audio.end != source.info.audio.end) {
    return SourceState::kChanged;
  }
  source.file = std::move(file);
  return SourceState::kReady;
}

OpenAudio SourceAudio(const SourceFile& source) {
  return OpenAudio{.file = &source.file, .audio = source.info.audio, .name = source.name.c_str()};
}
