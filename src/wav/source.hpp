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

// A source as the run uses it: read once by the plan, which closes it again,
// and opened again for the entries that read it, a few at a time.
struct SourceFile {
  std::string name;
  FileHandle file;        // open while the run reads it
  SourceInfo info;        // as the plan read it
  FileIdentity identity;  // of the file the plan read
  int64_t size = 0;       // its size then
};

// ReadSourceFormat, keeping what identifies the file; the file is closed.
SourceFile OpenSource(const std::string& path);

// Before the run reads a source (again): the name must still lead to the file
// the plan read, of the same size, and a file opened again must still hold
// the same format and samples. Opens it when it is closed.
enum class SourceState { kReady, kGone, kChanged };
SourceState ReopenSource(SourceFile& source);

// The source's open file, samples and name.
OpenAudio SourceAudio(const SourceFile& source);
