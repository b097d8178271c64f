// wavsplice-tone: writes a test WAV file of a sine tone, a ramp or silence.
//
//   wavsplice-tone FILE RATE BITS CHANNELS SECONDS [FREQUENCY [AMPLITUDE]]
//
// BITS is 16, 24 or 32 for integers, 32f for floats; CHANNELS 1 to 8.
// FREQUENCY 0 writes a ramp that counts up by one step per frame (every frame
// distinct, handy for checking where a segment landed); AMPLITUDE is a
// fraction of full scale (default 0.5). The second channel carries the first
// at minus half its level, further channels tones a quarter, a half, ... of
// the frequency higher. Used by the bundled example and the benchmark to make
// their sources.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <vector>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "dsp/codec.hpp"
#include "io/file.hpp"
#include "wav/header.hpp"

namespace {

void WriteTone(const char* path, const AudioFormat& format, double seconds, double frequency, double amplitude) {
  const int frames = static_cast<int>(seconds * format.rate);
  FileHandle file = WriteHeader(path, format, frames) ? OpenRegular(path, true) : FileHandle();
  if (!file.IsOpen()) Fail(ExitStatus::kWavError, message::kCannotCreate, path);
  const bool floats = format.type == SampleType::kFloat;
  const double full_scale = floats ? 1.0 : format.bits == 16 ? 32767.0 : format.bits == 24 ? 8388607.0 : 2147483647.0;
  // Integers are handed over on the arithmetic's scale: 16-bit ones times 256.
  const double scale = format.bits == 16 ? 256.0 : 1.0;
  constexpr int kBlock = 4096;
  const auto channels = static_cast<size_t>(format.channels);
  std::vector<double> values(kBlock * channels);
  std::vector<unsigned char> bytes(static_cast<size_t>(kBlock * FrameBytes(format)));
  int64_t offset = kHeaderSize;
  for (int done = 0; done < frames; done += kBlock) {
    const int n = frames - done < kBlock ? frames - done : kBlock;
    for (int i = 0; i < n; ++i) {
      const int frame = done + i;
      for (size_t c = 0; c < channels; ++c) {
        const double pitch = frequency * (c < 2 ? 1.0 : 1.0 + 0.25 * static_cast<double>(c - 1));
        double value = 0.0;
        if (frequency > 0) {
          value = amplitude * full_scale * std::sin(2.0 * std::numbers::pi * pitch * frame / format.rate);
        } else {
          value = std::fmod(frame * 7.0, 2.0 * full_scale * amplitude) - full_scale * amplitude;
        }
        if (c == 1) value = -value / 2;  // a different second channel
        values[static_cast<size_t>(i) * channels + c] = floats ? value : std::trunc(value) * scale;
      }
    }
    const auto size = static_cast<size_t>(n * FrameBytes(format));
    EncodeSamples(std::span(values.data(), static_cast<size_t>(n) * channels), format, bytes);
    if (!WriteAt(file, offset, std::span(bytes.data(), size))) Fail(ExitStatus::kWavError, message::kCannotWrite, path);
    offset += static_cast<int64_t>(size);
  }
  if (!CloseWritten(file)) Fail(ExitStatus::kWavError, message::kCannotWrite, path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::puts("usage: wavsplice-tone FILE RATE BITS CHANNELS SECONDS [FREQUENCY [AMPLITUDE]]");
    return 1;
  }
  const char* path = argv[1];
  AudioFormat format;
  format.rate = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  format.bits = std::atoi(argv[3]);
  format.type = std::strcmp(argv[3], "32f") == 0 ? SampleType::kFloat : SampleType::kInteger;
  format.channels = std::atoi(argv[4]);
  const double seconds = std::strtod(argv[5], nullptr);
  const double frequency = argc > 6 ? std::strtod(argv[6], nullptr) : 440.0;
  const double amplitude = argc > 7 ? std::strtod(argv[7], nullptr) : 0.5;
  if ((format.bits != 16 && format.bits != 24 && format.bits != 32) || format.channels < 1 ||
      format.channels > kMaxChannels || format.rate == 0 || !(seconds >= 0) || seconds * format.rate > 2.0e8) {
    std::puts("wavsplice-tone: unsupported format or length");
    return 1;
  }
  try {
    WriteTone(path, format, seconds, frequency, amplitude);
  } catch (const RunFailure& failure) {
    std::fputs(failure.message.c_str(), stdout);
    return StatusCode(failure.status);
  }
  return 0;
}
