#include "wav/header.hpp"

#include <cstring>

#include "io/file.hpp"

namespace {

constexpr uint32_t kFormatInteger = 1;
constexpr uint32_t kFormatFloat = 3;

void Put16(unsigned char* at, uint32_t value) {
  at[0] = static_cast<unsigned char>(value & 0xFFU);
  at[1] = static_cast<unsigned char>((value >> 8) & 0xFFU);
}

void Put32(unsigned char* at, uint32_t value) {
  Put16(at, value & 0xFFFFU);
  Put16(at + 2, value >> 16);
}

void Put64(unsigned char* at, uint64_t value) {
  Put32(at, static_cast<uint32_t>(value));
  Put32(at + 4, static_cast<uint32_t>(value >> 32));
}

constexpr uint32_t kSizeInDs64 = 0xFFFFFFFFU;

}  // namespace

std::array<unsigned char, kHeaderSize> HeaderBytes(const AudioFormat& format, int64_t frames) {
  // Sizes are formed in 64 bits and stored as their low 32: the plan keeps the
  // destination's data size within range before it asks for a header.
  const auto bits = static_cast<uint64_t>(format.bits);
  const auto channels = static_cast<uint64_t>(format.channels);
  const uint64_t bytes_per_sample = bits / 8;
  const uint64_t data_size = static_cast<uint64_t>(frames < 0 ? 0 : frames) * bytes_per_sample * channels;
  const uint64_t byte_rate = uint64_t{format.rate} * bytes_per_sample * channels;
  const uint64_t block_align = channels * bits / 8;

  std::array<unsigned char, kHeaderSize> h{};
  std::memcpy(&h[0], "RIFF", 4);
  Put32(&h[4], static_cast<uint32_t>(data_size + 36));
  std::memcpy(&h[8], "WAVE", 4);
  std::memcpy(&h[12], "fmt ", 4);
  Put32(&h[16], 16);
  Put16(&h[20], format.type == SampleType::kFloat ? kFormatFloat : kFormatInteger);
  Put16(&h[22], static_cast<uint32_t>(channels));
  Put32(&h[24], format.rate);
  Put32(&h[28], static_cast<uint32_t>(byte_rate));
  Put16(&h[32], static_cast<uint32_t>(block_align));
  Put16(&h[34], static_cast<uint32_t>(bits));
  std::memcpy(&h[36], "data", 4);
  Put32(&h[40], static_cast<uint32_t>(data_size));
  return h;
}

std::vector<unsigned char> DestinationHeader(const AudioFormat& format, int64_t frames) {
  const auto header = HeaderBytes(format, frames);
  const uint64_t data_size = static_cast<uint64_t>(frames < 0 ? 0 : frames) * static_cast<uint64_t>(FrameBytes(format));
  if (data_size <= static_cast<uint64_t>(kMaxDataSize)) return {header.begin(), header.end()};

  std::vector<unsigned char> h(kRf64HeaderSize);
  std::memcpy(&h[0], "RF64", 4);
  Put32(&h[4], kSizeInDs64);
  std::memcpy(&h[8], "WAVE", 4);
  std::memcpy(&h[12], "ds64", 4);
  Put32(&h[16], 28);
  Put64(&h[20], data_size + kRf64HeaderSize - 8);
  Put64(&h[28], data_size);
  Put64(&h[36], static_cast<uint64_t>(frames));
  Put32(&h[44], 0);  // no table of other chunk sizes
  // The format chunk of the 44-byte header, byte for byte.
  std::memcpy(&h[48], &header[12], 24);
  std::memcpy(&h[72], "data", 4);
  Put32(&h[76], kSizeInDs64);
  return h;
}

bool WriteHeader(const char* path, const AudioFormat& format, int64_t frames) {
  FileHandle file = CreateEmpty(path);
  const auto header = HeaderBytes(format, frames);
  return file.IsOpen() && WriteAt(file, 0, header) && CloseWritten(file);
}
