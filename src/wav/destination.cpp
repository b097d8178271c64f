#include "wav/destination.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
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

// What goes through the buffer (copies with a level, silence) moves in runs
// of many 1024-frame blocks: one system call per run instead of a seek, a
// read and a write per block. The level arithmetic works sample by sample,
// so the grouping does not change a byte of the result.
constexpr int64_t kRunBytes = 384 * 1024;

AudioExtent AudioOrFail(const FileHandle& file) {
  const std::optional<AudioExtent> audio = FindAudio(file);
  if (!audio) Fail(2, "%s\n", "Can't find data block in wave file!");
  return *audio;
}

[[noreturn]] void FailWrite(const char* name) { Fail(2, "Cannot write wave file %s!\n", name); }
[[noreturn]] void FailCreate(const std::string& name) { Fail(2, "Cannot create wave file %s!\n", name.c_str()); }

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
    path = next.front() == '/' ? next : DirectoryOf(path) + "/" + next;
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
      unnamed(other.unnamed),
      file(std::move(other.file)),
      audio(other.audio) {}

DestinationFile& DestinationFile::operator=(DestinationFile&& other) noexcept {
  if (this != &other) {
    const DestinationFile replaced(std::move(*this));  // removes its temporary file
    name = std::move(other.name);
    path = std::move(other.path);
    temporary_path = std::exchange(other.temporary_path, std::string());
    unnamed = other.unnamed;
    file = std::move(other.file);
    audio = other.audio;
  }
  return *this;
}

DestinationFile::~DestinationFile() {
  // An unnamed file goes with its last close; a named one is removed, as one
  // step that a stop cannot cut in two.
  if (temporary_path.empty()) return;
  const StopHold stops;
  KeepWhenStopped(StopSlot::kDestination);
  std::remove(temporary_path.c_str());
}

namespace {

constexpr std::string_view kTemporaryMark = ".wavsplice-";
constexpr size_t kRandomLetters = 6;
constexpr size_t kLongestName = 255;

// The hidden name a destination is built or linked under in its folder:
// ".NAME.wavsplice-" and six letters, or ".wavsplice-" and six letters where
// that would pass the longest name a file may have. The letters are X, for
// mkostemp to fill, or random.
std::string HiddenName(const std::string& path, bool random) {
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string letters(kRandomLetters, 'X');
  if (random) {
    constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[kRandomLetters] = {};
    if (getentropy(bytes, sizeof bytes) != 0) {
      for (size_t i = 0; i < kRandomLetters; ++i) bytes[i] = static_cast<unsigned char>(std::rand());
    }
    for (size_t i = 0; i < kRandomLetters; ++i) letters[i] = kAlphabet[bytes[i] % kAlphabet.size()];
  }
  std::string hidden = "." + base + std::string(kTemporaryMark) + letters;
  if (hidden.size() > kLongestName) hidden = std::string(kTemporaryMark) + letters;
  return DirectoryOf(path) + "/" + hidden;
}

// Whether a name in a folder is one HiddenName makes.
bool IsTemporaryName(std::string_view name) {
  const size_t suffix = kTemporaryMark.size() + kRandomLetters;
  return name.size() >= suffix && name.front() == '.' &&
         name.substr(name.size() - suffix, kTemporaryMark.size()) == kTemporaryMark;
}

// Removes what runs that died left in the folder under hidden names: a live
// run holds a lock on its file, so a file whose lock is granted is a dead
// run's. Where the file system grants no locks at all, nothing is removed.
void RemoveDeadTemporaries(const std::string& folder) {
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(folder.c_str()), &closedir);
  if (listing == nullptr) return;
  const int at = dirfd(listing.get());
  while (const dirent* entry = readdir(listing.get())) {
    if (!IsTemporaryName(entry->d_name)) continue;
    const FileHandle file(openat(at, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    struct stat named {};
    if (!file.IsOpen() || fstat(file.fd, &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
    if (flock(file.fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) continue;  // its run is alive
      return;                              // no locks here: no way to tell
    }
    if (fstatat(at, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && IdentityOf(named) == IdentityOf(opened)) {
      unlinkat(at, entry->d_name, 0);
    }
  }
}

}  // namespace

DestinationTarget FindDestinationTarget(const std::string& name, bool check_folder) {
  DestinationTarget target{.path = FollowLinks(name)};
  target.replaces = stat(target.path.c_str(), &target.replaced) == 0;
  // Only a regular file we may write is replaced: not a directory, a device
  // or a FIFO, and not a file its owner made read-only (not even by the
  // superuser, whom the system would let write it).
  if (target.replaces && (!S_ISREG(target.replaced.st_mode) || (target.replaced.st_mode & 0222) == 0 ||
                          access(target.path.c_str(), W_OK) != 0)) {
    FailCreate(name);
  }
  if (check_folder && access(DirectoryOf(target.path).c_str(), W_OK | X_OK) != 0) FailCreate(name);
  return target;
}

DestinationFile CreateDestination(const std::string& name, const AudioFormat& format, int64_t frames) {
  DestinationFile destination;
  destination.name = name;
  const DestinationTarget target = FindDestinationTarget(name, false);
  destination.path = target.path;
  const std::string folder = DirectoryOf(destination.path);
  // A run killed between giving its file a name and moving it into place,
  // or one on a file system without unnamed files, left it behind.
  RemoveDeadTemporaries(folder);
  {
    // The file is registered for removal from the moment it has a name.
    const StopHold stops;
    // Where the file system offers it, the file has no name until it is
    // complete: a run killed meanwhile leaves nothing behind.
    destination.file = FileHandle(open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    destination.unnamed = destination.file.IsOpen();
    if (!destination.unnamed) {
      std::string temporary = HiddenName(destination.path, false);
      destination.file = FileHandle(mkostemp(temporary.data(), O_CLOEXEC));
      if (!destination.file.IsOpen()) FailCreate(name);
      destination.temporary_path = temporary;
      struct stat created {};
      if (fstat(destination.file.fd, &created) != 0) FailCreate(name);
      RemoveWhenStopped(StopSlot::kDestination, temporary.c_str(), IdentityOf(created));
    }
    // Held while the run lives, so that another run never takes it for a
    // dead run's file.
    if (flock(destination.file.fd, LOCK_EX | LOCK_NB) != 0) {
      // Without locks there is no sweeping either.
    }
  }

  // The finished file looks as if written in place: the replaced file's owner
  // and group where we may set them, then its permission bits (a change of
  // owner clears setuid and setgid, which are kept only where the owner is).
  const struct stat& replaced = target.replaced;
  mode_t mode = target.replaces ? replaced.st_mode & 07777 : NewFileMode();
  if (target.replaces) {
    if (fchown(destination.file.fd, replaced.st_uid, replaced.st_gid) != 0) {
      // Only the superuser may give a file away; the file stays ours.
    }
    struct stat own {};
    if (fstat(destination.file.fd, &own) != 0 || own.st_uid != replaced.st_uid) mode &= ~mode_t{S_ISUID};
    if (fstat(destination.file.fd, &own) != 0 || own.st_gid != replaced.st_gid) mode &= ~mode_t{S_ISGID};
  }
  fchmod(destination.file.fd, mode);

  const auto header = DestinationHeader(format, frames);
  if (!WriteAt(destination.file, 0, header)) FailWrite(name.c_str());
  WriteSilence(destination.file, name.c_str(), format, 0, static_cast<int>(frames));
  destination.audio = AudioOrFail(destination.file);
  // Crossfades read the destination around their splices only: reading ahead
  // there would fill the cache with what the entries are about to overwrite.
  posix_fadvise(destination.file.fd, 0, 0, POSIX_FADV_RANDOM);
  return destination;
}

void CommitDestination(DestinationFile& destination, bool sync) {
  const char* name = destination.name.c_str();
  if (sync && fsync(destination.file.fd) != 0) FailWrite(name);
  // From here to the end of the run a stop waits: the run either keeps the
  // old destination (a failure lets the stop through) or replaces it and
  // says so.
  StopHold stops;
  if (destination.unnamed) {
    // Linked under a hidden name, then moved onto its own at once.
    const std::string self = "/proc/self/fd/" + std::to_string(destination.file.fd);
    for (int attempt = 0; attempt < 100 && destination.temporary_path.empty(); ++attempt) {
      const std::string hidden = HiddenName(destination.path, true);
      if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
          linkat(destination.file.fd, "", AT_FDCWD, hidden.c_str(), AT_EMPTY_PATH) == 0) {
        destination.temporary_path = hidden;
      } else if (errno != EEXIST) {
        FailWrite(name);
      }
    }
    struct stat linked {};
    if (destination.temporary_path.empty() || fstat(destination.file.fd, &linked) != 0) FailWrite(name);
    RemoveWhenStopped(StopSlot::kDestination, destination.temporary_path.c_str(), IdentityOf(linked));
  }
  // The lock stays with a second handle until the file is in place: between
  // the close and the move, another run would take it for a dead run's file.
  const FileHandle lock(dup(destination.file.fd));
  if (!CloseWritten(destination.file)) FailWrite(name);
  if (std::rename(destination.temporary_path.c_str(), destination.path.c_str()) != 0) FailWrite(name);
  KeepWhenStopped(StopSlot::kDestination);
  destination.temporary_path.clear();
  if (sync) {
    const FileHandle folder(open(DirectoryOf(destination.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.IsOpen() && fsync(folder.fd) != 0) {
      // The file itself reached the disk before it was moved; the run has
      // replaced the destination and says so.
    }
  }
  stops.keep = true;
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

OpenAudio DestinationAudio(const DestinationFile& destination) {
  return OpenAudio{.file = &destination.file, .audio = destination.audio, .name = destination.name.c_str()};
}

namespace {

// Plain copies move through a pipe of this size: a page of the source goes
// in by reference and is copied once, into the destination, where a read and
// a write through a buffer copy it twice. A smaller pipe measured slower than
// the buffer (every page of a source whose frames do not line up with the
// destination's pages goes in two pieces, the more of them the smaller the
// pipe).
constexpr int kPipeBytes = 1024 * 1024;

bool PipeUsable(CopyScratch& scratch) {
  if (scratch.pipe_state == 0) {
    int ends[2];
    scratch.pipe_state = -1;
    if (pipe2(ends, O_CLOEXEC) == 0) {
      scratch.pipe_out = FileHandle(ends[0]);
      scratch.pipe_in = FileHandle(ends[1]);
      if (fcntl(scratch.pipe_in.fd, F_SETPIPE_SZ, kPipeBytes) >= kPipeBytes) scratch.pipe_state = 1;
    }
  }
  return scratch.pipe_state == 1;
}

// Moves up to `bytes` bytes from the source to the destination through the
// pipe. Returns the bytes moved (fewer where the source ends), or -1 when the
// files cannot be spliced and nothing was moved.
int64_t SpliceRun(CopyScratch& scratch, const FileHandle& source, int64_t source_at, const FileHandle& destination,
                  int64_t destination_at, int64_t bytes, const char* destination_name) {
  auto in_at = static_cast<loff_t>(source_at);
  auto out_at = static_cast<loff_t>(destination_at);
  int64_t moved = 0;
  while (moved < bytes) {
    const auto want = static_cast<size_t>(std::min<int64_t>(bytes - moved, kPipeBytes));
    const ssize_t got = splice(source.fd, &in_at, scratch.pipe_in.fd, nullptr, want, SPLICE_F_MOVE);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && moved == 0 && (errno == EINVAL || errno == ENOSYS)) return -1;
    if (got <= 0) break;  // the end of the source, or it cannot be read: what is missing is silence
    for (ssize_t drained = 0; drained < got;) {
      const ssize_t put =
          splice(scratch.pipe_out.fd, nullptr, destination.fd, &out_at, static_cast<size_t>(got - drained), SPLICE_F_MOVE);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) FailWrite(destination_name);
      drained += put;
    }
    moved += got;
  }
  return moved;
}

}  // namespace

int64_t CopyFrames(const OpenAudio& destination, const OpenAudio& source, const AudioFormat& format,
                   const FrameCopy& copy, CopyScratch& scratch) {
  const int64_t frame_bytes = FrameBytes(format);
  int64_t clipped = 0;
  if (copy.count <= 0) return clipped;
  // Positions before a file's first frame would address its header.
  if (copy.to_frame < 0 || copy.from_frame < 0) FailWrite(destination.name);

  int64_t destination_at = destination.audio.start + int64_t{copy.to_frame} * frame_bytes;
  int64_t source_at = source.audio.start + int64_t{copy.from_frame} * frame_bytes;
  int64_t remaining = int64_t{copy.count} * frame_bytes;
  bool source_short = false;

  // A plain copy within the source's samples goes through the pipe; what
  // that does not move goes through the buffer below, which finds out why.
  const int64_t in_samples = std::min(remaining, std::max<int64_t>(source.audio.end - source_at, 0));
  if (copy.level_db == 0.0 && in_samples > 0 && PipeUsable(scratch)) {
    const int64_t moved = SpliceRun(scratch, *source.file, source_at, *destination.file, destination_at, in_samples,
                                    destination.name);
    if (moved < 0) {
      scratch.pipe_state = -1;
    } else {
      source_at += moved;
      destination_at += moved;
      remaining -= moved;
    }
  }

  // Whole frames a run, so that a level change sees every frame whole.
  const int64_t run_bytes = kRunBytes / frame_bytes * frame_bytes;
  // Every byte is read into before it is used, so the buffer is not zeroed.
  if (remaining > 0 && scratch.buffer == nullptr) {
    scratch.buffer = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(kRunBytes));
  }
  while (remaining > 0) {
    const int64_t bytes = std::min(remaining, run_bytes);
    const auto span = std::span(scratch.buffer.get(), static_cast<size_t>(bytes));
    // The plan keeps every run within its source's audio, so a short read
    // means the source was cut since the plan measured it: the missing frames
    // become silence, and the copy fails once all of it is written.
    const size_t got = ReadAudio(*source.file, source.audio, source_at, span);
    source_short = source_short || got < span.size();
    if (copy.level_db != 0.0) clipped += ApplyLevel(span, format, static_cast<int>(bytes / frame_bytes), copy.level_db);
    if (!WriteAt(*destination.file, destination_at, span)) FailWrite(destination.name);
    destination_at += bytes;
    source_at += bytes;
    remaining -= bytes;
  }
  if (source_short) Fail(2, "Cannot read wave file %s!\n", source.name);
  return clipped;
}
