#include "dsp/codec.hpp"

#include <cstdint>

namespace {

// One sample from its bytes; `at` points at its lowest byte.
int32_t Sample24(const unsigned char* at) {
  const int32_t top = static_cast<signed char>(at[2]);
  return at[0] + 256 * at[1] + 65536 * top;
}

int32_t Sample16(const unsigned char* at) {
  const int32_t top = static_cast<signed char>(at[1]);
  return 256 * at[0] + 65536 * top;
}

// One loop per sample width, so that the width is not tested per sample.
template <int Width>
void ReadMono(std::span<const unsigned char> bytes, std::span<int32_t> samples, int n) {
  for (int i = 0; i < n; ++i) {
    const unsigned char* at = &bytes[static_cast<size_t>(i) * Width];
    samples[i] = Width == 3 ? Sample24(at) : Sample16(at);
  }
}

template <int Width>
void ReadStereo(std::span<const unsigned char> bytes, std::span<int32_t> left, std::span<int32_t> right, int n) {
  for (int i = 0; i < n; ++i) {
    const unsigned char* frame = &bytes[static_cast<size_t>(i) * 2 * Width];
    left[i] = Width == 3 ? Sample24(frame) : Sample16(frame);
    right[i] = Width == 3 ? Sample24(frame + Width) : Sample16(frame + Width);
  }
}

// Stores the low bytes of v, lowest first, and leaves the documented
// ones' complement in the element when it was negative.
void Put(int32_t& element, unsigned char* at, int width) {
  const auto bits = static_cast<uint32_t>(element);
  at[0] = static_cast<unsigned char>(bits);
  at[1] = static_cast<unsigned char>(bits >> 8);
  if (width == 3) at[2] = static_cast<unsigned char>(bits >> 16);
  if (element < 0) element = ~element;
}

void WriteMono(std::span<int32_t> samples, std::span<unsigned char> bytes, int n, int width) {
  for (int i = 0; i < n; ++i) Put(samples[i], &bytes[static_cast<size_t>(i) * width], width);
}

void WriteStereo(std::span<int32_t> left, std::span<int32_t> right, std::span<unsigned char> bytes, int n,
                 int width) {
  for (int i = 0; i < n; ++i) {
    unsigned char* frame = &bytes[static_cast<size_t>(i) * 2 * width];
    Put(left[i], frame, width);
    Put(right[i], frame + width, width);
  }
}

}  // namespace

void DecodeMono(std::span<const unsigned char> bytes, std::span<int32_t> samples, int bytes_per_sample, int n) {
  if (bytes_per_sample == 3) ReadMono<3>(bytes, samples, n);
  if (bytes_per_sample == 2) ReadMono<2>(bytes, samples, n);
}

void DecodeStereo(std::span<const unsigned char> bytes, std::span<int32_t> left, std::span<int32_t> right,
                  int bytes_per_sample, int n) {
  if (bytes_per_sample == 3) ReadStereo<3>(bytes, left, right, n);
  if (bytes_per_sample == 2) ReadStereo<2>(bytes, left, right, n);
}

void EncodeMono16(std::span<int32_t> samples, std::span<unsigned char> bytes, int n) {
  WriteMono(samples, bytes, n, 2);
}

void EncodeMono24(std::span<int32_t> samples, std::span<unsigned char> bytes, int n) {
  WriteMono(samples, bytes, n, 3);
}

void EncodeStereo16(std::span<int32_t> left, std::span<int32_t> right, std::span<unsigned char> bytes, int n) {
  WriteStereo(left, right, bytes, n, 2);
}

void EncodeStereo24(std::span<int32_t> left, std::span<int32_t> right, std::span<unsigned char> bytes, int n) {
  WriteStereo(left, right, bytes, n, 3);
}
