#include "support/wav_builder.hpp"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

void Append16(Bytes& out, uint32_t value) {
  out.push_back(static_cast<unsigned char>(value & 0xFF));
  out.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
}

void Append32(Bytes& out, uint32_t value) {
  Append16(out, value & 0xFFFF);
  Append16(out, value >> 16);
}

void AppendText(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

Bytes PackSamples(int bits, std::span<const int32_t> samples) {
  Bytes out;
  for (int32_t s : samples) {
    auto u = static_cast<uint32_t>(s);
    for (int shift = 0; shift < bits; shift += 8) out.push_back(static_cast<unsigned char>((u >> shift) & 0xFF));
  }
  return out;
}

Bytes PackFloats(std::span<const float> samples) {
  Bytes out(samples.size() * 4);
  if (!samples.empty()) std::memcpy(out.data(), samples.data(), out.size());
  return out;
}

std::vector<float> UnpackFloats(std::span<const unsigned char> bytes) {
  std::vector<float> out(bytes.size() / 4);
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

std::vector<uint32_t> FloatBits(std::span<const float> samples) {
  std::vector<uint32_t> out;
  for (const float f : samples) out.push_back(std::isnan(f) ? 0x7FC00000 : std::bit_cast<uint32_t>(f));
  return out;
}

Bytes Chunk(const std::string& tag, const Bytes& body) {
  Bytes out;
  AppendText(out, tag);
  Append32(out, static_cast<uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Riff(std::initializer_list<Bytes> chunks) {
  Bytes out;
  AppendText(out, "RIFF");
  Append32(out, 0);
  AppendText(out, "WAVE");
  for (const Bytes& c : chunks) out.insert(out.end(), c.begin(), c.end());
  return out;
}

Bytes FormatChunk(uint32_t rate, int bits, int channels, uint32_t code) {
  Bytes out;
  AppendText(out, "fmt ");
  Append32(out, 16);
  Append16(out, code);
  Append16(out, static_cast<uint32_t>(channels));
  Append32(out, rate);
  Append32(out, rate * static_cast<uint32_t>(bits / 8 * channels));
  Append16(out, static_cast<uint32_t>(bits / 8 * channels));
  Append16(out, static_cast<uint32_t>(bits));
  return out;
}

namespace {

Bytes Canonical(uint32_t rate, int bits, int channels, uint32_t code, const Bytes& data) {
  Bytes out;
  AppendText(out, "RIFF");
  Append32(out, static_cast<uint32_t>(data.size() + 36));
  AppendText(out, "WAVE");
  const Bytes format = FormatChunk(rate, bits, channels, code);
  out.insert(out.end(), format.begin(), format.end());
  AppendText(out, "data");
  Append32(out, static_cast<uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace

Bytes CanonicalWav(uint32_t rate, int bits, int channels, std::span<const int32_t> samples) {
  return Canonical(rate, bits, channels, 1, PackSamples(bits, samples));
}

Bytes CanonicalFloatWav(uint32_t rate, int channels, std::span<const float> samples) {
  return Canonical(rate, 32, channels, 3, PackFloats(samples));
}

std::vector<int32_t> Ramp(int frames, int channels, int bits, int32_t start, int32_t step) {
  const int64_t span = int64_t{1} << bits;
  const int64_t low = -span / 2;
  std::vector<int32_t> out;
  out.reserve(static_cast<size_t>(frames) * channels);
  int64_t value = start;
  for (int i = 0; i < frames * channels; ++i) {
    int64_t wrapped = ((value - low) % span + span) % span + low;
    out.push_back(static_cast<int32_t>(wrapped));
    value += step;
  }
  return out;
}

int32_t Clamp(int64_t v, int bits, int64_t* clipped) {
  const int64_t high = (int64_t{1} << (bits - 1)) - 1;
  const int64_t low = -high - 1;
  if ((v > high || v < low) && clipped != nullptr) ++*clipped;
  return static_cast<int32_t>(v > high ? high : v < low ? low : v);
}

std::vector<int32_t> UnpackSamples(int bits, std::span<const unsigned char> bytes) {
  const auto width = static_cast<size_t>(bits / 8);
  std::vector<int32_t> out;
  for (size_t i = 0; i + width <= bytes.size(); i += width) {
    uint32_t u = 0;
    for (size_t b = 0; b < width; ++b) u |= uint32_t{bytes[i + b]} << (8 * b);
    const int shift = 32 - bits;
    out.push_back(static_cast<int32_t>(u << shift) >> shift);
  }
  return out;
}

void WriteFile(const std::filesystem::path& path, std::span<const unsigned char> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
  WriteFile(path, std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::filesystem::path& path) {
  const Bytes bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

std::string Hex(std::span<const unsigned char> bytes) {
  std::string out;
  char digits[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    if (i != 0) out += ' ';
    out += digits;
  }
  return out;
}
