#include "io/replace.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "io/stop.hpp"

namespace {

constexpr std::string_view kTemporaryMark = ".wavsplice-";
constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kRandomLetters = 6;
constexpr size_t kLongestName = 255;

// Set on a temporary file once its run holds the file's lock, and taken off
// just before it is moved into place: a file without it (still being set up,
// or made by someone else) is never swept.
constexpr const char* kPartialMark = "user.wavsplice.partial";

// The permission bits a new file gets from the process's file mode mask.
mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

std::string BaseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ".NAME.wavsplice-": what the long hidden names of files replacing this one
// begin with.
std::string HiddenPrefix(const std::string& path) {
  std::string prefix = ".";
  prefix += BaseOf(path);
  prefix += kTemporaryMark;
  return prefix;
}

// Whether the hidden names of files replacing this one take the short form
// ".wavsplice-" and six letters: the long one would pass the longest name a
// file may have.
bool TakesShortForm(const std::string& path) {
  return 1 + BaseOf(path).size() + kTemporaryMark.size() + kRandomLetters > kLongestName;
}

// The hidden name a file is made or linked under in its target's folder:
// ".NAME.wavsplice-" and six letters, or ".wavsplice-" and six letters where
// that would pass the longest name a file may have. The letters are X, for
// mkostemp to fill, or random.
std::string HiddenName(const std::string& path, bool random) {
  std::string letters(kRandomLetters, 'X');
  if (random) {
    unsigned char bytes[kRandomLetters] = {};
    if (getentropy(bytes, sizeof bytes) != 0) {
      for (size_t i = 0; i < kRandomLetters; ++i) bytes[i] = static_cast<unsigned char>(std::rand());
    }
    for (size_t i = 0; i < kRandomLetters; ++i) letters[i] = kAlphabet[bytes[i] % kAlphabet.size()];
  }
  const std::string hidden = (TakesShortForm(path) ? std::string(kTemporaryMark) : HiddenPrefix(path)) + letters;
  return DirectoryOf(path) + "/" + hidden;
}

// Whether a name in a folder is exactly one HiddenName makes (mkostemp's
// letters come from the same alphabet): ".NAME.wavsplice-" and six letters,
// or, where files replacing `path` take it, the short form.
bool IsTemporaryName(std::string_view name, const std::string& path) {
  const size_t suffix = kTemporaryMark.size() + kRandomLetters;
  if (name.size() < suffix) return false;
  const std::string_view letters = name.substr(name.size() - kRandomLetters);
  if (letters.find_first_not_of(kAlphabet) != std::string_view::npos) return false;
  if (name.size() == suffix) return name.substr(0, kTemporaryMark.size()) == kTemporaryMark && TakesShortForm(path);
  return name.front() == '.' && name.size() > suffix + 1 &&
         name.substr(name.size() - suffix, kTemporaryMark.size()) == kTemporaryMark;
}

// Whether a hidden name is one that files replacing `path` are given.
bool IsOwnTemporaryName(std::string_view name, const std::string& path) {
  if (TakesShortForm(path)) return name.size() == kTemporaryMark.size() + kRandomLetters;
  const std::string prefix = HiddenPrefix(path);
  return name.size() == prefix.size() + kRandomLetters && name.substr(0, prefix.size()) == prefix;
}

// Opens a file of the folder for a look at it, never through a link and
// without blocking; a file this user may only write is opened for writing.
FileHandle OpenInFolder(int folder, const char* name) {
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  FileHandle file(openat(folder, name, O_RDONLY | kFlags));
  if (!file.IsOpen() && errno == EACCES) file = FileHandle(openat(folder, name, O_WRONLY | kFlags));
  return file;
}

// Takes the lock of a file this run has just made, and marks it as a
// partial file of a live run. A sweep of another run may hold the lock for
// a moment; nobody else can open the file. Without locks there is no mark
// (and no sweeping either).
void HoldAndMark(const FileHandle& file) {
  int locked = -1;
  do {
    locked = flock(file.fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked == 0 && fsetxattr(file.fd, kPartialMark, "1", 1, 0) != 0) {
    // A file system without extended attributes: the file, if left, is
    // never swept, only named.
  }
}

// The replaced file's extended attributes (its ACLs among them) onto the new
// file: those the user may set; the rest are left out.
void CopyAttributes(const std::string& from, const FileHandle& to) {
  const ssize_t listed = llistxattr(from.c_str(), nullptr, 0);
  if (listed <= 0) return;
  std::vector<char> names(static_cast<size_t>(listed));
  const ssize_t got = llistxattr(from.c_str(), names.data(), names.size());
  if (got <= 0) return;
  for (size_t at = 0; at < static_cast<size_t>(got);) {
    const std::string name(&names[at]);
    at += name.size() + 1;
    if (name == kPartialMark) continue;
    const ssize_t size = lgetxattr(from.c_str(), name.c_str(), nullptr, 0);
    if (size < 0) continue;
    std::vector<char> value(static_cast<size_t>(size));
    const ssize_t read = lgetxattr(from.c_str(), name.c_str(), value.data(), value.size());
    if (read < 0 || fsetxattr(to.fd, name.c_str(), value.data(), static_cast<size_t>(read), 0) != 0) {
      // Not readable, or not ours to set: left out.
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
      RemoveWhenStopped(temporary.slot, hidden.c_str(), IdentityOf(linked));
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace

ReplaceTarget FindReplaceTarget(const std::string& name) {
  const std::optional<std::string> followed = FollowTrustedLinks(name);
  ReplaceTarget target{.path = followed.value_or(name)};
  target.trusted = followed.has_value();
  target.replaces = stat(target.path.c_str(), &target.replaced) == 0;
  return target;
}

bool MayReplace(const ReplaceTarget& target) {
  if (!target.trusted) return false;
  return !target.replaces || (S_ISREG(target.replaced.st_mode) && (target.replaced.st_mode & 0222) != 0 &&
                              access(target.path.c_str(), W_OK) == 0);
}

bool FolderWritable(const ReplaceTarget& target) { return access(DirectoryOf(target.path).c_str(), W_OK | X_OK) == 0; }

std::vector<std::string> SweepDeadTemporaries(const ReplaceTarget& target, std::span<const FileIdentity> keep,
                                              bool remove) {
  std::vector<std::string> left;
  // The folder the new file is made in, opened once: every name below is
  // looked up in it, so a folder link changed meanwhile leads nowhere else.
  const FileHandle folder(open(DirectoryOf(target.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.IsOpen()) return left;
  const int listed = dup(folder.fd);
  DIR* opened_listing = listed >= 0 ? fdopendir(listed) : nullptr;
  if (opened_listing == nullptr) {
    if (listed >= 0) close(listed);
    return left;
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(opened_listing, &closedir);
  const uid_t user = geteuid();
  while (const dirent* entry = readdir(listing.get())) {
    const char* name = entry->d_name;
    if (!IsTemporaryName(name, target.path)) continue;
    // A regular file of this user's, none of the run's own files; looked at
    // before it is opened (opening a device may do something).
    struct stat named {};
    if (fstatat(folder.fd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) || named.st_uid != user) {
      continue;
    }
    const FileHandle file = OpenInFolder(folder.fd, name);
    struct stat status {};
    if (!file.IsOpen() || fstat(file.fd, &status) != 0 || IdentityOf(status) != IdentityOf(named)) continue;
    const FileIdentity identity = IdentityOf(status);
    if (std::find(keep.begin(), keep.end(), identity) != keep.end() ||
        (target.replaces && IdentityOf(target.replaced) == identity)) {
      continue;
    }
    const bool marked = fgetxattr(file.fd, kPartialMark, nullptr, 0) >= 0;
    const bool own = IsOwnTemporaryName(name, target.path);
    if (!marked && !own) continue;
    // A live run holds the lock of its file.
    const bool locked = flock(file.fd, LOCK_EX | LOCK_NB) == 0;
    if (!locked && errno == EWOULDBLOCK) continue;
    if (marked && locked) {
      // A dead run's: removed while the name still leads to it.
      struct stat still {};
      if (remove && fstatat(folder.fd, name, &still, AT_SYMLINK_NOFOLLOW) == 0 && IdentityOf(still) == identity) {
        unlinkat(folder.fd, name, 0);
      }
      continue;
    }
    // Unmarked (killed before it was marked, or no extended attributes
    // here), or on a file system without locks: nothing proves it dead and
    // ours.
    left.push_back(name);
  }
  std::sort(left.begin(), left.end());
  return left;
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : file(std::move(other.file)),
      target_path(std::move(other.target_path)),
      hidden_path(std::exchange(other.hidden_path, std::string())),
      unnamed(other.unnamed),
      slot(other.slot) {}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
  if (this != &other) {
    const TemporaryFile replaced(std::move(*this));  // removes its hidden file
    file = std::move(other.file);
    target_path = std::move(other.target_path);
    hidden_path = std::exchange(other.hidden_path, std::string());
    unnamed = other.unnamed;
    slot = other.slot;
  }
  return *this;
}

TemporaryFile::~TemporaryFile() {
  if (hidden_path.empty()) return;
  // Given up and removed as one step that a stop cannot cut in two.
  const StopHold stops;
  KeepWhenStopped(slot);
  std::remove(hidden_path.c_str());
}

bool CreateTemporary(const ReplaceTarget& target, TemporaryFile& temporary, StopSlot slot) {
  temporary.target_path = target.path;
  temporary.slot = slot;
  const std::string folder = DirectoryOf(target.path);
  {
    // The file is registered for removal from the moment it has a name.
    const StopHold stops;
    // Where the file system offers it, the file has no name until it is
    // complete: a run killed meanwhile leaves nothing behind.
    temporary.file = CreateUnnamed(folder);
    temporary.unnamed = temporary.file.IsOpen();
    if (!temporary.unnamed) {
      std::string hidden = HiddenName(target.path, false);
      temporary.file = FileHandle(mkostemp(hidden.data(), O_CLOEXEC));
      struct stat created {};
      if (!temporary.file.IsOpen() || fstat(temporary.file.fd, &created) != 0) return false;
      temporary.hidden_path = hidden;
      RemoveWhenStopped(slot, hidden.c_str(), IdentityOf(created));
    }
    // Held while the run lives, so that another run never takes it for a
    // dead run's file; marked only once it is held.
    HoldAndMark(temporary.file);
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
  if (fchmod(temporary.file.fd, mode) != 0) return false;
  // After the mode: an access ACL sets the group bits to its mask, which a
  // change of mode would set again.
  if (target.replaces) CopyAttributes(target.path, temporary.file);
  return true;
}

bool CommitTemporary(TemporaryFile& temporary, bool sync, const struct timespec* modified) {
  if (modified != nullptr) {
    const struct timespec times[2] = {{.tv_sec = 0, .tv_nsec = UTIME_OMIT}, *modified};
    if (futimens(temporary.file.fd, times) != 0) {
      // Then it keeps the time of its last write, which --update trusts less.
    }
  }
  if (sync && fsync(temporary.file.fd) != 0) return false;
  // From here on a stop waits: the run either keeps the old file (a failure
  // lets the stop through) or replaces it and says so.
  StopHold stops;
  if (temporary.unnamed && !LinkUnnamed(temporary)) return false;
  // The lock stays with a second handle until the file is in place: between
  // the close and the move, another run would take it for a dead run's file.
  const FileHandle lock(dup(temporary.file.fd));
  // The finished file carries no mark. Left here by a kill, without it, it
  // is named by the next run rather than removed.
  if (fremovexattr(temporary.file.fd, kPartialMark) != 0) {
    // Never marked.
  }
  if (!CloseWritten(temporary.file)) return false;
  if (std::rename(temporary.hidden_path.c_str(), temporary.target_path.c_str()) != 0) return false;
  KeepWhenStopped(temporary.slot);
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
