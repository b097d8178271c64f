#include "io/blocks.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <cerrno>

namespace {

struct KnownFileSystem {
  uint64_t type;
  const char* name;
  bool shares;
};

constexpr KnownFileSystem kKnown[] = {
    {0x58465342, "xfs", true},   {0x9123683E, "btrfs", true},  {0xCA451A4E, "bcachefs", true},
    {0x2FC12FC1, "zfs", true},   {0x6969, "nfs", true},        {0x7461636F, "ocfs2", true},
    {0xEF53, "ext4", false},     {0x01021994, "tmpfs", false}, {0x794C7630, "overlay", false},
    {0x4D44, "vfat", false},     {0x65735546, "fuse", false},  {0x5346544E, "ntfs", false},
    {0xFE534D42, "smb2", false}, {0xFF534D42, "cifs", false},  {0x2011BAB0, "exfat", false},
    {0xF2F52010, "f2fs", false},
};

const KnownFileSystem* Known(uint64_t type) {
  for (const KnownFileSystem& known : kKnown) {
    if (known.type == type) return &known;
  }
  return nullptr;
}

// The larger of the two sizes the system gives; both must be powers of two
// the sharing can work in.
int64_t BlockSize(const struct statfs& fs, const struct stat& status) {
  const int64_t block = std::max<int64_t>(fs.f_bsize, status.st_blksize);
  const bool power_of_two = block > 0 && (block & (block - 1)) == 0;
  return power_of_two && block >= 512 && block <= (int64_t{64} << 20) ? block : 0;
}

FileSystem Described(const struct statfs& fs, const struct stat& status) {
  return FileSystem{.type = static_cast<uint64_t>(fs.f_type),
                    .block = BlockSize(fs, status),
                    .device = static_cast<uint64_t>(status.st_dev)};
}

}  // namespace

std::optional<FileSystem> FileSystemOf(const char* path) {
  struct statfs fs {};
  struct stat status {};
  if (statfs(path, &fs) != 0 || stat(path, &status) != 0) return std::nullopt;
  return Described(fs, status);
}

std::optional<FileSystem> FileSystemOf(const FileHandle& file) {
  struct statfs fs {};
  struct stat status {};
  if (fstatfs(file.fd, &fs) != 0 || fstat(file.fd, &status) != 0) return std::nullopt;
  return Described(fs, status);
}

const char* FileSystemName(uint64_t type) {
  const KnownFileSystem* known = Known(type);
  return known != nullptr ? known->name : "";
}

bool CanShareBlocks(uint64_t type) {
  const KnownFileSystem* known = Known(type);
  return known != nullptr && known->shares;
}

SharedSpan ShareableSpan(int64_t source_at, int64_t destination_at, int64_t bytes, int64_t block) {
  if (block <= 0 || bytes < block || source_at < 0 || destination_at < 0) return {};
  if (source_at % block != destination_at % block) return {};
  const int64_t head = (block - destination_at % block) % block;
  const int64_t whole = (bytes - head) / block * block;
  return whole > 0 ? SharedSpan{.head = head, .bytes = whole} : SharedSpan{};
}

bool ShareBlocks(const FileHandle& destination, int64_t destination_at, const FileHandle& source, int64_t source_at,
                 int64_t bytes) {
  file_clone_range range{.src_fd = source.fd,
                         .src_offset = static_cast<uint64_t>(source_at),
                         .src_length = static_cast<uint64_t>(bytes),
                         .dest_offset = static_cast<uint64_t>(destination_at)};
  int result = 0;
  do {
    result = ioctl(destination.fd, FICLONERANGE, &range);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool ReserveBlocks(const FileHandle& file, int64_t from, int64_t to) {
  return to <= from || fallocate(file.fd, 0, static_cast<off_t>(from), static_cast<off_t>(to - from)) == 0;
}
