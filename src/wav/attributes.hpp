#pragma once

#include <cstdint>

#include "task/task_list.hpp"

// What the attribute reader learns of every source, one element per entry.
struct SourceAttributes {
  PerEntry<int> channels{};
  PerEntry<int64_t> data_start{};
  PerEntry<uint32_t> rate{};
  PerEntry<int> length_frames{};
  PerEntry<int> bytes_per_sample{};
  PerEntry<int> bits{};
};

// Reads channel count, rate, sample width, data start and length in frames of
// the source at path into element index. Ends the run with status 2 when the
// file cannot be read, has no data chunk, or is a format the editor cannot
// process (other than 16/24 bits, 1/2 channels, a non-zero rate).
void GET_ATTRIBUTES(int index, const char* path, SourceAttributes& attributes);
