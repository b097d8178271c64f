#include "wav/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/fatal.hpp"

std::FILE* OpenRegular(const char* path, const char* mode) {
  const bool update = std::strchr(mode, '+') != nullptr;
  int fd = open(path, (update ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return nullptr;
  }
  // Back to blocking I/O; none of the other status flags was set.
  if (fcntl(fd, F_SETFL, 0) != 0) {
    close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, mode);
  if (file == nullptr) close(fd);
  return file;
}

int64_t FileSize(std::FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) return -1;
  return info.st_size;
}

// Positioned reads and writes on the descriptor: no seek per call, and no
// stdio buffer between the program and the file.
size_t ReadAt(std::FILE* file, int64_t offset, std::span<unsigned char> buffer) {
  const int fd = fileno(file);
  size_t done = 0;
  while (offset >= 0 && done < buffer.size()) {
    const ssize_t got = pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

bool WriteAt(std::FILE* file, int64_t offset, std::span<const unsigned char> bytes) {
  const int fd = fileno(file);
  size_t done = 0;
  while (offset >= 0 && done < bytes.size()) {
    const ssize_t put = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return offset >= 0;
}

bool ExtendTo(std::FILE* file, int64_t size) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) return false;
  if (info.st_size >= size) return true;
  // Blocks reserved now take the copies faster than a hole, which must
  // reserve them page by page. Where the file system cannot reserve them
  // (or has no room yet), a hole reads as zeros all the same.
  const auto from = static_cast<off_t>(info.st_size);
  if (fallocate(fileno(file), 0, from, static_cast<off_t>(size) - from) == 0) return true;
  return ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

bool FlushAndClose(std::FILE* file) {
  const bool flushed = std::fflush(file) == 0;
  return std::fclose(file) == 0 && flushed;
}

void CloseWritten(std::FILE* file, const char* path) {
  if (!FlushAndClose(file)) Fatal(2, "Cannot write wave file %s!\n", path);
}

void FailOpen(const char* path) { Fatal(2, "Cannot open wave file %s!\n", path); }

void FailWrite(std::FILE* file, const char* path) {
  std::fclose(file);
  Fatal(2, "Cannot write wave file %s!\n", path);
}

void FailNoData() { Fatal(2, "%s\n", "Can't find data block in wave file!"); }
