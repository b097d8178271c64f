#include "dsp/codec.hpp"

#include "common/numbers.hpp"
#include "dsp/samples.hpp"

namespace {

constexpr double k16BitScale = 0.00390625;  // 1/256, exact

}  // namespace

void DecodeSamples(std::span<const unsigned char> bytes, const AudioFormat& format, std::span<double> samples) {
  const unsigned char* at = bytes.data();
  const size_t n = samples.size();
  if (format.bits == 16) {
    for (size_t i = 0; i < n; ++i) samples[i] = 256.0 * Load16(at + 2 * i);
  } else if (format.bits == 24) {
    for (size_t i = 0; i < n; ++i) samples[i] = Load24(at + 3 * i);
  } else if (format.type == SampleType::kFloat) {
    for (size_t i = 0; i < n; ++i) samples[i] = LoadFloat(at + 4 * i);
  } else {
    for (size_t i = 0; i < n; ++i) samples[i] = Load32(at + 4 * i);
  }
}

int64_t EncodeSamples(std::span<const double> values, const AudioFormat& format, std::span<unsigned char> bytes) {
  unsigned char* at = bytes.data();
  const size_t n = values.size();
  int64_t clipped = 0;
  const SampleRange range = RangeOfBits(format.bits);
  if (format.bits == 16) {
    for (size_t i = 0; i < n; ++i)
      StoreLow<2>(at + 2 * i, ClampCounted(TruncateToInt64(values[i] * k16BitScale), range, clipped));
  } else if (format.bits == 24) {
    for (size_t i = 0; i < n; ++i) StoreLow<3>(at + 3 * i, ClampCounted(TruncateToInt64(values[i]), range, clipped));
  } else if (format.type == SampleType::kFloat) {
    for (size_t i = 0; i < n; ++i) StoreFloat(at + 4 * i, RoundToSingle(values[i]));
  } else {
    for (size_t i = 0; i < n; ++i) StoreLow<4>(at + 4 * i, ClampCounted(TruncateToInt64(values[i]), range, clipped));
  }
  return clipped;
}
