#include "wav/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
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

size_t ReadAt(std::FILE* file, int64_t offset, std::span<unsigned char> buffer) {
  if (offset < 0 || fseeko(file, offset, SEEK_SET) != 0) return 0;
  size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
  std::clearerr(file);
  return got;
}

bool WriteAt(std::FILE* file, int64_t offset, std::span<const unsigned char> bytes) {
  if (offset < 0 || fseeko(file, offset, SEEK_SET) != 0) return false;
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
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
