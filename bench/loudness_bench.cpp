// Times the loudness measurement of one WAV file read from the page cache in
// order, as the program reads a destination: wavsplice's own meter on each
// instruction set the processor has, libebur128 (integrated, range, true peak,
// momentary and short-term, fed as the program would feed it), and the read
// alone. Each is run `rounds` times; the fastest time is printed with what
// was measured. Not installed; bench/bench.py times the program itself.
//
//   loudness_bench FILE [ROUNDS [WHAT...]]     WHAT: read portable avx avx2 libebur128
#include <ebur128.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dsp/cpu.hpp"
#include "dsp/loudness.hpp"
#include "dsp/samples.hpp"
#include "io/file.hpp"
#include "wav/format.hpp"

namespace {

constexpr size_t kRead = 1 << 20;

struct Input {
  FileHandle file;
  SourceInfo info;
};

// Reads the samples in pieces of kRead bytes, handing each to `use`.
void ReadAll(const Input& in, std::vector<unsigned char>& buffer,
             const std::function<void(std::span<const unsigned char>)>& use) {
  for (int64_t at = in.info.audio.start; at < in.info.audio.end;) {
    const auto want =
        static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(buffer.size()), in.info.audio.end - at));
    const size_t got = ReadAt(in.file, at, std::span(buffer.data(), want));
    if (got == 0) break;
    use(std::span<const unsigned char>(buffer.data(), got));
    at += static_cast<int64_t>(got);
  }
}

std::string Db(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", v);
  return text;
}

std::string Ours(const Input& in, std::vector<unsigned char>& buffer, InstructionSet set) {
  const auto weights = LoudnessWeights(in.info.format.channels, std::nullopt);
  LoudnessMeter meter = StartLoudness(in.info.format, weights, set);
  ReadAll(in, buffer, [&](std::span<const unsigned char> bytes) { FeedLoudness(meter, bytes); });
  const LoudnessResult r = FinishLoudness(meter);
  return "I " + (r.integrated ? Db(*r.integrated) : "-") + " LRA " + (r.range ? Db(*r.range) : "-") + " TP " +
         Db(r.true_peak) + " SP " + Db(r.sample_peak) + " M " + (r.max_momentary ? Db(*r.max_momentary) : "-") + " S " +
         (r.max_short_term ? Db(*r.max_short_term) : "-");
}

// libebur128 takes 16-bit samples as shorts, 24- and 32-bit ones as ints at
// the top of 32 bits, floats as floats; momentary and short-term loudness are
// read after every 100 ms.
std::string Library(const Input& in, std::vector<unsigned char>& buffer) {
  const AudioFormat& f = in.info.format;
  ebur128_state* state =
      ebur128_init(static_cast<unsigned>(f.channels), f.rate,
                   EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_M | EBUR128_MODE_S);
  const auto weights = LoudnessWeights(f.channels, std::nullopt);
  for (int c = 0; c < f.channels; ++c) {
    ebur128_set_channel(state, static_cast<unsigned>(c),
                        weights[static_cast<size_t>(c)] == 0.0  ? EBUR128_UNUSED
                        : weights[static_cast<size_t>(c)] > 1.0 ? EBUR128_LEFT_SURROUND
                                                                : EBUR128_LEFT);
  }
  const size_t step = f.rate / 10 * static_cast<size_t>(FrameBytes(f));
  std::vector<unsigned char> pending;
  std::vector<int32_t> ints;
  std::vector<int16_t> shorts;
  std::vector<float> floats;
  double momentary = -HUGE_VAL, short_term = -HUGE_VAL;
  auto add = [&](const unsigned char* at, size_t frames) {
    const size_t n = frames * static_cast<size_t>(f.channels);
    if (f.bits == 16) {
      shorts.resize(n);
      for (size_t i = 0; i < n; ++i) shorts[i] = static_cast<int16_t>(Load16(at + 2 * i));
      ebur128_add_frames_short(state, shorts.data(), frames);
    } else if (f.type == SampleType::kFloat) {
      floats.resize(n);
      std::memcpy(floats.data(), at, 4 * n);
      ebur128_add_frames_float(state, floats.data(), frames);
    } else {
      ints.resize(n);
      for (size_t i = 0; i < n; ++i)
        ints[i] =
            f.bits == 24 ? static_cast<int32_t>(static_cast<uint32_t>(Load24(at + 3 * i)) << 8) : Load32(at + 4 * i);
      ebur128_add_frames_int(state, ints.data(), frames);
    }
    double v;
    if (ebur128_loudness_momentary(state, &v) == EBUR128_SUCCESS) momentary = std::max(momentary, v);
    if (ebur128_loudness_shortterm(state, &v) == EBUR128_SUCCESS) short_term = std::max(short_term, v);
  };
  ReadAll(in, buffer, [&](std::span<const unsigned char> bytes) {
    pending.insert(pending.end(), bytes.begin(), bytes.end());
    size_t used = 0;
    for (; pending.size() - used >= step; used += step) add(pending.data() + used, f.rate / 10);
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
  });
  add(pending.data(), pending.size() / static_cast<size_t>(FrameBytes(f)));
  double integrated = 0, range = 0, peak = 0;
  ebur128_loudness_global(state, &integrated);
  ebur128_loudness_range(state, &range);
  for (int c = 0; c < f.channels; ++c) {
    double p = 0;
    ebur128_true_peak(state, static_cast<unsigned>(c), &p);
    peak = std::max(peak, p);
  }
  ebur128_destroy(&state);
  return "I " + Db(integrated) + " LRA " + Db(range) + " TP " + Db(20 * std::log10(peak)) + " M " + Db(momentary) +
         " S " + Db(short_term);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::puts("usage: loudness_bench FILE [ROUNDS [read|portable|avx|avx2|libebur128]...]");
    return 1;
  }
  Input in{OpenRegular(argv[1], false), {}};
  const FormatRead read = in.file.IsOpen() ? ReadFormat(in.file, FileSize(in.file)) : FormatRead{};
  if (!read.supported) {
    std::printf("loudness_bench: cannot read %s\n", argv[1]);
    return 1;
  }
  in.info = read.info;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  std::vector<std::string> what;
  for (int i = 3; i < argc; ++i) what.emplace_back(argv[i]);
  if (what.empty()) what = {"read", "portable", "avx", "avx2", "libebur128"};
  std::vector<unsigned char> buffer(kRead);
  for (const std::string& w : what) {
    const InstructionSet set = w == "avx2"  ? InstructionSet::kAvx2
                               : w == "avx" ? InstructionSet::kAvx
                                            : InstructionSet::kPortable;
    if (!Allows(DetectInstructionSet(), set)) continue;
    double best = HUGE_VAL;
    std::string result;
    for (int r = 0; r < rounds; ++r) {
      const auto start = std::chrono::steady_clock::now();
      if (w == "read") {
        unsigned sum = 0;
        ReadAll(in, buffer, [&](std::span<const unsigned char> bytes) { sum += bytes[0]; });
        char text[32];
        std::snprintf(text, sizeof text, "(%u)", sum);
        result = text;
      } else if (w == "libebur128") {
        result = Library(in, buffer);
      } else {
        result = Ours(in, buffer, set);
      }
      best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::printf("%-11s %8.3f s  %s\n", w.c_str(), best, result.c_str());
  }
  return 0;
}
