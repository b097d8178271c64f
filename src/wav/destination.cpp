#include "wav/destination.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/failure.hpp"
#include "dsp/level.hpp"
#include "wav/chunk.hpp"
#include "wav/header.hpp"
#include "wav/stop.hpp"

namespace {

// Data moves in runs of many 1024-frame blocks: one system call per run
// instead of a seek, a read and a write per block. The level arithmetic works
// sample by sample, so the grouping does not change a byte of the result.
// Plain copies go through the buffer too: an in-kernel copy between positions
// that differ within a page writes every page in two pieces, and measured
// slower than reading and writing here.
constexpr int64_t kRunBytes = 384 * 1024;

AudioExtent AudioOrFail(const FileHandle& file) {
  const std::optional<AudioExtent> audio = FindAudio(file);
  if (!audio) Fail(2, "%s\n", "Can't find data block in wave file!");
  return *audio;
}

[[noreturn]] void FailWrite(const char* name) { Fail(2, "Cannot write wave file %s!\n", name); }
[[noreturn]] void FailCreate(const std::string& name) { Fail(2, "Cannot create wave file %s!\n", name.c_str()); }

std::string Directory(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The path with every symbolic link of its last component followed, so that
// a destination that is a link is written through; a link that leads nowhere
// yet leads to the file it names.
std::string FollowLinks(const std::string& name) {
  std::string path = name;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length < 0) return path;
    const std::string next(target, static_cast<size_t>(length));
    path = next.front() == '/' ? next : Directory(path) + "/" + next;
  }
  return path;
}

// The permission bits a new file gets from the process's file mode mask.
mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

DestinationFile::DestinationFile(DestinationFile&& other) noexcept
    : name(std::move(other.name)),
      path(std::move(other.path)),
      temporary_path(std::exchange(other.temporary_path, std::string())),
      file(std::move(other.file)) {}

DestinationFile& DestinationFile::operator=(DestinationFile&& other) noexcept {
  if (this != &other) {
    const DestinationFile replaced(std::move(*this));  // removes its temporary file
    name = std::move(other.name);
    path = std::move(other.path);
    temporary_path = std::exchange(other.temporary_path, std::string());
    file = std::move(other.file);
  }
  return *this;
}

DestinationFile::~DestinationFile() {
  if (temporary_path.empty()) return;
  KeepWhenStopped(StopSlot::kDestination);
  std::remove(temporary_path.c_str());
}

DestinationTarget FindDestinationTarget(const std::string& name, bool check_folder) {
  DestinationTarget target{.path = FollowLinks(name)};
  struct stat existing {};
  target.replaces = stat(target.path.c_str(), &existing) == 0;
  // Only a regular file we may write is replaced: not a directory, a device
  // or a FIFO, and not a file its owner made read-only.
  if (target.replaces && (!S_ISREG(existing.st_mode) || access(target.path.c_str(), W_OK) != 0)) FailCreate(name);
  if (check_folder && access(Directory(target.path).c_str(), W_OK | X_OK) != 0) FailCreate(name);
  return target;
}

DestinationFile CreateDestination(const std::string& name, const AudioFormat& format, int64_t frames) {
  DestinationFile destination;
  destination.name = name;
  const DestinationTarget target = FindDestinationTarget(name, false);
  destination.path = target.path;
  struct stat existing {};
  const bool exists = target.replaces && stat(destination.path.c_str(), &existing) == 0;

  const size_t slash = destination.path.rfind('/');
  const std::string base = slash == std::string::npos ? destination.path : destination.path.substr(slash + 1);
  std::string temporary = Directory(destination.path) + "/." + base + ".wavsplice-XXXXXX";
  destination.file = FileHandle(mkostemp(temporary.data(), O_CLOEXEC));
  if (!destination.file.IsOpen()) FailCreate(name);
  destination.temporary_path = temporary;
  RemoveWhenStopped(StopSlot::kDestination, temporary.c_str(), destination.file);

  // The finished file looks as if written in place: the replaced file's
  // permission bits and, where we may set them, its owner and group.
  fchmod(destination.file.fd, exists ? existing.st_mode & 07777 : NewFileMode());
  if (exists && fchown(destination.file.fd, existing.st_uid, existing.st_gid) != 0) {
    // Only the superuser may give a file away; the file stays ours.
  }

  const auto header = DestinationHeader(format, frames);
  if (!WriteAt(destination.file, 0, header)) FailWrite(name.c_str());
  WriteSilence(destination.file, name.c_str(), format, 0, static_cast<int>(frames));
  return destination;
}

void CommitDestination(DestinationFile& destination) {
  const char* name = destination.name.c_str();
  if (!CloseWritten(destination.file)) FailWrite(name);
  if (std::rename(destination.temporary_path.c_str(), destination.path.c_str()) != 0) FailWrite(name);
  KeepWhenStopped(StopSlot::kDestination);
  destination.temporary_path.clear();
}

void WriteSilence(const FileHandle& file, const char* name, const AudioFormat& format, int start_frame,
                  int frame_count) {
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
  if (!ExtendTo(file, to)) FailWrite(name);
}

FileHandle OpenSourceFile(const char* path) {
  FileHandle file = OpenRegular(path, false);
  if (!file.IsOpen()) Fail(2, "Cannot open wave file %s!\n", path);
  return file;
}

void CopyFrames(const FileHandle& destination, const char* destination_name, const FileHandle& source,
                const char* source_name, const AudioFormat& format, const FrameCopy& copy) {
  const int64_t frame_bytes = FrameBytes(format);
  // The destination is looked at first: without its data chunk the run ends
  // before the source is.
  const int64_t destination_start = AudioOrFail(destination).start;
  const AudioExtent source_audio = AudioOrFail(source);
  if (copy.count <= 0) return;
  // Positions before a file's first frame would address its header.
  if (copy.to_frame < 0 || copy.from_frame < 0) FailWrite(destination_name);

  int64_t destination_at = destination_start + int64_t{copy.to_frame} * frame_bytes;
  int64_t source_at = source_audio.start + int64_t{copy.from_frame} * frame_bytes;
  int64_t remaining = int64_t{copy.count} * frame_bytes;
  bool source_short = false;
  // Whole frames a run, so that a level change sees every frame whole.
  const int64_t run_bytes = std::min(kRunBytes / frame_bytes * frame_bytes, remaining);
  // Every byte is read into before it is used, so the buffer is not zeroed.
  const auto run = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(run_bytes));
  while (remaining > 0) {
    const int64_t bytes = std::min(remaining, run_bytes);
    const auto span = std::span(run.get(), static_cast<size_t>(bytes));
    // The plan keeps every run within its source's audio, so a short read
    // means the source was cut since the plan measured it: the missing frames
    // become silence, and the run fails once the run is written.
    const size_t got = ReadAudio(source, source_audio, source_at, span);
    source_short = source_short || got < span.size();
    if (copy.level_db != 0.0) {
      ApplyLevel(span, format, static_cast<int>(bytes / frame_bytes), copy.level_db);
    }
    if (!WriteAt(destination, destination_at, span)) FailWrite(destination_name);
    destination_at += bytes;
    source_at += bytes;
    remaining -= bytes;
  }
  if (source_short) Fail(2, "Cannot read wave file %s!\n", source_name);
}
