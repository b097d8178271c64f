#include "wav/chunk.hpp"

#include <array>
#include <cstring>

#include "wav/file_io.hpp"

int64_t FIND_CHUNK(std::FILE* file, std::string_view tag) {
  // The probe range is read in windows rather than one seek and read per
  // offset; a tag cut by the end of the file does not match.
  std::array<unsigned char, 8192> window;
  const int64_t length = static_cast<int64_t>(tag.size());
  int64_t base = 0;  // file offset of window[0]
  int64_t have = 0;  // bytes valid in the window
  for (int64_t k = 2; k <= kLastProbeOffset; k += 2) {
    if (k + length > base + have) {
      base = k;
      have = static_cast<int64_t>(ReadAt(file, base, window));
      if (k + length > base + have) return -1;
    }
    if (std::memcmp(&window[k - base], tag.data(), tag.size()) == 0) return k;
  }
  return -1;
}

int64_t DataStart(std::FILE* file) {
  const int64_t tag = FIND_CHUNK(file, "data");
  return tag < 0 ? -1 : tag + 8;
}
