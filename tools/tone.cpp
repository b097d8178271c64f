// wavsplice-tone: writes a test WAV file of a sine tone, a ramp or silence.
//
//   wavsplice-tone FILE RATE BITS CHANNELS SECONDS [FREQUENCY [AMPLITUDE]]
//
// FREQUENCY 0 writes a ramp that counts up by one step per frame (every frame
// distinct, handy for checking where a segment landed); AMPLITUDE is a
// fraction of full scale (default 0.5). Used by the bundled example and the
// benchmark to make their sources.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "dsp/codec.hpp"
#include "wav/file_io.hpp"
#include "wav/header.hpp"

int main(int argc, char** argv) {
  if (argc < 6) {
    std::puts("usage: wavsplice-tone FILE RATE BITS CHANNELS SECONDS [FREQUENCY [AMPLITUDE]]");
    return 1;
  }
  const char* path = argv[1];
  const auto rate = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const int bits = std::atoi(argv[3]);
  const int channels = std::atoi(argv[4]);
  const double seconds = std::strtod(argv[5], nullptr);
  const double frequency = argc > 6 ? std::strtod(argv[6], nullptr) : 440.0;
  const double amplitude = argc > 7 ? std::strtod(argv[7], nullptr) : 0.5;
  if ((bits != 16 && bits != 24) || (channels != 1 && channels != 2) || rate == 0 || !(seconds >= 0) ||
      seconds * rate > 2.0e8) {
    std::puts("wavsplice-tone: unsupported format or length");
    return 1;
  }
  const int frames = static_cast<int>(seconds * rate);
  MAKE_HEADER(path, rate, static_cast<unsigned>(bits), frames, static_cast<uint16_t>(channels));

  std::FILE* file = OpenRegular(path, "rb+");
  if (file == nullptr) FailOpen(path);
  const int bytes_per_sample = bits / 8;
  const double full_scale = bits == 16 ? 32767.0 : 8388607.0;
  constexpr int kBlock = 4096;
  std::array<int32_t, kBlock> left;
  std::array<int32_t, kBlock> right;
  std::vector<unsigned char> bytes(static_cast<size_t>(kBlock) * bytes_per_sample * channels);
  int64_t offset = kHeaderSize;
  for (int done = 0; done < frames; done += kBlock) {
    const int n = frames - done < kBlock ? frames - done : kBlock;
    for (int i = 0; i < n; ++i) {
      const int frame = done + i;
      double value = 0.0;
      if (frequency > 0) {
        value = amplitude * full_scale * std::sin(2.0 * std::numbers::pi * frequency * frame / rate);
      } else {
        value = std::fmod(frame * 7.0, 2.0 * full_scale * amplitude) - full_scale * amplitude;
      }
      left[i] = static_cast<int32_t>(value);
      right[i] = static_cast<int32_t>(-value / 2);  // a different right channel
    }
    if (bits == 16 && channels == 1) NUM16MONO_TO_CHAR(left, bytes, n);
    if (bits == 16 && channels == 2) NUM16STER_TO_CHAR(left, right, bytes, n);
    if (bits == 24 && channels == 1) NUM24MONO_TO_CHAR(left, bytes, n);
    if (bits == 24 && channels == 2) NUM24STER_TO_CHAR(left, right, bytes, n);
    const auto size = static_cast<size_t>(n) * bytes_per_sample * channels;
    if (!WriteAt(file, offset, std::span(bytes.data(), size))) FailWrite(file, path);
    offset += static_cast<int64_t>(size);
  }
  CloseWritten(file, path);
  return 0;
}
