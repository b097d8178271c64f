#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

// Opens an existing regular file with a stdio mode ("rb" or "rb+"). Anything
// else (missing, a directory, a FIFO, a device) gives nullptr, and opening
// never blocks: a FIFO without a writer would otherwise hang the run.
std::FILE* OpenRegular(const char* path, const char* mode);

// Size in bytes of an open file, or -1.
int64_t FileSize(std::FILE* file);

// Reads up to buffer.size() bytes at an absolute offset; returns how many were
// delivered (short at the end of the file). These work on the descriptor and
// bypass the stream's buffer: a file is used through one or the other.
size_t ReadAt(std::FILE* file, int64_t offset, std::span<unsigned char> buffer);

// Writes all bytes at an absolute offset; false on any failure.
bool WriteAt(std::FILE* file, int64_t offset, std::span<const unsigned char> bytes);

// Grows the file to `size` bytes when it is shorter; the new bytes read as
// zeros without being written. False on failure.
bool ExtendTo(std::FILE* file, int64_t size);

// Flushes and closes; false when either fails.
bool FlushAndClose(std::FILE* file);

// Flushes and closes; ends the run with the write-failure message when either
// fails, because data we believed written may be lost.
void CloseWritten(std::FILE* file, const char* path);

// The refusals shared by every writer of WAV data.
[[noreturn]] void FailOpen(const char* path);
[[noreturn]] void FailWrite(std::FILE* file, const char* path);
[[noreturn]] void FailNoData();
