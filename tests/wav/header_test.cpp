#include "wav/header.hpp"

#include <gtest/gtest.h>

#include "support/in_process.hpp"
#include "support/run_program.hpp"
#include "support/wav_builder.hpp"

namespace {

TEST(Header, CdStereoThousandFrames) {
  const auto h = HeaderBytes(AudioFormat{.rate = 44100, .bits = 16, .channels = 2}, 1000);
  EXPECT_EQ(Hex(h),
            "52 49 46 46 C4 0F 00 00 57 41 56 45 66 6D 74 20 10 00 00 00 01 00 02 00 44 AC 00 00 10 B1 02 00 04 00 "
            "10 00 64 61 74 61 A0 0F 00 00");
}

TEST(Header, EmptyDataAnd24BitMono) {
  const auto empty = HeaderBytes(AudioFormat{.rate = 44100, .bits = 16, .channels = 2}, 0);
  EXPECT_EQ(Hex(std::span(empty).subspan(4, 4)), "24 00 00 00");   // RIFF size 36
  EXPECT_EQ(Hex(std::span(empty).subspan(40, 4)), "00 00 00 00");  // data size 0
  const auto mono = HeaderBytes(AudioFormat{.rate = 48000, .bits = 24, .channels = 1}, 10);
  EXPECT_EQ(Hex(std::span(mono).subspan(28, 4)), "80 32 02 00");  // byte rate 144000
  EXPECT_EQ(Hex(std::span(mono).subspan(32, 2)), "03 00");        // block align 3
  EXPECT_EQ(Hex(std::span(mono).subspan(34, 2)), "18 00");
  EXPECT_EQ(Hex(std::span(mono).subspan(40, 4)), "1E 00 00 00");
  // The test-side builder agrees field by field.
  const auto built = CanonicalWav(48000, 24, 1, std::vector<int32_t>(10, 0));
  EXPECT_EQ(Hex(mono), Hex(std::span(built).first(44)));
}

TEST(Header, TruncatesAnExistingFileToTheHeader) {
  TempDir dir;
  const auto path = dir / "x.wav";
  WriteFile(path, Bytes(5000, 0x55));
  WriteHeader(path.c_str(), AudioFormat{.rate = 44100, .bits = 16, .channels = 2}, 1000);
  EXPECT_EQ(Hex(ReadFile(path)), Hex(HeaderBytes(AudioFormat{.rate = 44100, .bits = 16, .channels = 2}, 1000)));
}

TEST(Header, AFileThatCannotBeCreatedIsSaidSo) {
  TempDir dir;
  const auto path = dir / "missing" / "x.wav";
  EXPECT_FALSE(WriteHeader(path.c_str(), AudioFormat{.rate = 44100, .bits = 16, .channels = 2}, 1));
}

// Past 2,147,483,611 bytes of samples the destination's header is RF64; up to
// there it is the 44-byte header, byte for byte.
TEST(Header, DestinationsPast2GigabytesGetAnRf64Header) {
  const AudioFormat mono16{.rate = 44100, .bits = 16, .channels = 1};
  const int64_t longest = 2147483611 / 2;  // 2,147,483,610 bytes
  const auto fits = DestinationHeader({.format = mono16, .frames = longest});
  const auto canonical = HeaderBytes(mono16, longest);
  EXPECT_EQ(Hex(fits), Hex(canonical));
  EXPECT_EQ(Hex(std::span(fits).subspan(40, 4)), "DA FF FF 7F");

  const auto rf64 = DestinationHeader({.format = mono16, .frames = longest + 1});
  ASSERT_EQ(rf64.size(), 80u);
  EXPECT_EQ(Hex(std::span(rf64).first(20)), "52 46 36 34 FF FF FF FF 57 41 56 45 64 73 36 34 1C 00 00 00");
  EXPECT_EQ(Hex(std::span(rf64).subspan(20, 8)), "24 00 00 80 00 00 00 00");  // RIFF size: data + 72
  EXPECT_EQ(Hex(std::span(rf64).subspan(28, 8)), "DC FF FF 7F 00 00 00 00");  // data size
  EXPECT_EQ(Hex(std::span(rf64).subspan(36, 8)), "EE FF FF 3F 00 00 00 00");  // frames
  EXPECT_EQ(Hex(std::span(rf64).subspan(44, 4)), "00 00 00 00");              // no table
  EXPECT_EQ(Hex(std::span(rf64).subspan(48, 24)), Hex(std::span(canonical).subspan(12, 24)));
  EXPECT_EQ(Hex(std::span(rf64).subspan(72, 8)), "64 61 74 61 FF FF FF FF");

  // The largest of all: 2^31 - 1 frames of 8 channels of floats, format code 3.
  const AudioFormat poly{.rate = 96000, .bits = 32, .channels = 8, .type = SampleType::kFloat};
  const auto largest = DestinationHeader({.format = poly, .frames = 2147483647});
  EXPECT_EQ(Hex(std::span(largest).subspan(28, 8)), "E0 FF FF FF 0F 00 00 00");
  EXPECT_EQ(Hex(std::span(largest).subspan(56, 2)), "03 00");
}

// Chunks after the samples (markers) count in the RIFF size with the pad byte
// of an odd data chunk, and in the switch to RF64.
TEST(Header, ChunksAfterTheSamplesCountInTheSizes) {
  const AudioFormat mono24{.rate = 48000, .bits = 24, .channels = 1};
  const std::vector<unsigned char> chunks(100, 0x55);
  const DestinationLayout odd{.format = mono24, .frames = 3, .after_data = chunks};
  const auto header = DestinationHeader(odd);
  ASSERT_EQ(header.size(), 44u);
  EXPECT_EQ(Hex(std::span(header).subspan(4, 4)), "92 00 00 00");   // 36 + 9 + 1 + 100
  EXPECT_EQ(Hex(std::span(header).subspan(40, 4)), "09 00 00 00");  // the data chunk's own size
  EXPECT_EQ(DestinationTrailer(odd).size(), 101u);
  EXPECT_EQ(DestinationTrailer(DestinationLayout{.format = mono24, .frames = 3}).size(), 0u);  // no chunks, no pad
  // data + pad + chunks = 2,147,483,611 bytes fits the RIFF header; a byte more does not.
  const AudioFormat mono16{.rate = 44100, .bits = 16, .channels = 1};
  const int64_t frames = (2147483611 - 100) / 2;  // 2,147,483,510 bytes, even: no pad
  EXPECT_FALSE(IsRf64({.format = mono16, .frames = frames, .after_data = std::vector<unsigned char>(101, 0)}));
  EXPECT_TRUE(IsRf64({.format = mono16, .frames = frames, .after_data = std::vector<unsigned char>(102, 0)}));
  const auto rf64 =
      DestinationHeader({.format = mono16, .frames = frames, .after_data = std::vector<unsigned char>(102, 0)});
  EXPECT_EQ(Hex(std::span(rf64).subspan(20, 8)), "24 00 00 80 00 00 00 00");  // data + 102 + 72
}

}  // namespace
