#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "io/file.hpp"
#include "wav/chunk.hpp"
#include "wav/format.hpp"
#include "wav/metadata.hpp"

// A source as the run uses it: read once by the plan, which closes it again,
// and opened again for the entries that read it, a few at a time.
struct SourceFile {
  std::string name;
  FileHandle file;        // open while the run reads it
  SourceInfo info;        // as the plan read it
  FileIdentity identity;  // of the file the plan read
  int64_t size = 0;       // its size then
  struct timespec changed {};  // when its status last changed then (any write changes it)
  Metadata metadata;      // read by the plan only when the destination takes metadata
  // The name was a link the plan followed as trusted: the run's opens only
  // check that it still leads to the same file (see OpenKnownRegular).
  bool linked = false;
};

// Reads the format and length of the source at path and what identifies the
// file, and closes it again. Ends the run with status 2 when the file cannot
// be read, has no data chunk, or is a format the editor cannot process. A
// file without a format chunk is read on, and `said` gets the note.
SourceFile OpenSource(const std::string& path, std::string& said);

// Before the run reads a source (again): the name must still lead to the file
// the plan read, of the same size, and a file opened again must still hold
// the same format and samples (read again only when it was changed since:
// a write changes the time of its last change, which no one can set). Opens
// it when it is closed.
enum class SourceState { kReady, kGone, kChanged };
SourceState ReopenSource(SourceFile& source);

// The source's open file, samples and name.
OpenAudio SourceAudio(const SourceFile& source);
