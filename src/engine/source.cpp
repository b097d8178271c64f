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
  FileHandle file = OpenRegular(path, false, &status);
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
                    .metadata = {}};
}

SourceState ReopenSource(SourceFile& source) {
  struct stat named {};
  if (stat(source.name.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return SourceState::kGone;
  if (IdentityOf(named) != source.identity || named.st_size != source.size) return SourceState::kChanged;
  if (source.file.IsOpen()) return SourceState::kReady;
  struct stat opened {};
  FileHandle file = OpenRegular(source.name.c_str(), false, &opened);
  if (!file.IsOpen()) return SourceState::kGone;
  if (IdentityOf(opened) != source.identity || opened.st_size != source.size) return SourceState::kChanged;
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
