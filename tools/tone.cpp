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

#include "common/failure.hpp"
#include "dsp/codec.hpp"
#include "wav/file.hpp"
#include "wav/header.hpp"

namespace {

void WriteTone(const char* path, const AudioFormat& format, double seconds, double frequency, double amplitude) {
  const int frames = static_cast<int>(seconds * format.rate);
  WriteHeader(path, format, frames);
  FileHandle file = OpenRegular(path, true);
  if (!file.IsOpen()) Fail(2, "Cannot open wave file %s!\n", path);
  const int bits = format.bits;
  const int channels = format.channels;
  const double full_scale = bits == 16 ? 32767.0 : 8388607.0;
  constexpr int kBlock = 4096;
  std::array<int32_t, kBlock> left;
  std::array<int32_t, kBlock> right;
  std::vector<unsigned char> bytes(static_cast<size_t>(kBlock * FrameBytes(format)));
  int64_t offset = kHeaderSize;
  for (int done = 0; done < frames; done += kBlock) {
    const int n = frames - done < kBlock ? frames - done : kBlock;
    for (int i = 0; i < n; ++i) {
      const int frame = done + i;
      double value = 0.0;
      if (frequency > 0) {
        value = amplitude * full_scale * std::sin(2.0 * std::numbers::pi * frequency * frame / format.rate);
      } else {
        value = std::fmod(frame * 7.0, 2.0 * full_scale * amplitude) - full_scale * amplitude;
      }
      left[i] = static_cast<int32_t>(value);
      right[i] = static_cast<int32_t>(-value / 2);  // a different right channel
    }
    if (bits == 16 && channels == 1) EncodeMono16(left, bytes, n);
    if (bits == 16 && channels == 2) EncodeStereo16(left, right, bytes, n);
    if (bits == 24 && channels == 1) EncodeMono24(left, bytes, n);
    if (bits == 24 && channels == 2) EncodeStereo24(left, right, bytes, n);
    const auto size = static_cast<size_t>(n * FrameBytes(format));
    if (!WriteAt(file, offset, std::span(bytes.data(), size))) Fail(2, "Cannot write wave file %s!\n", path);
    offset += static_cast<int64_t>(size);
  }
  if (!CloseWritten(file)) Fail(2, "Cannot write wave file %s!\n", path);
}

}  // namespace

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
  try {
    WriteTone(path, AudioFormat{.rate = rate, .bits = bits, .channels = channels}, seconds, frequency, amplitude);
  } catch (const RunFailure& failure) {
    return failure.status;
  }
  return 0;
}
