#include "io/replace.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "io/stop.hpp"

namespace {

constexpr std::string_view kTemporaryMark = ".wavsplice-";
constexpr size_t kRandomLetters = 6;
constexpr size_t kLongestName = 255;

// The path with every symbolic link of its last component followed; a link
// that leads nowhere yet leads to the file it names.
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

// The hidden name a file is made or linked under in its target's folder:
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

// Gives the unnamed file a hidden name, to be moved onto its own at once.
bool LinkUnnamed(TemporaryFile& temporary) {
  const std::string self = "/proc/self/fd/" + std::to_string(temporary.file.fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string hidden = HiddenName(temporary.target_path, true);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
        linkat(temporary.file.fd, "", AT_FDCWD, hidden.c_str(), AT_EMPTY_PATH) == 0) {
      temporary.hidden_path = hidden;
      struct stat linked {};
      if (fstat(temporary.file.fd, &linked) != 0) return false;
      RemoveWhenStopped(StopSlot::kDestination, hidden.c_str(), IdentityOf(linked));
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace

ReplaceTarget FindReplaceTarget(const std::string& name) {
  ReplaceTarget target{.path = FollowLinks(name)};
  target.replaces = stat(target.path.c_str(), &target.replaced) == 0;
  return target;
}

bool MayReplace(const ReplaceTarget& target) {
  return !target.replaces || (S_ISREG(target.replaced.st_mode) && (target.replaced.st_mode & 0222) != 0 &&
                              access(target.path.c_str(), W_OK) == 0);
}

bool FolderWritable(const ReplaceTarget& target) { return access(DirectoryOf(target.path).c_str(), W_OK | X_OK) == 0; }

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : file(std::move(other.file)),
      target_path(std::move(other.target_path)),
      hidden_path(std::exchange(other.hidden_path, std::string())),
      unnamed(other.unnamed) {}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
  if (this != &other) {
    const TemporaryFile replaced(std::move(*this));  // removes its hidden file
    file = std::move(other.file);
    target_path = std::move(other.target_path);
    hidden_path = std::exchange(other.hidden_path, std::string());
    unnamed = other.unnamed;
  }
  return *this;
}

TemporaryFile::~TemporaryFile() {
  if (hidden_path.empty()) return;
  // Given up and removed as one step that a stop cannot cut in two.
  const StopHold stops;
  KeepWhenStopped(StopSlot::kDestination);
  std::remove(hidden_path.c_str());
}

bool CreateTemporary(const ReplaceTarget& target, TemporaryFile& temporary) {
  temporary.target_path = target.path;
  const std::string folder = DirectoryOf(target.path);
  // A run killed between giving its file a name and moving it into place,
  // or one on a file system without unnamed files, left it behind.
  RemoveDeadTemporaries(folder);
  {
    // The file is registered for removal from the moment it has a name.
    const StopHold stops;
    // Where the file system offers it, the file has no name until it is
    // complete: a run killed meanwhile leaves nothing behind.
    temporary.file = FileHandle(open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    temporary.unnamed = temporary.file.IsOpen();
    if (!temporary.unnamed) {
      std::string hidden = HiddenName(target.path, false);
      temporary.file = FileHandle(mkostemp(hidden.data(), O_CLOEXEC));
      struct stat created {};
      if (!temporary.file.IsOpen() || fstat(temporary.file.fd, &created) != 0) return false;
      temporary.hidden_path = hidden;
      RemoveWhenStopped(StopSlot::kDestination, hidden.c_str(), IdentityOf(created));
    }
    // Held while the run lives, so that another run never takes it for a
    // dead run's file.
    if (flock(temporary.file.fd, LOCK_EX | LOCK_NB) != 0) {
      // Without locks there is no sweeping either.
    }
  }

  // The finished file looks as if written in place: the replaced file's owner
  // and group where we may set them, then its permission bits (a change of
  // owner clears setuid and setgid, which are kept only where the owner is).
  const struct stat& replaced = target.replaced;
  mode_t mode = target.replaces ? replaced.st_mode & 07777 : NewFileMode();
  if (target.replaces) {
    if (fchown(temporary.file.fd, replaced.st_uid, replaced.st_gid) != 0) {
      // Only the superuser may give a file away; the file stays ours.
    }
    struct stat own {};
    const bool known = fstat(temporary.file.fd, &own) == 0;
    if (!known || own.st_uid != replaced.st_uid) mode &= ~mode_t{S_ISUID};
    if (!known || own.st_gid != replaced.st_gid) mode &= ~mode_t{S_ISGID};
  }
  return fchmod(temporary.file.fd, mode) == 0;
}

bool CommitTemporary(TemporaryFile& temporary, bool sync) {
  if (sync && fsync(temporary.file.fd) != 0) return false;
  // From here on a stop waits: the run either keeps the old file (a failure
  // lets the stop through) or replaces it and says so.
  StopHold stops;
  if (temporary.unnamed && !LinkUnnamed(temporary)) return false;
  // The lock stays with a second handle until the file is in place: between
  // the close and the move, another run would take it for a dead run's file.
  const FileHandle lock(dup(temporary.file.fd));
  if (!CloseWritten(temporary.file)) return false;
  if (std::rename(temporary.hidden_path.c_str(), temporary.target_path.c_str()) != 0) return false;
  KeepWhenStopped(StopSlot::kDestination);
  temporary.hidden_path.clear();
  if (sync) {
    const FileHandle folder(open(DirectoryOf(temporary.target_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.IsOpen() && fsync(folder.fd) != 0) {
      // The file itself reached the disk before it was moved; the file has
      // been replaced, and the run says so.
    }
  }
  stops.keep = true;
  return true;
}
