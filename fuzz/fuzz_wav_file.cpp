// The chunk probe, the attribute reader and the writers on arbitrary files:
// the input is a source file; when it is accepted, a segment of it is copied
// with a level and crossfaded into a destination.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "driver/fatal.hpp"
#include "dsp/crossfade.hpp"
#include "support/wav_builder.hpp"
#include "wav/attributes.hpp"
#include "wav/chunk.hpp"
#include "wav/destination.hpp"
#include "wav/file_io.hpp"
#include "wav/header.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  char scratch[] = "/tmp/wavsplice-fuzz-wav-XXXXXX";
  if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteFile("source.wav", std::span(data, size));
  std::FILE* file = OpenRegular("source.wav", "rb");
  if (file == nullptr) std::abort();
  const int64_t format = FindChunk(file, "fmt");
  const std::optional<AudioExtent> audio = FindAudio(file);
  std::fclose(file);
  // Wherever the walk or the probe finds the data, its samples lie within the
  // file (the probe's may start past a file that ends in the size field).
  if (format >= static_cast<int64_t>(size) || (audio && (audio->end > static_cast<int64_t>(size) ||
                                                       (audio->end < audio->start && audio->end != static_cast<int64_t>(size))))) {
    std::abort();
  }

  auto attributes = std::make_unique<SourceAttributes>();
  try {
    GET_ATTRIBUTES(0, "source.wav", *attributes);
  } catch (const FatalExit& exit) {
    if (exit.status != 2) std::abort();
    return 0;
  }
  const int channels = attributes->channels[0];
  const int bytes_per_sample = attributes->bytes_per_sample[0];
  const int length = attributes->length_frames[0];
  if (!audio || attributes->data_start[0] != audio->start) std::abort();

  // Copy the middle of the source, at a level, then crossfade its second half in.
  const int frames = length < 0 ? 0 : (length > 4096 ? 4096 : length);
  try {
    MAKE_HEADER("dest.wav", attributes->rate[0], static_cast<unsigned>(attributes->bits[0]), frames,
                static_cast<uint16_t>(channels));
    PAD_FILE("dest.wav", 0, bytes_per_sample, channels, frames);
    INSERT_FILE("dest.wav", "source.wav", frames / 4, bytes_per_sample, -4.5, channels, frames / 2, frames / 4);
    MAKE_HEADER("xfade_temp.wav", attributes->rate[0], static_cast<unsigned>(attributes->bits[0]), frames / 2,
                static_cast<uint16_t>(channels));
    CROSSFADE(frames / 2, frames / 2, frames / 2, 1 + static_cast<int>(size % 4), 3.0, "dest.wav", "source.wav",
              "xfade_temp.wav", channels, bytes_per_sample);
  } catch (const FatalExit&) {
    std::abort();  // every file exists and is writable: nothing may fail
  }
  return 0;
}
