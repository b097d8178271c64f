#include "engine/crossfade.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "io/file.hpp"
#include "support/instructions.hpp"
#include "support/reference.hpp"
#include "support/run_program.hpp"
#include "support/wav_builder.hpp"
#include "wav/header.hpp"

namespace {

// Where a crossfade of the test's files comes from and how it is made.
struct RenderWith {
  KeptCurve* kept = nullptr;
  std::string from{};  // the source, when not the fixture's
  std::string into{};  // the destination, when not the fixture's
  InstructionSet instructions = DetectInstructionSet();
};

// Renders a crossfade between two files the test writes and returns the
// frames appended to the work file.
class Renderer : public testing::Test {
 protected:
  TempDir dir;
  std::string destination = (dir / "dest.wav").string();
  std::string source = (dir / "src.wav").string();
  std::string temp = (dir / "xfade_temp.wav").string();
  int64_t clipped = 0;

  CrossfadeResult Render(const CrossfadeCase& c, const RenderWith& with = {}) {
    const AudioFormat format{.rate = 44100, .bits = c.bits, .channels = c.channels, .type = sample_type};
    WriteHeader(temp.c_str(), format, c.width);
    // A hold of the test's own work file; it lets go of it before it would
    // remove a work file by name.
    WorkFileHold hold;
    hold.file = OpenRegular(temp.c_str(), true);
    WorkFile work;
    work.hold = &hold;
    work.audio = AudioExtent{44, 44 + int64_t{c.width} * (c.bits / 8) * c.channels};
    const std::string destination_path = with.into.empty() ? destination : with.into;
    const FileHandle destination_file = OpenRegular(destination_path.c_str(), false);
    const auto destination_audio = FindAudio(destination_file);
    SourceFile source_file;  // opened as before a copy
    source_file.name = with.from.empty() ? source : with.from;
    source_file.file = OpenRegular(source_file.name.c_str(), false);
    const auto source_audio = source_file.file.IsOpen() ? FindAudio(source_file.file) : std::nullopt;
    source_file.info.audio = source_audio.value_or(AudioExtent{});
    KeptCurve fresh;
    const CrossfadeResult result = RenderCrossfade(
        CrossfadeJob{.insert_frame = c.insert,
                     .read_start_frame = c.read_start,
                     .width_frames = c.width,
                     .curve = c.curve,
                     .level_db = c.level,
                     .destination = OpenAudio{&destination_file, destination_audio.value_or(AudioExtent{}),
                                              destination_path.c_str()},
                     .source = source_audio ? &source_file : nullptr,
                     .work = &work,
                     .instructions = with.instructions},
        format, with.kept != nullptr ? *with.kept : fresh, clipped);
    hold.file = FileHandle();  // not removed: the test reads it
    return result;
  }
  // Renders an integer crossfade on every instruction set the processor has
  // and compares each with the plain reference.
  void ExpectReference(const std::vector<int32_t>& dest, const std::vector<int32_t>& src, const CrossfadeCase& c,
                       KeptCurve* kept = nullptr) {
    for (const InstructionSet set : AvailableInstructionSets()) {
      ASSERT_EQ(Render(c, {.kept = kept, .instructions = set}), CrossfadeResult::kRendered);
      ASSERT_EQ(Rendered(c.bits), ReferenceCrossfade(dest, src, c))
          << c.bits << " bits, " << c.channels << " channels, width " << c.width << ", curve " << c.curve
          << ", level " << c.level << ", " << NameOf(set);
    }
  }
  SampleType sample_type = SampleType::kInteger;  // of the 32-bit formats Render uses

  std::vector<int32_t> Rendered(int bits) {
    const Bytes bytes = ReadFile(temp);
    return UnpackSamples(bits, std::span(bytes).subspan(44));
  }
};

TEST_F(Renderer, MixesWithTruncationOnThe16BitScale) {
  // Type 2, width 4, second frame: 0.25 * -800 + 0.75 * 400 = 100.
  WriteFile(destination, CanonicalWav(44100, 16, 1, std::vector<int32_t>{7, 7, 400, 7, 7, 7}));
  WriteFile(source, CanonicalWav(44100, 16, 1, std::vector<int32_t>{5, -800, 5, 5, 5}));
  ASSERT_EQ(Render({.insert = 3, .read_start = 2, .width = 4, .curve = 2}), CrossfadeResult::kRendered);
  const auto out = Rendered(16);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0], 7);    // the first frame is the destination's
  EXPECT_EQ(out[1], 100);  // destination 400 (frame 2), source -800 (frame 1)
  // 0.5 * 7 + 0.5 * 5 = 6; 0.25 * 7 + 0.75 * 5 = 5.5 -> 5
  EXPECT_EQ(out[2], 6);
  EXPECT_EQ(out[3], 5);

  // Negative mixes truncate toward zero: 0.75 * -3 + 0.25 * -6 = -3.75 -> -3.
  WriteFile(destination, CanonicalWav(44100, 16, 1, std::vector<int32_t>{-3, -3, -3, -3}));
  WriteFile(source, CanonicalWav(44100, 16, 1, std::vector<int32_t>{-6, -6, -6, -6}));
  ASSERT_EQ(Render({.insert = 2, .read_start = 2, .width = 4, .curve = 2}), CrossfadeResult::kRendered);
  EXPECT_EQ(Rendered(16), (std::vector<int32_t>{-3, -3, -4, -5}));
}

TEST_F(Renderer, LevelScalesOnlyTheIncomingSide) {
  WriteFile(destination, CanonicalWav(44100, 24, 1, std::vector<int32_t>(8, 1000000)));
  WriteFile(source, CanonicalWav(44100, 24, 1, std::vector<int32_t>(8, -2000000)));
  ASSERT_EQ(Render({.insert = 4, .read_start = 4, .width = 4, .curve = 2, .level = -6.0, .bits = 24}),
            CrossfadeResult::kRendered);
  const double gain = std::pow(10.0, -6.0 / 20.0);
  std::vector<int32_t> want;
  for (int j = 0; j < 4; ++j) {
    const double u = j / 4.0;
    want.push_back(static_cast<int32_t>(-2000000.0 * ((1.0 - (1.0 - u)) * gain) + 1000000.0 * (1.0 - u)));
  }
  EXPECT_EQ(Rendered(24), want);
}

// Every integer format, mono, stereo and six channels (every channel of a
// frame takes the frame's weights), every curve, widths across block
// boundaries. 32-bit samples lie near full scale, so that loud sums wrap.
TEST_F(Renderer, WidthsAcrossBlockBoundariesForEveryFormatAndCurve) {
  for (const int bits : {16, 24, 32}) {
    for (const int channels : {1, 2, 6}) {
      const int32_t scale = bits == 32 ? 65536 : 1;
      const auto dest = Ramp(3000, channels, bits, -bits * 1000 * scale, 997 * scale);
      const auto src = Ramp(3000, channels, bits, bits * 1000 * scale, -1409 * scale);
      WriteFile(destination, CanonicalWav(44100, bits, channels, dest));
      WriteFile(source, CanonicalWav(44100, bits, channels, src));
      for (const int width : {1, 4, 5, 1024, 1025}) {
        for (int type = 1; type <= 4; ++type) {
          const double level = type == 3 ? 2.5 : type == 1 ? 9.5 : 0.0;
          ExpectReference(dest, src,
                          {.insert = 1200,
                           .read_start = 1100,
                           .width = width,
                           .curve = type,
                           .level = level,
                           .channels = channels,
                           .bits = bits});
        }
      }
    }
  }
}

// Floats mix in double precision and are rounded once: overs stay, sums past
// the float range become infinities, subnormals and signed zeros are kept,
// infinities and NaN go through the arithmetic as IEEE says.
TEST_F(Renderer, FloatsKeepEverythingTheArithmeticGives) {
  sample_type = SampleType::kFloat;
  const float values[] = {0.25F, -0.5F, 1.75F,  -3.0F,    3.0e38F,   -3.0e38F, FLT_TRUE_MIN, -FLT_MIN,
                          0.0F,  -0.0F, 1e-39F, INFINITY, -INFINITY, NAN,      1.0F / 3,     2.0e38F};
  const auto pattern = [&](int frames, int channels, int shift) {
    std::vector<float> out;
    for (int i = 0; i < frames * channels; ++i) out.push_back(values[(i * 7 + shift) % 16]);
    return out;
  };
  for (const int channels : {1, 2, 6}) {
    const auto dest = pattern(400, channels, 0);
    const auto src = pattern(400, channels, 5);
    WriteFile(destination, CanonicalFloatWav(48000, channels, dest));
    WriteFile(source, CanonicalFloatWav(48000, channels, src));
    for (const int width : {1, 16, 250}) {
      for (int curve = 1; curve <= 4; ++curve) {
        const double level = curve == 2 ? 12.0 : curve == 4 ? -20.0 : 0.0;
        ASSERT_EQ(Render({.insert = 200,
                          .read_start = 180,
                          .width = width,
                          .curve = curve,
                          .level = level,
                          .channels = channels,
                          .bits = 32}),
                  CrossfadeResult::kRendered);
        const Bytes bytes = ReadFile(temp);
        ASSERT_EQ(FloatBits(UnpackFloats(std::span(bytes).subspan(44))),
                  FloatBits(ReferenceCrossfade(dest, src,
                                               {.insert = 200,
                                                .read_start = 180,
                                                .width = width,
                                                .curve = curve,
                                                .level = level,
                                                .channels = channels})))
            << channels << " channels, width " << width << ", curve " << curve;
      }
    }
  }
}

// Wide crossfades are read and written in runs of many blocks; the weights
// and the windows must run on across those boundaries too, and a window that
// runs past its file's end mixes silence.
TEST_F(Renderer, WidthsOfManyRunsAndWindowsPastTheEnd) {
  for (const int bits : {16, 24}) {
    const int channels = bits == 16 ? 1 : 2;
    const auto dest = Ramp(40000, channels, bits, -bits * 1000, 997);
    const auto src = Ramp(30000, channels, bits, bits * 1000, -1409);
    WriteFile(destination, CanonicalWav(48000, bits, channels, dest));
    WriteFile(source, CanonicalWav(48000, bits, channels, src));
    for (const int width : {16383, 16384, 16385, 33001}) {
      for (const int type : {1, 4}) {
        const double level = type == 4 ? -7.5 : 0.0;
        ExpectReference(dest, src,
                        {.insert = 20000,
                         .read_start = 17000,
                         .width = width,
                         .curve = type,
                         .level = level,
                         .channels = channels,
                         .bits = bits});
      }
    }
  }
}

// A curve kept from one entry serves the next only when the curve and the
// width are the same; a level never enters what is kept.
TEST_F(Renderer, KeptCurveServesOnlyTheSameCurveAndWidth) {
  const auto dest = Ramp(3000, 2, 24, -24000, 997);
  const auto src = Ramp(3000, 2, 24, 24000, -1409);
  WriteFile(destination, CanonicalWav(44100, 24, 2, dest));
  WriteFile(source, CanonicalWav(44100, 24, 2, src));
  KeptCurve kept;
  struct Call {
    int width, type;
    double level;
  };
  for (const Call call : {Call{100, 1, 0.0}, Call{100, 1, -6.0}, Call{100, 3, 0.0}, Call{101, 3, 0.0},
                          Call{100, 1, 0.0}, Call{kMaxKeptCurveFrames + 1, 1, 0.0}, Call{100, 1, 4.0}}) {
    const int insert = call.width / 2 + 10;
    ExpectReference(dest, src,
                    {.insert = insert,
                     .read_start = insert,
                     .width = call.width,
                     .curve = call.type,
                     .level = call.level,
                     .channels = 2,
                     .bits = 24},
                    &kept);
  }
  // The widest curve was not kept: the last kept one is still there.
  EXPECT_EQ(kept.width_frames, 100);
  EXPECT_EQ(kept.w_out.size(), 100U);
}

TEST_F(Renderer, WindowBoundsAreInclusive) {
  WriteFile(destination, CanonicalWav(44100, 16, 2, Ramp(100, 2, 16)));
  WriteFile(source, CanonicalWav(44100, 16, 2, Ramp(50, 2, 16)));
  // The destination window may start exactly at the data start ...
  EXPECT_EQ(Render({.insert = 5, .read_start = 5, .width = 10, .channels = 2}), CrossfadeResult::kRendered);
  // ... but not a frame before it.
  EXPECT_EQ(Render({.insert = 4, .read_start = 5, .width = 10, .channels = 2}), CrossfadeResult::kDestination);
  // The source needs half the width before its read start.
  EXPECT_EQ(Render({.insert = 50, .read_start = 4, .width = 10, .channels = 2}), CrossfadeResult::kSource);
  // A window starting exactly at the end of a file passes and reads silence.
  EXPECT_EQ(Render({.insert = 105, .read_start = 55, .width = 10, .channels = 2}), CrossfadeResult::kRendered);
  EXPECT_EQ(Rendered(16), std::vector<int32_t>(20, 0));
  EXPECT_EQ(Render({.insert = 106, .read_start = 5, .width = 10, .channels = 2}), CrossfadeResult::kDestination);
  EXPECT_EQ(Render({.insert = 50, .read_start = 56, .width = 10, .channels = 2}), CrossfadeResult::kSource);
  // Failures append nothing: the work file holds its header alone.
  EXPECT_EQ(ReadFile(temp).size(), 44u);

  // The end is the end of the samples, not of the file: metadata after them
  // is neither a place to start a window nor material to mix.
  Bytes tagged = CanonicalWav(44100, 16, 2, Ramp(50, 2, 16));
  const Bytes list = Chunk("LIST", Bytes(200, 0x55));
  tagged.insert(tagged.end(), list.begin(), list.end());
  WriteFile(source, tagged);
  EXPECT_EQ(Render({.insert = 105, .read_start = 55, .width = 10, .channels = 2}), CrossfadeResult::kRendered);
  EXPECT_EQ(Rendered(16), std::vector<int32_t>(20, 0));
  EXPECT_EQ(Render({.insert = 50, .read_start = 56, .width = 10, .channels = 2}), CrossfadeResult::kSource);
}

TEST_F(Renderer, NonPositiveWidthRendersNothingAfterTheChecks) {
  WriteFile(destination, CanonicalWav(44100, 24, 1, Ramp(10, 1, 24)));
  WriteFile(source, CanonicalWav(44100, 24, 1, Ramp(10, 1, 24)));
  EXPECT_EQ(Render({.insert = 0, .read_start = 0, .width = 0, .bits = 24}), CrossfadeResult::kRendered);
  EXPECT_EQ(ReadFile(temp).size(), 44u);
  EXPECT_EQ(Render({.insert = 0, .read_start = 11, .width = -4, .bits = 24}),
            CrossfadeResult::kSource);  // the window test still applies
}

TEST_F(Renderer, ResultCodesOfFilesThatCannotBeUsed) {
  WriteFile(destination, CanonicalWav(44100, 16, 1, Ramp(10, 1, 16)));
  WriteFile(source, CanonicalWav(44100, 16, 1, Ramp(10, 1, 16)));
  const std::string missing = (dir / "missing.wav").string();
  const std::string plain = (dir / "plain.wav").string();
  WriteFile(plain, Bytes(64, 'x'));

  auto run = [&](const std::string& d, const std::string& s) {
    return Render({.insert = 5, .read_start = 5, .width = 4}, {.from = s, .into = d});
  };
  EXPECT_EQ(run(destination, missing), CrossfadeResult::kNoSource);
  EXPECT_EQ(run(destination, plain), CrossfadeResult::kNoSource);  // without samples: the run never reads it
}

}  // namespace
