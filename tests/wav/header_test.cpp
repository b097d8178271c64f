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

TEST(Header, AFileThatCannotBeCreatedEndsTheRun) {
  TempDir dir;
  const auto path = dir / "missing" / "x.wav";
  auto [output, status] = Captured([&] { WriteHeader(path.c_str(), AudioFormat{.rate = 44100, .bits = 16, .channels = 2}, 1); });
  EXPECT_EQ(status, 2);
  EXPECT_EQ(output, "Cannot create wave file " + path.string() + "!\n");
}

}  // namespace
