#include "engine/destination.hpp"

#include <fcntl.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "wav/header.hpp"

namespace {

// Silence is written in runs of this many bytes.
constexpr int64_t kRunBytes = 384 * 1024;

AudioExtent AudioOrFail(const FileHandle& file) {
  const std::optional<AudioExtent> audio = FindAudio(file);
  if (!audio) Fail(ExitStatus::kWavError, message::kNoDataChunk);
  return *audio;
}

[[noreturn]] void FailWrite(const char* name) { Fail(ExitStatus::kWavError, message::kCannotWrite, name); }

}  // namespace

ReplaceTarget CheckDestination(const std::string& name, bool check_folder) {
  const ReplaceTarget target = FindReplaceTarget(name);
  if (!MayReplace(target) || (check_folder && !FolderWritable(target))) {
    Fail(ExitStatus::kWavError, message::kCannotCreate, name.c_str());
  }
  return target;
}

namespace {

// Writes the layout into the new file: its header, a data area of silence
// (its blocks reserved with `reserve`) and the chunks after it.
void LayOut(DestinationFile& destination, const DestinationLayout& layout, bool reserve) {
  const std::string& name = destination.name;
  const FileHandle& file = destination.temporary.file;
  const std::vector<unsigned char> header = DestinationHeader(layout);
  if (!WriteAt(file, 0, header)) FailWrite(name.c_str());
  WriteSilence(file, name.c_str(), layout.format, 0, static_cast<int>(layout.frames), reserve);
  const std::vector<unsigned char> trailer = DestinationTrailer(layout);
  if (!trailer.empty() &&
      !WriteAt(file, static_cast<int64_t>(header.size()) + layout.frames * FrameBytes(layout.format), trailer)) {
    FailWrite(name.c_str());
  }
  destination.audio = AudioOrFail(file);
  // Crossfades read the destination around their splices only: reading ahead
  // there would fill the cache with what the entries are about to overwrite.
  posix_fadvise(file.fd, 0, 0, POSIX_FADV_RANDOM);
}

}  // namespace

DestinationFile CreateDestination(const std::string& name, const DestinationLayout& layout, bool reserve,
                                  std::span<const FileIdentity> keep) {
  DestinationFile destination;
  destination.name = name;
  destination.target = CheckDestination(name, false);
  // A run killed between giving its file a name and moving it into place,
  // or one on a file system without unnamed files, left it behind.
  destination.leftovers = SweepDeadTemporaries(destination.target, keep, true);
  if (!CreateTemporary(destination.target, destination.temporary)) {
    Fail(ExitStatus::kWavError, message::kCannotCreate, name.c_str());
  }
  LayOut(destination, layout, reserve);
  return destination;
}

std::optional<DestinationFile> CreateUnnamedDestination(const std::string& name, const DestinationLayout& layout,
                                                        std::span<const std::string> folders) {
  DestinationFile destination;
  destination.name = name;
  for (const std::string& folder : folders) {
    destination.temporary.file = CreateUnnamed(folder);
    if (!destination.temporary.file.IsOpen()) continue;
    destination.temporary.unnamed = true;
    destination.temporary.target_path = folder;
    // Its silence is never read before it is written over: no blocks are
    // reserved for a file that goes at the end of the check.
    LayOut(destination, layout, false);
    return destination;
  }
  return std::nullopt;
}

void WriteIntoHeader(const DestinationFile& destination, int64_t offset, std::span<const unsigned char> bytes) {
  if (offset < 0 || offset + static_cast<int64_t>(bytes.size()) > destination.audio.start ||
      !WriteAt(destination.temporary.file, offset, bytes)) {
    FailWrite(destination.name.c_str());
  }
}

void CommitDestination(DestinationFile& destination, bool sync, const struct timespec* modified) {
  if (!CommitTemporary(destination.temporary, sync, modified)) FailWrite(destination.name.c_str());
}

void WriteSilence(const FileHandle& file, const char* name, const AudioFormat& format, int start_frame, int frame_count,
                  bool reserve) {
  const int64_t frame_bytes = FrameBytes(format);
  const int64_t data_start = AudioOrFail(file).start;
  if (frame_count <= 0) return;
  if (start_frame < 0) FailWrite(name);

  // Only frames over existing content need zeros written; beyond the end of
  // the file, extending it makes them read as zeros.
  const int64_t from = data_start + int64_t{start_frame} * frame_bytes;
  const int64_t to = from + int64_t{frame_count} * frame_bytes;
  const int64_t overwrite_to = std::min(to, std::max(from, FileSize(file)));
  if (overwrite_to > from) {
    const std::vector<unsigned char> silence(static_cast<size_t>(std::min(kRunBytes, overwrite_to - from)), 0);
    for (int64_t at = from; at < overwrite_to;) {
      const auto n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(silence.size()), overwrite_to - at));
      if (!WriteAt(file, at, std::span(silence.data(), n))) FailWrite(name);
      at += static_cast<int64_t>(n);
    }
  }
  if (!ExtendTo(file, to, reserve)) FailWrite(name);
}

OpenAudio DestinationAudio(const DestinationFile& destination) {
  return OpenAudio{.file = &destination.temporary.file, .audio = destination.audio, .name = destination.name.c_str()};
}
