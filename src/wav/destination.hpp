#pragma once

#include <string>

#include <memory>

#include "common/audio_format.hpp"
#include "wav/chunk.hpp"
#include "wav/file.hpp"

// The destination being built. It is written in the destination's own folder
// without a name where the file system allows (or under a hidden temporary
// name, locked while it is written) and moved onto its name only when
// complete, so a run that fails or is stopped leaves an existing file as it
// was and no new one. Until then the owner removes the temporary file when it
// goes; the next run into the folder removes one that a killed run left.
struct DestinationFile {
  std::string name;            // as the task file gives it; every message uses it
  std::string path;            // where it lands: the name with symbolic links followed
  std::string temporary_path;  // its hidden name, while it has one
  bool unnamed = false;        // built without a name (O_TMPFILE), linked only to be moved into place
  FileHandle file;
  AudioExtent audio;  // where its samples lie, found once it is laid out

  DestinationFile() = default;
  DestinationFile(DestinationFile&& other) noexcept;
  DestinationFile& operator=(DestinationFile&& other) noexcept;
  ~DestinationFile();
};

// Where a destination of this name lands (symbolic links followed) and
// whether it replaces a file there. Ends the run with status 2 when it could
// not be created: an existing file that is not a regular file we may write,
// or (with `check_folder`, for a check that creates nothing) a folder we may
// not create files in.
struct DestinationTarget {
  std::string path;
  bool replaces = false;
  struct stat replaced {};  // the status of the file it replaces
};
DestinationTarget FindDestinationTarget(const std::string& name, bool check_folder);

// Creates the destination's temporary file with its header for `frames`
// frames and a data area of silence. An existing destination must be a
// regular file we may write; every failure ends the run with status 2.
DestinationFile CreateDestination(const std::string& name, const AudioFormat& format, int64_t frames);

// Moves the complete destination onto its name (with `sync`, flushed to disk
// first and its folder after). From just before the move the stop signals
// are held until the run ends, so that a run that replaced its destination
// ends with status 0. A failure ends the run with status 2 (and lets a held
// stop through).
void CommitDestination(DestinationFile& destination, bool sync);

// Writes frame_count frames of silence into the data area of a file being
// written, from frame start_frame on; `name` is the file's name in messages.
void WriteSilence(const FileHandle& file, const char* name, const AudioFormat& format, int start_frame,
                  int frame_count);

// The destination's open file, samples and name.
OpenAudio DestinationAudio(const DestinationFile& destination);

// What copies keep from one to the next: a pipe through which plain copies
// move pages inside the system, and a buffer for copies that change their
// level. Made at the first copy that needs them.
struct CopyScratch {
  FileHandle pipe_out;  // the pipe's read end
  FileHandle pipe_in;   // its write end
  int pipe_state = 0;   // 0 not tried yet, 1 usable, -1 not to be used
  std::unique_ptr<unsigned char[]> buffer;
};

// A run of frames to copy from a source into a destination.
struct FrameCopy {
  int to_frame = 0;    // first destination frame written
  int from_frame = 0;  // first source frame read
  int count = 0;       // frames; nothing is copied for 0 or fewer
  double level_db = 0.0;
};

// Copies the frames, changing their level when it is not zero; returns how
// many integer results the level clipped. Frames the source cannot deliver
// (it was cut short since it was measured) are written as silence, and the
// run then ends with status 2; so does every failure.
int64_t CopyFrames(const OpenAudio& destination, const OpenAudio& source, const AudioFormat& format,
                const FrameCopy& copy, CopyScratch& scratch);
