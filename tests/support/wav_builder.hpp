#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

// Test-side WAV construction, written independently of the program's own
// header and codec code so the two can check each other.
using Bytes = std::vector<unsigned char>;

// Little-endian fields.
void Append16(Bytes& out, uint32_t value);
void Append32(Bytes& out, uint32_t value);
void AppendText(Bytes& out, const std::string& text);

// The low bytes of each sample, lowest first (2, 3 or 4 bytes a sample).
Bytes PackSamples(int bits, std::span<const int32_t> samples);

// 32-bit floats, little-endian.
Bytes PackFloats(std::span<const float> samples);
std::vector<float> UnpackFloats(std::span<const unsigned char> bytes);

// The bit patterns of floats, every NaN as one pattern: equal when the floats
// are the same to the bit, signed zeros and subnormals included.
std::vector<uint32_t> FloatBits(std::span<const float> samples);

// A canonical 44-byte-header file; samples are interleaved, in sample units.
Bytes CanonicalWav(uint32_t rate, int bits, int channels, std::span<const int32_t> samples);

// The same for 32-bit floats (format code 3).
Bytes CanonicalFloatWav(uint32_t rate, int channels, std::span<const float> samples);

// A chunk: its tag, its body's size and the body (without a pad byte).
Bytes Chunk(const std::string& tag, const Bytes& body);

// "RIFF", a size of 0 (nothing reads it), "WAVE" and the chunks.
Bytes Riff(std::initializer_list<Bytes> chunks);

// A 16-byte "fmt " chunk (tag, size and body); format code 1 is integers, 3 floats.
Bytes FormatChunk(uint32_t rate, int bits, int channels, uint32_t code = 1);

// n frames × channels of distinct values: start, start+step, ... wrapped into
// the sample range of `bits`.
std::vector<int32_t> Ramp(int frames, int channels, int bits, int32_t start = 1, int32_t step = 1);

// v clipped to the range of a sample of `bits` bits, counting one in
// `clipped` when it was beyond.
int32_t Clamp(int64_t v, int bits, int64_t* clipped = nullptr);

// Samples of a file's data area (everything after a 44-byte header).
std::vector<int32_t> UnpackSamples(int bits, std::span<const unsigned char> bytes);

void WriteFile(const std::filesystem::path& path, std::span<const unsigned char> bytes);
void WriteText(const std::filesystem::path& path, const std::string& text);
Bytes ReadFile(const std::filesystem::path& path);
std::string ReadText(const std::filesystem::path& path);
std::string Hex(std::span<const unsigned char> bytes);
