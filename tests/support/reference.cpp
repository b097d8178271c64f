#include "support/reference.hpp"

#include <cmath>
#include <limits>

#include "support/wav_builder.hpp"

namespace {

double Gain(double level_db) { return std::pow(10.0, level_db / 20.0); }

// IEEE rounding to float: below half an ulp past the largest float a value
// rounds to a float, from there on to infinity.
float ToFloat(double value) {
  if (std::fabs(value) >= 0x1.ffffffp127) return std::copysign(std::numeric_limits<float>::infinity(), value);
  return static_cast<float>(value);
}

struct Weights {
  double out;
  double in;
};

Weights Curve(int j, int width, int type, double level_db) {
  const double u = static_cast<double>(j) / width;
  const double a = u * 1.570796327;
  const double w_out = type == 2 ? 1.0 - u : type == 4 ? 1.0 - std::sin(a) : std::cos(a);
  double w_in = type == 1 ? std::sin(a) : 1.0 - w_out;
  if (level_db != 0.0) w_in *= Gain(level_db);
  return {w_out, w_in};
}

// Frame j mixes destination frame insert - width/2 + j with source frame
// read_start - width/2 + j; `scale` brings samples to the scale they are
// mixed on, `store` turns a mix back into a sample.
template <class Sample, class Store>
std::vector<Sample> Mix(const std::vector<Sample>& destination, const std::vector<Sample>& source,
                        const CrossfadeCase& fade, double scale, Store store) {
  const int half = fade.width / 2;
  const int channels = fade.channels;
  std::vector<Sample> out;
  for (int j = 0; j < fade.width; ++j) {
    const Weights w = Curve(j, fade.width, fade.curve, fade.level);
    for (int c = 0; c < channels; ++c) {
      const auto di = static_cast<size_t>(fade.insert - half + j) * channels + c;
      const auto si = static_cast<size_t>(fade.read_start - half + j) * channels + c;
      const double d = di < destination.size() ? destination[di] * scale : 0.0;
      const double s = si < source.size() ? source[si] * scale : 0.0;
      const double incoming = s * w.in;
      const double outgoing = d * w.out;
      out.push_back(store(incoming + outgoing));
    }
  }
  return out;
}

}  // namespace

int32_t Leveled(int32_t s, double level_db, int bits, int64_t* clipped) {
  return Clamp(static_cast<int64_t>(s * Gain(level_db)), bits, clipped);
}

float Leveled(float s, double level_db) { return ToFloat(static_cast<double>(s) * Gain(level_db)); }

std::vector<int32_t> ReferenceCrossfade(const std::vector<int32_t>& destination, const std::vector<int32_t>& source,
                                        const CrossfadeCase& c) {
  // Samples are mixed on the 24-bit scale, 16-bit ones brought back after.
  const double scale = c.bits == 16 ? 256.0 : 1.0;
  return Mix(destination, source, c, scale,
             [&](double m) { return Clamp(static_cast<int64_t>(m / scale), c.bits, c.clipped); });
}

std::vector<float> ReferenceCrossfade(const std::vector<float>& destination, const std::vector<float>& source,
                                      const CrossfadeCase& c) {
  return Mix(destination, source, c, 1.0, ToFloat);
}
