#include "dsp/loudness.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "dsp/samples.hpp"

// The measurement follows ITU-R BS.1770-4 and EBU R128 (Tech 3341, 3342):
// each channel is K-weighted, its squares summed over 100 ms steps, four steps
// make a 400 ms block (momentary loudness), thirty a 3 s window (short-term
// loudness). Integrated loudness is the mean energy of the blocks above -70
// LUFS and above 10 LU under the mean of those; the loudness range is the
// spread from the 10th to the 95th percentile of the windows above -70 LUFS
// and above 20 LU under their mean. True peak is read from the signal
// oversampled four times (twice from 88.2 kHz, not at all from 176.4 kHz).
//
// Arithmetic: samples are decoded to floats at full scale 1.0 (16 and 24 bits
// exactly); the oversampling filter runs in floats, the K-weighting filter,
// the sums and the gating in doubles. Every path does every operation in the
// same order, without fused multiply-adds, so all give the same values.

namespace {

constexpr int kFilterLength = 48;  // oversampling filter taps, over all its phases
constexpr int kHistory = 23;       // frames the filter looks back, at most
constexpr int kChunk = 1024;       // frames decoded at a time
constexpr int kBlockSteps = 4;     // 400 ms
constexpr int kWindowSteps = 30;   // 3 s
constexpr double kAbsoluteGate = -70.0;
// Filter states this small are set to 0, so that the recursion never reaches
// subnormal numbers (slow on most processors) in long silences.
constexpr double kNegligible = 1e-30;

// Float samples beyond this (a broken file) are taken as this, and those
// that are no finite number (NaN, infinities: a broken file, or overs past
// the float range) as 0, measured as the silence a player makes of them: no
// sum or filter output can then overflow or become NaN, and one infinite
// sample does not make a whole programme "loud".
constexpr float kLargestSample = 0x1p100F;

// -- K-weighting ---------------------------------------------------------------

// The two stages as BS.1770 gives them at 48 kHz (b0 b1 b2 a1 a2): a high
// shelf of about +4 dB above 1.5 kHz, then a high-pass around 38 Hz.
constexpr double kShelfAt48k[5] = {1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241,
                                   0.73248077421585};
constexpr double kHighPassAt48k[5] = {1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621};

// A stage at another rate. The 48 kHz biquad is taken back to the analogue
// biquad it came from (the bilinear transform reversed, with the frequency
// scale set so that the poles lie at |s| = 1), and that prototype is brought
// to the new rate by the bilinear transform prewarped at the poles'
// frequency: the shape of the curve around that frequency is kept at any
// rate, and 48 kHz gives the published coefficients back.
std::array<double, 5> StageAt(const double (&at48k)[5], uint32_t rate) {
  const double b0 = at48k[0], b1 = at48k[1], b2 = at48k[2], a1 = at48k[3], a2 = at48k[4];
  const double dc = 1.0 + a1 + a2;
  const double k48 = std::sqrt(dc / (1.0 - a1 + a2));  // tan of half the poles' angle at 48 kHz
  const double q = 2.0 * (1.0 - a2) * k48 / dc;        // prototype: (n2 s^2 + n1 s + n0) / (s^2 + q s + 1)
  const double n0 = (b0 + b1 + b2) / dc;
  const double n1 = 2.0 * (b0 - b2) * k48 / dc;
  const double n2 = (b0 - b1 + b2) * k48 * k48 / dc;
  // Below about 3.4 kHz the shelf's frequency would pass the Nyquist
  // frequency: it is held just under it.
  const double angle = std::min(std::atan(k48) * 48000.0 / rate, 0.49 * std::numbers::pi);
  const double k = std::tan(angle);
  const double a0 = 1.0 + q * k + k * k;
  return {(n2 + n1 * k + n0 * k * k) / a0, 2.0 * (n0 * k * k - n2) / a0, (n2 - n1 * k + n0 * k * k) / a0,
          2.0 * (k * k - 1.0) / a0, (1.0 - q * k + k * k) / a0};
}

// The filter state's rows.
enum : size_t { kIn1, kIn2, kMid1, kMid2, kOut1, kOut2 };

// Direct form I, per lane: the recursion's chain is one product and one
// difference per stage.
template <int Lanes>
void KWeightPortable(LoudnessMeter& m, const float* x, int frames) {
  const auto& f = m.filter;
  auto& s = m.filter_state;
  for (int n = 0; n < frames; ++n) {
    for (int c = 0; c < Lanes; ++c) {
      const double in = x[n * Lanes + c];
      double mid = f[0] * in + f[1] * s[kIn1][c] + f[2] * s[kIn2][c] - f[4] * s[kMid2][c];
      mid = mid - f[3] * s[kMid1][c];
      double out = f[5] * mid + f[6] * s[kMid1][c] + f[7] * s[kMid2][c] - f[9] * s[kOut2][c];
      out = out - f[8] * s[kOut1][c];
      s[kIn2][c] = s[kIn1][c];
      s[kIn1][c] = in;
      s[kMid2][c] = s[kMid1][c];
      s[kMid1][c] = mid;
      s[kOut2][c] = s[kOut1][c];
      s[kOut1][c] = out;
      m.step_squares[c] += out * out;
    }
  }
}

// -- True peak -------------------------------------------------------------------

// The zeroth-order modified Bessel function, for the Kaiser window.
double BesselI0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 40; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
  }
  return sum;
}

// The oversampling filter for `factor` times the rate: a sinc cut off at the
// original Nyquist frequency under a Kaiser window, 48 taps over its phases
// (12 a phase at 4 times, 24 at 2 times). Its length is odd, so phase 0 is
// the samples themselves and only the phases between them are computed.
// Each phase sums to 1, so that a steady level reads the same between the
// samples as on them.
//
// The filter is symmetric, so the phases come in mirrored pairs, and the
// middle phase of an even factor is its own mirror. With n taps a phase, x_0
// the newest sample and x_{n-1} the oldest, s_k = x_k + x_{n-1-k} and
// d_k = x_k - x_{n-1-k} (k < n/2), a mirrored pair p, q = Σ h_k x_k,
// Σ h_{n-1-k} x_k has p + q = Σ (h_k + h_{n-1-k}) s_k and
// p - q = Σ (h_k - h_{n-1-k}) d_k, and max(|p|, |q|) = (|p + q| + |p - q|) / 2:
// the pair costs two sums of n/2 products, and the middle phase one. The
// taps kept are, at 4 times, (h_k + h_{n-1-k}) / 2, then (h_k - h_{n-1-k}) / 2
// of phase 1, then the first half of phase 2; at 2 times the first half of
// phase 1.
int HalfPhase(int factor) { return factor == 1 ? 0 : kFilterLength / factor / 2; }

std::vector<float> OversamplingTaps(int factor) {
  if (factor == 1) return {};
  constexpr double kBeta = 6.0;
  const int n = kFilterLength / factor;
  const double middle = kFilterLength / 2.0;
  const auto prototype = [&](int i) {
    const double t = (i - middle) / factor;
    const double sinc = t == 0.0 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
    const double r = (i - middle) / middle;
    return sinc * BesselI0(kBeta * std::sqrt(std::max(0.0, 1.0 - r * r))) / BesselI0(kBeta);
  };
  const auto phase = [&](int p) {
    std::vector<double> h;
    double sum = 0.0;
    for (int k = 0; k < n; ++k) sum += h.emplace_back(prototype(p + factor * k));
    for (double& v : h) v /= sum;
    return h;
  };
  std::vector<float> taps;
  if (factor == 4) {
    const auto h = phase(1);
    for (int k = 0; k < n / 2; ++k) taps.push_back(static_cast<float>((h[k] + h[n - 1 - k]) / 2.0));
    for (int k = 0; k < n / 2; ++k) taps.push_back(static_cast<float>((h[k] - h[n - 1 - k]) / 2.0));
  }
  const auto h = phase(factor / 2);
  for (int k = 0; k < n / 2; ++k) taps.push_back(static_cast<float>(h[static_cast<size_t>(k)]));
  return taps;
}

// The largest magnitude of `count` samples (interleaved at `stride`, with
// kHistory frames before them) and of the oversampled values between them,
// with the sums in the order written above.
void PeakPortable(const float* x, size_t count, size_t stride, const float* taps, int factor, float& true_peak,
                  float& sample_peak) {
  // A few hundred samples at a time, each tap over all of them: loops the
  // compiler can vectorise.
  constexpr size_t kRun = 256;
  float middle[kRun], sum[kRun], difference[kRun];
  float tp = true_peak, sp = sample_peak;
  const int half = HalfPhase(factor);
  const float* mirrored = taps + (factor == 4 ? 2 * half : 0);
  for (size_t done = 0; done < count; done += kRun) {
    const size_t n = std::min(kRun, count - done);
    const float* at = x + done;
    for (size_t i = 0; i < n; ++i) sp = std::max(sp, std::fabs(at[i]));
    if (factor == 1) continue;
    for (int k = 0; k < half; ++k) {
      const float* newer = at - static_cast<size_t>(k) * stride;
      const float* older = at - static_cast<size_t>(2 * half - 1 - k) * stride;
      for (size_t i = 0; i < n; ++i) {
        const float s = mirrored[k] * (newer[i] + older[i]);
        middle[i] = k == 0 ? s : middle[i] + s;
      }
      if (factor != 4) continue;
      for (size_t i = 0; i < n; ++i) {
        const float s = taps[k] * (newer[i] + older[i]);
        const float d = taps[half + k] * (newer[i] - older[i]);
        sum[i] = k == 0 ? s : sum[i] + s;
        difference[i] = k == 0 ? d : difference[i] + d;
      }
    }
    for (size_t i = 0; i < n; ++i) tp = std::max(tp, std::fabs(middle[i]));
    if (factor == 4) {
      for (size_t i = 0; i < n; ++i) tp = std::max(tp, std::fabs(sum[i]) + std::fabs(difference[i]));
    }
  }
  true_peak = tp;
  sample_peak = sp;
}

// -- Decoding --------------------------------------------------------------------

constexpr float k16BitScale = 0x1p-15F;
constexpr float k24BitScale = 0x1p-23F;
constexpr float k32BitScale = 0x1p-31F;

float SampleAt(const unsigned char* at, const AudioFormat& f) {
  if (f.bits == 16) return static_cast<float>(Load16(at)) * k16BitScale;
  if (f.bits == 24) return static_cast<float>(Load24(at)) * k24BitScale;
  if (f.type == SampleType::kInteger) return static_cast<float>(Load32(at)) * k32BitScale;
  const float v = LoadFloat(at);
  // v - v is 0 for every finite v, NaN for NaN and the infinities.
  return v - v != 0.0F ? 0.0F : std::clamp(v, -kLargestSample, kLargestSample);
}

// `frames` frames into `out`, interleaved at `lanes` with silent lanes after
// the channels.
void DecodePortable(const unsigned char* at, int frames, const AudioFormat& f, int lanes, float* out) {
  const int width = BytesPerSample(f);
  const auto n = static_cast<size_t>(frames);
  if (f.channels == lanes) {
    for (size_t i = 0; i < n * static_cast<size_t>(lanes); ++i) out[i] = SampleAt(at + i * width, f);
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    for (int c = 0; c < lanes; ++c) {
      out[i * lanes + c] = c < f.channels ? SampleAt(at + (i * f.channels + c) * width, f) : 0.0F;
    }
  }
}

#if defined(__x86_64__) || defined(__i386__)
// Eight lanes a step; the same products and sums as the portable loop.
__attribute__((target("avx"))) void PeakWide(const float* x, size_t count, size_t stride, const float* taps, int factor,
                                             float& true_peak, float& sample_peak) {
  const __m256 sign = _mm256_set1_ps(-0.0F);
  const int half = HalfPhase(factor);
  const float* mirrored = taps + (factor == 4 ? 2 * half : 0);
  __m256 tp = _mm256_setzero_ps();
  __m256 sp = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 newest = _mm256_loadu_ps(x + i);
    sp = _mm256_max_ps(sp, _mm256_andnot_ps(sign, newest));
    if (factor == 1) continue;
    __m256 middle = _mm256_setzero_ps(), sum = middle, difference = middle;
    for (int k = 0; k < half; ++k) {
      const __m256 newer = _mm256_loadu_ps(x + i - static_cast<size_t>(k) * stride);
      const __m256 older = _mm256_loadu_ps(x + i - static_cast<size_t>(2 * half - 1 - k) * stride);
      const __m256 both = _mm256_add_ps(newer, older);
      const __m256 s = _mm256_mul_ps(_mm256_set1_ps(mirrored[k]), both);
      middle = k == 0 ? s : _mm256_add_ps(middle, s);
      if (factor != 4) continue;
      const __m256 e = _mm256_mul_ps(_mm256_set1_ps(taps[k]), both);
      const __m256 d = _mm256_mul_ps(_mm256_set1_ps(taps[half + k]), _mm256_sub_ps(newer, older));
      sum = k == 0 ? e : _mm256_add_ps(sum, e);
      difference = k == 0 ? d : _mm256_add_ps(difference, d);
    }
    tp = _mm256_max_ps(tp, _mm256_andnot_ps(sign, middle));
    if (factor == 4) {
      tp = _mm256_max_ps(tp, _mm256_add_ps(_mm256_andnot_ps(sign, sum), _mm256_andnot_ps(sign, difference)));
    }
  }
  alignas(32) float lanes[2][8];
  _mm256_store_ps(lanes[0], tp);
  _mm256_store_ps(lanes[1], sp);
  for (int l = 0; l < 8; ++l) {
    true_peak = std::max(true_peak, lanes[0][l]);
    sample_peak = std::max(sample_peak, lanes[1][l]);
  }
  PeakPortable(x + i, count - i, stride, taps, factor, true_peak, sample_peak);
}

// Groups of four lanes side by side (stereo fills half a group).
template <int Lanes>
__attribute__((target("avx"))) void KWeightWide(LoudnessMeter& m, const float* x, int frames) {
  constexpr int kGroups = Lanes < 4 ? 1 : Lanes / 4;
  const auto& f = m.filter;
  auto& s = m.filter_state;
  __m256d in1[kGroups], in2[kGroups], mid1[kGroups], mid2[kGroups], out1[kGroups], out2[kGroups], squares[kGroups];
  alignas(32) double lanes[7][kGroups * 4] = {};
  for (int row = 0; row < 6; ++row) std::copy_n(s[static_cast<size_t>(row)].begin(), Lanes, lanes[row]);
  std::copy_n(m.step_squares.begin(), Lanes, lanes[6]);
  for (int g = 0; g < kGroups; ++g) {
    in1[g] = _mm256_load_pd(lanes[kIn1] + 4 * g);
    in2[g] = _mm256_load_pd(lanes[kIn2] + 4 * g);
    mid1[g] = _mm256_load_pd(lanes[kMid1] + 4 * g);
    mid2[g] = _mm256_load_pd(lanes[kMid2] + 4 * g);
    out1[g] = _mm256_load_pd(lanes[kOut1] + 4 * g);
    out2[g] = _mm256_load_pd(lanes[kOut2] + 4 * g);
    squares[g] = _mm256_load_pd(lanes[6] + 4 * g);
  }
  __m256d c[10];
  for (int i = 0; i < 10; ++i) c[i] = _mm256_set1_pd(f[static_cast<size_t>(i)]);
  for (int n = 0; n < frames; ++n) {
    for (int g = 0; g < kGroups; ++g) {
      __m256d in;
      if constexpr (Lanes == 2) {
        in = _mm256_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + 2 * n))));
      } else {
        in = _mm256_cvtps_pd(_mm_loadu_ps(x + n * Lanes + 4 * g));
      }
      __m256d mid = _mm256_sub_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(c[0], in), _mm256_mul_pd(c[1], in1[g])),
                                                _mm256_mul_pd(c[2], in2[g])),
                                  _mm256_mul_pd(c[4], mid2[g]));
      mid = _mm256_sub_pd(mid, _mm256_mul_pd(c[3], mid1[g]));
      __m256d out = _mm256_sub_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(c[5], mid), _mm256_mul_pd(c[6], mid1[g])),
                                                _mm256_mul_pd(c[7], mid2[g])),
                                  _mm256_mul_pd(c[9], out2[g]));
      out = _mm256_sub_pd(out, _mm256_mul_pd(c[8], out1[g]));
      in2[g] = in1[g];
      in1[g] = in;
      mid2[g] = mid1[g];
      mid1[g] = mid;
      out2[g] = out1[g];
      out1[g] = out;
      squares[g] = _mm256_add_pd(squares[g], _mm256_mul_pd(out, out));
    }
  }
  for (int g = 0; g < kGroups; ++g) {
    _mm256_store_pd(lanes[kIn1] + 4 * g, in1[g]);
    _mm256_store_pd(lanes[kIn2] + 4 * g, in2[g]);
    _mm256_store_pd(lanes[kMid1] + 4 * g, mid1[g]);
    _mm256_store_pd(lanes[kMid2] + 4 * g, mid2[g]);
    _mm256_store_pd(lanes[kOut1] + 4 * g, out1[g]);
    _mm256_store_pd(lanes[kOut2] + 4 * g, out2[g]);
    _mm256_store_pd(lanes[6] + 4 * g, squares[g]);
  }
  for (int row = 0; row < 6; ++row) std::copy_n(lanes[row], Lanes, s[static_cast<size_t>(row)].begin());
  std::copy_n(lanes[6], Lanes, m.step_squares.begin());
}

// 16- and 24-bit samples eight at a time, where every lane is a channel.
template <int Width>
__attribute__((target("avx2"))) void DecodeWide(const unsigned char* at, size_t samples, float* out) {
  const __m256 scale = _mm256_set1_ps(Width == 2 ? k16BitScale : k24BitScale);
  size_t i = 0;
  // A 24-bit load reads 4 bytes past its 24: a step stops while they lie in the piece.
  for (; (i + 8) * Width + (Width == 3 ? 4 : 0) <= samples * Width; i += 8) {
    _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_cvtepi32_ps(LoadEightSamples<Width>(at + i * Width)), scale));
  }
  for (; i < samples; ++i) {
    out[i] = static_cast<float>(Width == 2 ? Load16(at + i * Width) : Load24(at + i * Width)) *
             (Width == 2 ? k16BitScale : k24BitScale);
  }
}
#else
void PeakWide(const float* x, size_t count, size_t stride, const float* taps, int factor, float& true_peak,
              float& sample_peak) {
  PeakPortable(x, count, stride, taps, factor, true_peak, sample_peak);
}
template <int Lanes>
void KWeightWide(LoudnessMeter& m, const float* x, int frames) {
  KWeightPortable<Lanes>(m, x, frames);
}
template <int Width>
void DecodeWide(const unsigned char* at, size_t samples, float* out) {
  DecodePortable(at, static_cast<int>(samples), AudioFormat{.bits = Width * 8, .channels = 1}, 1, out);
}
#endif

void Decode(const LoudnessMeter& m, const unsigned char* at, int frames, float* out) {
  const AudioFormat& f = m.format;
  if (Allows(m.instructions, InstructionSet::kAvx2) && f.channels == m.lanes && f.bits != 32) {
    const auto samples = static_cast<size_t>(frames) * static_cast<size_t>(f.channels);
    if (f.bits == 16) return DecodeWide<2>(at, samples, out);
    return DecodeWide<3>(at, samples, out);
  }
  DecodePortable(at, frames, f, m.lanes, out);
}

void KWeight(LoudnessMeter& m, const float* x, int frames) {
  const bool wide = Allows(m.instructions, InstructionSet::kAvx);
  switch (m.lanes) {
    case 1:
      return KWeightPortable<1>(m, x, frames);
    case 2:
      return wide ? KWeightWide<2>(m, x, frames) : KWeightPortable<2>(m, x, frames);
    case 4:
      return wide ? KWeightWide<4>(m, x, frames) : KWeightPortable<4>(m, x, frames);
    default:
      return wide ? KWeightWide<8>(m, x, frames) : KWeightPortable<8>(m, x, frames);
  }
}

// -- Steps, blocks and gates -----------------------------------------------------

double LoudnessOf(double energy) { return -0.691 + 10.0 * std::log10(energy); }

int64_t StepBoundary(const AudioFormat& f, int64_t step) { return step * f.rate / 10; }

void EndStep(LoudnessMeter& m) {
  double energy = 0.0;
  for (int c = 0; c < m.format.channels; ++c) {
    energy += m.weights[static_cast<size_t>(c)] * m.step_squares[static_cast<size_t>(c)];
    m.step_squares[static_cast<size_t>(c)] = 0.0;
  }
  m.step_energy.push_back(energy);
  m.step_end = StepBoundary(m.format, static_cast<int64_t>(m.step_energy.size()) + 1);
}

// The mean energy of `count` steps from `first`, or nothing over no frames.
std::optional<double> EnergyOf(const LoudnessMeter& m, size_t first, size_t count) {
  double energy = 0.0;
  for (size_t k = first; k < first + count; ++k) energy += m.step_energy[k];
  const int64_t frames =
      StepBoundary(m.format, static_cast<int64_t>(first + count)) - StepBoundary(m.format, static_cast<int64_t>(first));
  if (frames == 0) return std::nullopt;
  return energy / static_cast<double>(frames);
}

// The loudness of every run of `steps` steps, 100 ms apart.
std::vector<double> Loudnesses(const LoudnessMeter& m, size_t steps) {
  std::vector<double> out;
  for (size_t first = 0; first + steps <= m.step_energy.size(); ++first) {
    if (const auto energy = EnergyOf(m, first, steps)) out.push_back(LoudnessOf(*energy));
  }
  return out;
}

// Values above the absolute gate and above the gate `relative` LU under
// their power mean.
std::vector<double> Gated(const std::vector<double>& loudness, double relative) {
  std::vector<double> out;
  double power = 0.0;
  for (const double l : loudness) {
    if (l <= kAbsoluteGate) continue;
    out.push_back(l);
    power += std::pow(10.0, l / 10.0);
  }
  if (out.empty()) return out;
  const double gate = 10.0 * std::log10(power / static_cast<double>(out.size())) - relative;
  std::erase_if(out, [&](double l) { return l <= gate; });
  return out;
}

// `frames` whole frames (at most kChunk).
void MeasureFrames(LoudnessMeter& m, const unsigned char* at, int frames) {
  const auto lanes = static_cast<size_t>(m.lanes);
  float* x = m.samples.data() + kHistory * lanes;
  Decode(m, at, frames, x);
  const size_t count = static_cast<size_t>(frames) * lanes;
  if (Allows(m.instructions, InstructionSet::kAvx)) {
    PeakWide(x, count, lanes, m.taps.data(), m.factor, m.true_peak, m.sample_peak);
  } else {
    PeakPortable(x, count, lanes, m.taps.data(), m.factor, m.true_peak, m.sample_peak);
  }
  for (int done = 0; done < frames;) {
    const auto run = static_cast<int>(std::min<int64_t>(frames - done, m.step_end - m.frames));
    KWeight(m, x + static_cast<size_t>(done) * lanes, run);
    done += run;
    m.frames += run;
    while (m.frames == m.step_end) EndStep(m);
  }
  for (auto& row : m.filter_state) {
    for (double& v : row) v = std::fabs(v) < kNegligible ? 0.0 : v;
  }
  std::memmove(m.samples.data(), m.samples.data() + count, kHistory * lanes * sizeof(float));
}

}  // namespace

std::array<double, kMaxChannels> LoudnessWeights(int channels, std::optional<uint32_t> channel_mask) {
  std::array<double, kMaxChannels> weights{};
  const int n = std::clamp(channels, 0, kMaxChannels);
  for (int c = 0; c < n; ++c) weights[static_cast<size_t>(c)] = 1.0;
  constexpr double kSurround = 1.41;
  if (!channel_mask) {
    if (n == 6) {
      weights[3] = 0.0;
      weights[4] = weights[5] = kSurround;
    }
    return weights;
  }
  // Channels take the mask's positions in the order of its bits; channels
  // beyond its bits have none and count 1.0. Positions, lowest bit first:
  // front left, right, centre, LFE, back left, back right, front left and
  // right of centre, back centre, side left, side right, then the top ones.
  constexpr uint32_t kLfe = 1U << 3, kBackLeft = 1U << 4, kBackRight = 1U << 5, kSideLeft = 1U << 9,
                     kSideRight = 1U << 10;
  // BS.1770 gives 1.41 to positions 60 to 120 degrees off centre at ear
  // height. Side positions lie at 90. Back left and right are the
  // surrounds of a 5.1 file (110 degrees) unless the file also has side
  // positions (7.1, where the back pair lies at 135 to 150 degrees, 1.0).
  // Back centre (180) and every top position count 1.0.
  const bool has_sides = (*channel_mask & (kSideLeft | kSideRight)) != 0;
  int c = 0;
  for (int bit = 0; bit < 32 && c < n; ++bit) {
    const uint32_t position = 1U << bit;
    if ((*channel_mask & position) == 0) continue;
    double& w = weights[static_cast<size_t>(c++)];
    if (position == kLfe) w = 0.0;
    if (position == kSideLeft || position == kSideRight) w = kSurround;
    if ((position == kBackLeft || position == kBackRight) && !has_sides) w = kSurround;
  }
  return weights;
}

LoudnessMeter StartLoudness(const AudioFormat& format, std::span<const double> weights, InstructionSet instructions) {
  LoudnessMeter m;
  m.format = format;
  m.supported = format.channels >= 1 && format.channels <= kMaxChannels && format.rate > 0 &&
                (format.bits == 16 || format.bits == 24 || format.bits == 32) &&
                (format.type == SampleType::kInteger || format.bits == 32);
  if (!m.supported) return m;
  m.instructions = instructions;
  m.lanes = format.channels == 1 ? 1 : format.channels == 2 ? 2 : format.channels <= 4 ? 4 : 8;
  for (size_t c = 0; c < weights.size() && c < static_cast<size_t>(format.channels); ++c) m.weights[c] = weights[c];
  const auto shelf = StageAt(kShelfAt48k, format.rate);
  const auto high_pass = StageAt(kHighPassAt48k, format.rate);
  std::copy(shelf.begin(), shelf.end(), m.filter.begin());
  std::copy(high_pass.begin(), high_pass.end(), m.filter.begin() + 5);
  m.factor = format.rate < 88200 ? 4 : format.rate < 176400 ? 2 : 1;
  m.taps = OversamplingTaps(m.factor);
  m.samples.assign(static_cast<size_t>((kHistory + kChunk) * m.lanes), 0.0F);
  m.step_end = StepBoundary(format, 1);
  while (m.step_end == 0) EndStep(m);  // rates under 10 Hz have empty steps
  return m;
}

void FeedLoudness(LoudnessMeter& m, std::span<const unsigned char> bytes) {
  if (!m.supported) return;
  const auto frame_bytes = static_cast<size_t>(FrameBytes(m.format));
  if (m.partial_bytes > 0) {
    const size_t taken = std::min(frame_bytes - static_cast<size_t>(m.partial_bytes), bytes.size());
    std::memcpy(m.partial.data() + m.partial_bytes, bytes.data(), taken);
    m.partial_bytes += static_cast<int>(taken);
    bytes = bytes.subspan(taken);
    if (static_cast<size_t>(m.partial_bytes) < frame_bytes) return;
    MeasureFrames(m, m.partial.data(), 1);
    m.partial_bytes = 0;
  }
  while (bytes.size() >= frame_bytes) {
    const auto frames = static_cast<int>(std::min<size_t>(bytes.size() / frame_bytes, kChunk));
    MeasureFrames(m, bytes.data(), frames);
    bytes = bytes.subspan(static_cast<size_t>(frames) * frame_bytes);
  }
  std::memcpy(m.partial.data(), bytes.data(), bytes.size());
  m.partial_bytes = static_cast<int>(bytes.size());
}

LoudnessResult FinishLoudness(const LoudnessMeter& m) {
  LoudnessResult result;
  result.sample_peak = 20.0 * std::log10(static_cast<double>(m.sample_peak));
  result.true_peak = 20.0 * std::log10(static_cast<double>(std::max(m.true_peak, m.sample_peak)));

  const std::vector<double> blocks = Loudnesses(m, kBlockSteps);
  if (!blocks.empty()) result.max_momentary = *std::max_element(blocks.begin(), blocks.end());
  const std::vector<double> gated_blocks = Gated(blocks, 10.0);
  if (!gated_blocks.empty()) {
    double power = 0.0;
    for (const double l : gated_blocks) power += std::pow(10.0, l / 10.0);
    result.integrated = 10.0 * std::log10(power / static_cast<double>(gated_blocks.size()));
  }

  const std::vector<double> windows = Loudnesses(m, kWindowSteps);
  if (!windows.empty()) result.max_short_term = *std::max_element(windows.begin(), windows.end());
  std::vector<double> gated_windows = Gated(windows, 20.0);
  if (!gated_windows.empty()) {
    // The values at ranks round((n - 1) p) of the n windows in order.
    const auto percentile = [&](double p) {
      const auto rank = static_cast<size_t>(std::llround(static_cast<double>(gated_windows.size() - 1) * p));
      std::nth_element(gated_windows.begin(), gated_windows.begin() + static_cast<std::ptrdiff_t>(rank),
                       gated_windows.end());
      return gated_windows[rank];
    };
    const double high = percentile(0.95);
    result.range = high - percentile(0.10);
  }
  return result;
}

std::vector<float> ShortTermCurve(const LoudnessMeter& m, int every) {
  std::vector<float> curve;
  if (every <= 0) return curve;
  for (size_t end = static_cast<size_t>(every); end <= m.step_energy.size(); end += static_cast<size_t>(every)) {
    const size_t steps = std::min<size_t>(end, kWindowSteps);
    const auto energy = EnergyOf(m, end - steps, steps);
    curve.push_back(energy ? static_cast<float>(LoudnessOf(*energy)) : -std::numeric_limits<float>::infinity());
  }
  return curve;
}

LoudnessResult MeasureLoudness(std::span<const unsigned char> bytes, const AudioFormat& format,
                               std::span<const double> weights, InstructionSet instructions) {
  LoudnessMeter meter = StartLoudness(format, weights, instructions);
  FeedLoudness(meter, bytes);
  return FinishLoudness(meter);
}
