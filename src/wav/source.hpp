#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/audio_format.hpp"
#include "wav/chunk.hpp"
#include "wav/file.hpp"

// What a run needs to know of a source file.
struct SourceInfo {
  AudioFormat format;
  int length_frames = 0;  // whole frames of samples, at most 2^31 - 1
  AudioExtent audio;      // where the samples lie
};

// Reads the format and length of the source at path. Ends the run with
// status 2 when the file cannot be read, has no data chunk, or is a format
// the editor cannot process: it takes integers of 16, 24 or 32 bits and
// floats of 32 bits, 1 to 8 channels, a rate other than 0.
SourceInfo ReadSourceFormat(const char* path);

// A source as the run uses it: read once for its format, and kept open for
// its copies (or opened again for them, where the run keeps too many open).
struct SourceFile {
  std::string name;
  FileHandle file;
  SourceInfo info;
  std::optional<AudioExtent> audio;  // of the open file; nothing without a data chunk
  FileIdentity identity;             // of the open file
};

// ReadSourceFormat, keeping the file open when keep_open says so.
SourceFile OpenSource(const std::string& path, bool keep_open);

// Before a copy from the source: the name must still lead to a regular file.
// The file read for the plan serves while the name leads to it; a file put in
// its place is opened and its samples found anew. False when there is no file
// to read.
bool RefreshSource(SourceFile& source);

// The source's open file, samples and name.
OpenAudio SourceAudio(const SourceFile& source);
