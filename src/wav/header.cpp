#include "wav/header.hpp"

#include <cstdio>
#include <cstring>

#include "driver/fatal.hpp"
#include "wav/file_io.hpp"

namespace {

void Put16(unsigned char* at, uint32_t value) {
  at[0] = static_cast<unsigned char>(value & 0xFFU);
  at[1] = static_cast<unsigned char>((value >> 8) & 0xFFU);
}

void Put32(unsigned char* at, uint32_t value) {
  Put16(at, value & 0xFFFFU);
  Put16(at + 2, value >> 16);
}

}  // namespace

std::array<unsigned char, kHeaderSize> HeaderBytes(uint32_t rate, unsigned bits, int frames, uint16_t channels) {
  // Sizes are formed in 64 bits and stored as their low 32: the plan keeps the
  // destination's data size within range before it asks for a header.
  const uint64_t bytes_per_sample = bits / 8;
  const uint64_t data_size = static_cast<uint64_t>(frames < 0 ? 0 : frames) * bytes_per_sample * channels;
  const uint64_t byte_rate = uint64_t{rate} * bytes_per_sample * channels;
  const uint64_t block_align = uint64_t{channels} * bits / 8;

  std::array<unsigned char, kHeaderSize> h{};
  std::memcpy(&h[0], "RIFF", 4);
  Put32(&h[4], static_cast<uint32_t>(data_size + 36));
  std::memcpy(&h[8], "WAVE", 4);
  std::memcpy(&h[12], "fmt ", 4);
  Put32(&h[16], 16);
  Put16(&h[20], 1);
  Put16(&h[22], channels);
  Put32(&h[24], rate);
  Put32(&h[28], static_cast<uint32_t>(byte_rate));
  Put16(&h[32], static_cast<uint32_t>(block_align));
  Put16(&h[34], bits);
  std::memcpy(&h[36], "data", 4);
  Put32(&h[40], static_cast<uint32_t>(data_size));
  return h;
}

void MAKE_HEADER(const char* path, uint32_t rate, unsigned bits, int frames, uint16_t channels) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) Fatal(2, "Cannot create wave file %s!\n", path);
  const auto header = HeaderBytes(rate, bits, frames, channels);
  if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) FailWrite(file, path);
  CloseWritten(file, path);
}
