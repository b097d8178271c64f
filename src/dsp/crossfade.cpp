#include "dsp/crossfade.hpp"

#include <fcntl.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

#include "driver/fatal.hpp"
#include "dsp/codec.hpp"
#include "wav/chunk.hpp"
#include "wav/file_io.hpp"

namespace {

constexpr int kBlockFrames = 1024;
constexpr int kRunFrames = 16 * kBlockFrames;
// A quarter turn as the curves have always used it, not pi/2 to full precision.
constexpr double kQuarterTurn = 1.570796327;
constexpr double k16BitScale = 0.00390625;

using Samples = std::array<int32_t, kBlockFrames>;

struct Channels {
  Samples left;
  Samples right;
};

void ToSamples(std::span<const unsigned char> bytes, Channels& out, int channels, int bytes_per_sample, int n) {
  if (channels == 1) {
    CHAR_TO_NUM32(bytes, out.left, bytes_per_sample, n);
  } else {
    CHAR_TO_NUM32_STEREO(bytes, out.left, out.right, bytes_per_sample, n);
  }
}

void ToBytes(Channels& in, std::span<unsigned char> bytes, int channels, int bytes_per_sample, int n) {
  if (bytes_per_sample == 2) {
    if (channels == 1) NUM16MONO_TO_CHAR(in.left, bytes, n);
    else NUM16STER_TO_CHAR(in.left, in.right, bytes, n);
  } else {
    if (channels == 1) NUM24MONO_TO_CHAR(in.left, bytes, n);
    else NUM24STER_TO_CHAR(in.left, in.right, bytes, n);
  }
}

struct Weights {
  std::array<double, kBlockFrames> w_out;
  std::array<double, kBlockFrames> w_in;
};

// The weights of frames first .. first + n - 1, from the kept curve when
// there is one, the incoming side scaled by the gain (1.0 when there is no
// level: multiplying by it changes nothing).
void BlockWeights(Weights& out, const KeptCurve* curve, int xfade_type, int first, int n, int width_frames,
                  double gain) {
  for (int i = 0; i < n; ++i) {
    const CrossfadeWeights w = curve != nullptr ? curve->weights[static_cast<size_t>(first + i)]
                                                : CurveWeights(xfade_type, first + i, width_frames);
    out.w_out[i] = w.w_out;
    out.w_in[i] = w.w_in * gain;
  }
}

// The curve of this crossfade, from `kept` or computed into it; null when it
// is too wide to keep.
const KeptCurve* CurveFor(KeptCurve& kept, int xfade_type, int width_frames) {
  if (width_frames > kMaxKeptCurveFrames) return nullptr;
  if (kept.xfade_type != xfade_type || kept.width_frames != width_frames) {
    kept.weights.resize(static_cast<size_t>(width_frames));
    for (int j = 0; j < width_frames; ++j) {
      kept.weights[static_cast<size_t>(j)] = CurveWeights(xfade_type, j, width_frames);
    }
    kept.xfade_type = xfade_type;
    kept.width_frames = width_frames;
  }
  return &kept;
}

void MixBlock(const Samples& destination, const Samples& source, const Weights& w, double scale, Samples& out,
              int n) {
  for (int i = 0; i < n; ++i) {
    // Two rounded products and a rounded sum: the build disables contraction
    // into a fused multiply-add, which would round once.
    const double incoming = static_cast<double>(source[i]) * w.w_in[i];
    const double outgoing = static_cast<double>(destination[i]) * w.w_out[i];
    out[i] = TruncateToInt32((incoming + outgoing) * scale);
  }
}

// A run that cannot write its work file ends, leaving no work file behind.
[[noreturn]] void FailTempWrite(const char* temp_path) {
  std::remove(temp_path);
  Fatal(2, "Cannot write wave file %s!\n", temp_path);
}

int Close(std::FILE* destination, std::FILE* source, std::FILE* temp, int result) {
  if (destination != nullptr) std::fclose(destination);
  if (source != nullptr) std::fclose(source);
  if (temp != nullptr) std::fclose(temp);
  return result;
}

}  // namespace

CrossfadeWeights CurveWeights(int xfade_type, int j, int width_frames) {
  const double u = static_cast<double>(j) / static_cast<double>(width_frames);
  const double a = u * kQuarterTurn;
  double w_out = 0.0;
  switch (xfade_type) {
    case 1: {
      // One evaluation for both: the same values as sin and cos separately.
      double sine = 0.0;
      double cosine = 0.0;
      sincos(a, &sine, &cosine);
      return {cosine, sine};
    }
    case 2:
      w_out = 1.0 - u;
      break;
    case 3:
      w_out = std::cos(a);
      break;
    default:
      w_out = 1.0 - std::sin(a);
      break;
  }
  return {w_out, 1.0 - w_out};
}

int CROSSFADE(int insert_frame, int read_start_frame, int width_frames, int xfade_type, double level_db,
              const char* destination_path, const char* source_path, const char* temp_path, int channels,
              int bytes_per_sample) {
  KeptCurve none;
  return CROSSFADE(insert_frame, read_start_frame, width_frames, xfade_type, level_db, destination_path, source_path,
                   temp_path, channels, bytes_per_sample, none);
}

int CROSSFADE(int insert_frame, int read_start_frame, int width_frames, int xfade_type, double level_db,
              const char* destination_path, const char* source_path, const char* temp_path, int channels,
              int bytes_per_sample, KeptCurve& kept) {
  const double gain = std::pow(10.0, level_db / 20.0);

  std::FILE* destination = OpenRegular(destination_path, "rb");
  std::FILE* source = OpenRegular(source_path, "rb");
  std::FILE* temp = std::fopen(temp_path, "ab");
  if (destination == nullptr) return Close(destination, source, temp, 1);
  if (source == nullptr) return Close(destination, source, temp, 2);
  if (temp == nullptr) return Close(destination, source, temp, 3);
  // Every run goes out in one write; a stream buffer would split it in two.
  std::setvbuf(temp, nullptr, _IONBF, 0);

  // The window after the splice is usually a hole of the new destination:
  // reading ahead there would only fill the cache with zeros.
  posix_fadvise(fileno(destination), 0, 0, POSIX_FADV_RANDOM);
  const std::optional<AudioExtent> destination_audio = FindAudio(destination);
  if (!destination_audio) {
    std::puts("Data block not found error");
    return Close(destination, source, temp, 1);
  }
  const std::optional<AudioExtent> source_audio = FindAudio(source);
  if (!source_audio) {
    std::puts("Data block not found error");
    return Close(destination, source, temp, 2);
  }
  const int64_t destination_start = destination_audio->start;
  const int64_t source_start = source_audio->start;

  const int64_t frame_size = int64_t{bytes_per_sample} * channels;
  const int half_width = width_frames / 2;
  int64_t destination_at = destination_start + frame_size * (int64_t{insert_frame} - half_width);
  if (destination_at > destination_audio->end || destination_at < destination_start) {
    std::puts("Invalid crossfade for destination file");
    return Close(destination, source, temp, 1);
  }
  int64_t source_at = source_start + frame_size * (int64_t{read_start_frame} - half_width);
  if (source_at > source_audio->end || source_at < source_start) {
    std::puts("Invalid crossfade for source file");
    return Close(destination, source, temp, 2);
  }
  if ((channels != 1 && channels != 2) || (bytes_per_sample != 2 && bytes_per_sample != 3)) {
    return Close(destination, source, temp, 4);
  }
  if (width_frames <= 0) return Close(destination, source, temp, 0);

  // The windows are read and the mixed frames appended in runs of many
  // blocks: the mix goes frame by frame, so the grouping changes no byte.
  const int run_frames = width_frames < kRunFrames ? width_frames : kRunFrames;
  const auto run_bytes = static_cast<size_t>(run_frames * frame_size);
  // Filled before every use, so not zeroed first.
  const auto old_bytes = std::make_unique_for_overwrite<unsigned char[]>(run_bytes);
  const auto new_bytes = std::make_unique_for_overwrite<unsigned char[]>(run_bytes);
  const auto mixed_bytes = std::make_unique_for_overwrite<unsigned char[]>(run_bytes);
  Channels old_samples;
  Channels new_samples;
  Channels mixed;
  Weights weights;
  const double scale = bytes_per_sample == 2 ? k16BitScale : 1.0;
  const KeptCurve* curve = CurveFor(kept, xfade_type, width_frames);

  for (int done = 0; done < width_frames;) {
    const int run = width_frames - done < run_frames ? width_frames - done : run_frames;
    const auto bytes = static_cast<size_t>(run * frame_size);
    ReadAudio(destination, *destination_audio, destination_at, std::span(old_bytes.get(), bytes));
    ReadAudio(source, *source_audio, source_at, std::span(new_bytes.get(), bytes));
    for (int first = 0; first < run; first += kBlockFrames) {
      const int n = run - first < kBlockFrames ? run - first : kBlockFrames;
      const auto at = static_cast<size_t>(first * frame_size);
      ToSamples(std::span(old_bytes.get() + at, bytes - at), old_samples, channels, bytes_per_sample, n);
      ToSamples(std::span(new_bytes.get() + at, bytes - at), new_samples, channels, bytes_per_sample, n);
      BlockWeights(weights, curve, xfade_type, done + first, n, width_frames, level_db != 0.0 ? gain : 1.0);
      MixBlock(old_samples.left, new_samples.left, weights, scale, mixed.left, n);
      if (channels == 2) MixBlock(old_samples.right, new_samples.right, weights, scale, mixed.right, n);
      ToBytes(mixed, std::span(mixed_bytes.get() + at, bytes - at), channels, bytes_per_sample, n);
    }
    if (std::fwrite(mixed_bytes.get(), 1, bytes, temp) != bytes) {
      Close(destination, source, temp, 0);
      FailTempWrite(temp_path);
    }
    destination_at += static_cast<int64_t>(bytes);
    source_at += static_cast<int64_t>(bytes);
    done += run;
  }
  Close(destination, source, nullptr, 0);
  if (!FlushAndClose(temp)) FailTempWrite(temp_path);
  return 0;
}
