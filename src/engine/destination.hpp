#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/audio_format.hpp"
#include "io/file.hpp"
#include "io/replace.hpp"
#include "wav/chunk.hpp"
#include "wav/header.hpp"

// The destination being built: written beside its name and moved onto it
// only when complete (see io/replace.hpp), so a run that fails or is stopped
// leaves an existing file as it was and no new one.
struct DestinationFile {
  std::string name;  // as the task file gives it; every message uses it
  ReplaceTarget target;
  TemporaryFile temporary;
  AudioExtent audio;  // where its samples lie, found once it is laid out
  // Hidden files in its folder that may be left by runs that were killed,
  // which the sweep could not prove dead and ours (see io/replace.hpp).
  std::vector<std::string> leftovers;
};

// Where a destination of this name lands, and whether it replaces a file
// there. Ends the run with status 2 when it could not be created: an existing
// file that is not a regular file we may write or has no write bit, or (with
// `check_folder`, for a check that creates nothing) a folder we may not create
// files in.
ReplaceTarget CheckDestination(const std::string& name, bool check_folder);

// Creates the destination's temporary file as the layout says: its header, a
// data area of silence, and the chunks after it, after sweeping what dead
// runs left in its folder (never a file in `keep`). With `reserve`, the data
// area's blocks are reserved at once (not where they are to be shared with
// the sources). Every failure ends the run with status 2.
DestinationFile CreateDestination(const std::string& name, const DestinationLayout& layout, bool reserve = true,
                                  std::span<const FileIdentity> keep = {});

// A destination for a check's render of the programme: laid out as a run
// lays it out, but in a file without a name in the first of `folders` that
// can hold one, never linked, which goes with its last close (whatever
// becomes of the check). No sweep, no lock, no mark: no other run can reach
// it. The folder it was made in is its temporary's target_path. Nothing when
// no folder can hold such a file; a write that fails ends the run with
// status 2.
std::optional<DestinationFile> CreateUnnamedDestination(const std::string& name, const DestinationLayout& layout,
                                                        std::span<const std::string> folders);

// Writes bytes of the destination's header (such as a chunk's fields, once
// what they say is known). A failure ends the run with status 2.
void WriteIntoHeader(const DestinationFile& destination, int64_t offset, std::span<const unsigned char> bytes);

// Moves the complete destination onto its name (with `sync`, flushed to disk
// first and its folder after), modified at `modified` as far as its time
// says. From just before the move the stop signals are held until the run
// ends, so that a run that replaced its destination ends with status 0. A
// failure ends the run with status 2 (and lets a held stop through).
void CommitDestination(DestinationFile& destination, bool sync, const struct timespec* modified = nullptr);

// Writes frame_count frames of silence into the data area of a file being
// written, from frame start_frame on; `name` is the file's name in messages.
void WriteSilence(const FileHandle& file, const char* name, const AudioFormat& format, int start_frame, int frame_count,
                  bool reserve = true);

// The destination's open file, samples and name.
OpenAudio DestinationAudio(const DestinationFile& destination);
