#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

// An open file, closed when its owner goes: every path out of an operation,
// a failure's unwinding included, closes what it opened.
struct FileHandle {
  int fd = -1;

  FileHandle() = default;
  explicit FileHandle(int descriptor) : fd(descriptor) {}
  FileHandle(FileHandle&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  bool IsOpen() const { return fd >= 0; }
};

// The path with every symbolic link of its last component followed (a link
// that leads nowhere yet leads to the file it names), or nothing where one of
// those links may not be trusted: a link that another user made in a folder
// where anyone may make files (sticky and writable by all), unless that user
// owns the folder. A run of one user there would otherwise read or replace
// whatever file another user points it at; the system refuses to follow such
// links too where it is set to (protected_symlinks), and the program keeps to
// that rule wherever it runs.
std::optional<std::string> FollowTrustedLinks(const std::string& name);

// An existing regular file, for reading or for reading and writing. Anything
// else (missing, a directory, a FIFO, a device, a link that may not be
// trusted) gives a handle that is not open, and opening never blocks: a FIFO
// without a writer would otherwise hang the run.
// With `info`, the file's status is left there.
FileHandle OpenRegular(const char* path, bool writable, struct stat* info = nullptr);

// The same for reading a few bytes at once and closing it: left
// non-blocking, which reads of a regular file ignore, one system call sooner.
// With `linked`, whether the name was a link (followed as trusted).
FileHandle OpenRegularForGlance(const char* path, struct stat& info, bool* linked = nullptr);

// The bytes of an existing regular file, opened as OpenRegular opens it, at
// most `limit` of them: kTooLarge when it holds more (whatever its size said
// when it was opened), kMissing when it is missing, no regular file or cannot
// be read.
enum class WholeFile { kRead, kMissing, kTooLarge };
WholeFile ReadWholeFile(const char* path, size_t limit, std::string& bytes);

// Creates the file, or empties an existing one, for writing.
FileHandle CreateEmpty(const char* path);

// A file without a name in the folder, for reading and writing, that is
// never given one: it goes with its last close, and no one ever sees it in
// the folder. Not open where the file system has no such files (or the
// folder may not be written).
FileHandle CreateUnnamed(const std::string& folder);

// Which file a name or a handle leads to.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
FileIdentity IdentityOf(const struct stat& status);
// Nothing when the name leads to no file (links are followed).
std::optional<FileIdentity> IdentityOfName(const char* path);

// A file for reading whose name was found earlier in the run to be a trusted
// link to the file of identity `known`: where a look through the links (which
// opens nothing) still finds that file, it is opened through them without
// walking them again, one link at a time (4 system calls in place of 8). That
// file was trusted, and the open file's identity is checked once more, so
// nothing else is ever read. Anything else opens as OpenRegular opens it.
FileHandle OpenKnownRegular(const char* path, const FileIdentity& known, struct stat& info);

// When the file a name leads to was last modified; nothing when it leads to
// no file (links are followed).
std::optional<struct timespec> ModifiedTime(const char* path);

// The folder a path names a file in: "." for a bare name.
std::string DirectoryOf(const std::string& path);

// Size in bytes, or -1.
int64_t FileSize(const FileHandle& file);

// Reads up to buffer.size() bytes at an absolute offset; returns how many were
// delivered (short at the end of the file).
size_t ReadAt(const FileHandle& file, int64_t offset, std::span<unsigned char> buffer);

// Writes all bytes at an absolute offset; false on any failure.
bool WriteAt(const FileHandle& file, int64_t offset, std::span<const unsigned char> bytes);

// Grows the file to `size` bytes when it is shorter; the new bytes read as
// zeros without being written. With `reserve`, their blocks are reserved
// where the file system can. False on failure.
bool ExtendTo(const FileHandle& file, int64_t size, bool reserve = true);

// Closes a file that was written; false when the system reports that data
// may not have reached it.
bool CloseWritten(FileHandle& file);
