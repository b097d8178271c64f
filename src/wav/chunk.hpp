#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

inline constexpr int64_t kLastProbeOffset = 131072;

// Offset of the first even offset from 2 to 131,072 at which the tag's bytes
// stand, or -1. Chunk sizes are not followed. The format chunk is looked for
// by its three letters "fmt".
int64_t FIND_CHUNK(std::FILE* file, std::string_view tag);

// Start of the first sample byte of the "data" chunk, or -1 without one.
int64_t DataStart(std::FILE* file);
