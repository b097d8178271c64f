#include "io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) close(fd);
    fd = std::exchange(other.fd, -1);
  }
  return *this;
}

FileHandle::~FileHandle() {
  if (fd >= 0) close(fd);
}

namespace {

// Whether the link at `path` (of status `link`) may be followed: see
// FollowTrustedLinks.
bool LinkTrusted(const std::string& path, const struct stat& link) {
  struct stat folder {};
  if (stat(DirectoryOf(path).c_str(), &folder) != 0) return false;
  const bool open_to_all = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
  return !open_to_all || link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

}  // namespace

std::optional<std::string> FollowTrustedLinks(const std::string& name) {
  std::string path = name;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    if (!LinkTrusted(path, info)) return std::nullopt;
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0) return path;
    const std::string next(target, static_cast<size_t>(length));
    path = next.front() == '/' ? next : DirectoryOf(path) + "/" + next;
  }
  return path;
}

namespace {

// A name that is no link opens at once; a link is followed only where it may
// be trusted.
FileHandle OpenNonBlocking(const char* path, bool writable, bool* linked = nullptr) {
  const int flags = (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC;
  FileHandle file(open(path, flags | O_NOFOLLOW));
  if (!file.IsOpen() && errno == ELOOP && FollowTrustedLinks(path)) {
    file = FileHandle(open(path, flags));
    if (linked != nullptr) *linked = file.IsOpen();
  }
  return file;
}

}  // namespace

FileHandle OpenRegular(const char* path, bool writable, struct stat* info) {
  FileHandle file = OpenNonBlocking(path, writable);
  if (!file.IsOpen()) return file;
  struct stat own {};
  struct stat& status = info != nullptr ? *info : own;
  // Back to blocking I/O once it is known to be a regular file; none of the
  // other status flags was set.
  if (fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode) || fcntl(file.fd, F_SETFL, 0) != 0) return {};
  return file;
}

FileHandle OpenRegularForGlance(const char* path, struct stat& info, bool* linked) {
  if (linked != nullptr) *linked = false;
  FileHandle file = OpenNonBlocking(path, false, linked);
  if (!file.IsOpen()) return file;
  if (fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return {};
  return file;
}

FileHandle OpenKnownRegular(const char* path, const FileIdentity& known, struct stat& info) {
  // The look comes first so that a link turned elsewhere (a FIFO, a device)
  // is never opened through: only the trusted file is.
  if (stat(path, &info) == 0 && S_ISREG(info.st_mode) && IdentityOf(info) == known) {
    FileHandle file(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.IsOpen() && fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode) && IdentityOf(info) == known &&
        fcntl(file.fd, F_SETFL, 0) == 0) {
      return file;
    }
  }
  // Turned elsewhere since: the links are walked again.
  return OpenRegular(path, false, &info);
}

WholeFile ReadWholeFile(const char* path, size_t limit, std::string& bytes) {
  bytes.clear();
  struct stat status {};
  const FileHandle file = OpenRegular(path, false, &status);
  if (!file.IsOpen()) return WholeFile::kMissing;
  // Room for what its size says, and one byte more than the limit: getting
  // that byte means the file is too large.
  const auto said = static_cast<size_t>(status.st_size > 0 ? status.st_size : 0);
  bytes.resize(std::min(said, limit) + 1);
  size_t got = 0;
  for (;;) {
    if (got == bytes.size()) bytes.resize(std::min(bytes.size() * 2, limit + 1));
    const ssize_t n = read(file.fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return WholeFile::kMissing;
    if (n == 0 || (got += static_cast<size_t>(n)) > limit) break;
  }
  if (got > limit) return WholeFile::kTooLarge;
  bytes.resize(got);
  return WholeFile::kRead;
}

FileHandle CreateEmpty(const char* path) {
  return FileHandle(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

FileHandle CreateUnnamed(const std::string& folder) {
  return FileHandle(open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
}

FileIdentity IdentityOf(const struct stat& status) {
  return FileIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
}

std::optional<FileIdentity> IdentityOfName(const char* path) {
  struct stat status {};
  if (stat(path, &status) != 0) return std::nullopt;
  return IdentityOf(status);
}

std::optional<struct timespec> ModifiedTime(const char* path) {
  struct stat status {};
  if (stat(path, &status) != 0) return std::nullopt;
  return status.st_mtim;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int64_t FileSize(const FileHandle& file) {
  struct stat info {};
  if (fstat(file.fd, &info) != 0) return -1;
  return info.st_size;
}

// Positioned reads and writes: no seek per call, and no stream buffer between
// the program and the file.
size_t ReadAt(const FileHandle& file, int64_t offset, std::span<unsigned char> buffer) {
  size_t done = 0;
  while (offset >= 0 && done < buffer.size()) {
    const ssize_t got = pread(file.fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

bool WriteAt(const FileHandle& file, int64_t offset, std::span<const unsigned char> bytes) {
  size_t done = 0;
  while (offset >= 0 && done < bytes.size()) {
    const ssize_t put = pwrite(file.fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return offset >= 0;
}

bool ExtendTo(const FileHandle& file, int64_t size, bool reserve) {
  const int64_t current = FileSize(file);
  if (current < 0) return false;
  if (current >= size) return true;
  // Blocks reserved now take the copies faster than a hole, which must
  // reserve them page by page. Where the file system cannot reserve them
  // (or has no room yet), a hole reads as zeros all the same.
  const auto from = static_cast<off_t>(current);
  if (reserve && fallocate(file.fd, 0, from, static_cast<off_t>(size) - from) == 0) return true;
  return ftruncate(file.fd, static_cast<off_t>(size)) == 0;
}

bool CloseWritten(FileHandle& file) {
  const int fd = std::exchange(file.fd, -1);
  return fd < 0 || close(fd) == 0;
}
