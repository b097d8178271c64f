#include "engine/source.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/in_process.hpp"
#include "support/run_program.hpp"
#include "support/wav_builder.hpp"
#include "wav/chunk.hpp"

namespace {

struct SourceRead {
  SourceInfo info;
  int64_t data_start = -1;  // where the samples start, as every reader of the file finds them
  std::string output;
  int status = -1;
};

SourceRead Read(const std::filesystem::path& path) {
  SourceRead r;
  std::string said;
  std::tie(r.output, r.status) = Captured([&] { r.info = OpenSource(path.string(), said).info; });
  r.output = said + r.output;
  const FileHandle file = OpenRegular(path.c_str(), false);
  if (const auto audio = FindAudio(file)) r.data_start = audio->start;
  return r;
}

class SourceReader : public testing::Test {
 protected:
  TempDir dir;
  std::filesystem::path Write(const Bytes& bytes) {
    const auto path = dir / "source.wav";
    WriteFile(path, bytes);
    return path;
  }
};

TEST_F(SourceReader, CanonicalHeader) {
  const auto r = Read(Write(CanonicalWav(48000, 24, 2, Ramp(100, 2, 24))));
  ASSERT_EQ(r.status, -1) << r.output;
  EXPECT_EQ(r.info.format.channels, 2);
  EXPECT_EQ(r.info.format.rate, 48000U);
  EXPECT_EQ(r.info.format.bits, 24);
  EXPECT_EQ(r.data_start, 44);
  EXPECT_EQ(r.info.length_frames, 100);
  EXPECT_EQ(r.output, "");
}

TEST_F(SourceReader, ExtensibleFormatChunkAndPartialLastFrame) {
  Bytes format = FormatChunk(96000, 24, 2);
  format[4] = 40;                      // chunk size 40
  format[8] = 0xFE, format[9] = 0xFF;  // WAVE_FORMAT_EXTENSIBLE
  format.insert(format.end(), 24, 0);
  Bytes data = Chunk("data", PackSamples(24, Ramp(7, 2, 24)));
  data.insert(data.end(), {1, 2, 3, 4, 5});  // five bytes of an eighth frame
  const auto r = Read(Write(Riff({format, data})));
  ASSERT_EQ(r.status, -1);
  EXPECT_EQ(r.info.format.rate, 96000U);
  EXPECT_EQ(r.info.format.channels, 2);
  EXPECT_EQ(r.info.length_frames, 7);
}

// Layouts that real recorders and editors write, and the ones they get
// wrong: where the samples start and how many frames they hold.
TEST_F(SourceReader, LayoutsFromTheField) {
  const Bytes format = FormatChunk(8000, 16, 1);
  const Bytes ten = PackSamples(16, Ramp(10, 1, 16));
  // A data chunk whose size field says `declared` over the ten frames.
  const auto data = [&](uint32_t declared) {
    Bytes out;
    AppendText(out, "data");
    Append32(out, declared);
    out.insert(out.end(), ten.begin(), ten.end());
    return out;
  };
  const auto ds64 = [](uint64_t data_size) {
    Bytes body;
    Append32(body, 0), Append32(body, 0);  // RIFF size, unused here
    Append32(body, static_cast<uint32_t>(data_size)), Append32(body, static_cast<uint32_t>(data_size >> 32));
    body.insert(body.end(), 12, 0);  // frame count, table length
    return Chunk("ds64", body);
  };
  const auto container = [](const std::string& tag, std::initializer_list<Bytes> chunks) {
    Bytes out = Riff(chunks);
    std::copy(tag.begin(), tag.end(), out.begin());
    return out;
  };
  Bytes odd_list = Chunk("LIST", Bytes(5, 'x'));
  odd_list.push_back(0);  // the pad byte after an odd size
  Bytes decoy = Bytes(2, ' ');
  AppendText(decoy, "data");
  Append32(decoy, 2);
  AppendText(decoy, "fmt ");
  Append32(decoy, 16);
  decoy.insert(decoy.end(), 16, 0x7F);
  Bytes picture(140000, 0);
  std::copy_n("data", 4, picture.begin() + 70000);
  const Bytes trailer = Chunk("LIST", Bytes(100, 0x55));
  Bytes headless = Riff({format, Chunk("LIST", decoy), data(20), trailer});
  std::copy_n("RIFX", 4, headless.begin());
  // A size that wraps a 32-bit offset back onto its own chunk.
  Bytes wrapping;
  AppendText(wrapping, "JUNK");
  Append32(wrapping, 0xFFFFFFF8);

  struct Case {
    const char* what;
    Bytes file;
    int64_t data_start;
    int length;
  };
  const Case cases[] = {
      {"canonical", Riff({format, data(20)}), 44, 10},
      {"JUNK first", Riff({Chunk("JUNK", Bytes(28, 0)), format, data(20)}), 80, 10},
      {"metadata after the data", Riff({format, data(20), trailer}), 44, 10},
      {"tags in a comment before the data", Riff({Chunk("LIST", decoy), format, data(20)}), 12 + 8 + 34 + 24 + 8, 10},
      {"more than 128 KiB before the data", Riff({format, Chunk("PAD ", picture), data(20)}), 140052, 10},
      {"an odd-sized chunk and its pad byte", Riff({format, odd_list, data(20)}), 58, 10},
      {"data size 0: an unfinished recording", Riff({format, data(0), trailer}), 44, 10 + 54},
      {"data size 0xFFFFFFFF", Riff({format, data(0xFFFFFFFF), trailer}), 44, 10 + 54},
      {"a size past the end of the file", Riff({format, data(22)}), 44, 10},
      {"a declared size shorter than the file", Riff({format, data(13), trailer}), 44, 6},
      {"RF64 with ds64", container("RF64", {ds64(12), format, data(0xFFFFFFFF), trailer}), 80, 6},
      {"BW64 with ds64", container("BW64", {ds64(20), format, data(0xFFFFFFFF), trailer}), 80, 10},
      {"RF64 with a ds64 size of 0", container("RF64", {ds64(0), format, data(0xFFFFFFFF), trailer}), 80, 64},
      {"RF64 without ds64", container("RF64", {format, data(0xFFFFFFFF), trailer}), 44, 64},
      {"RF64 with a 32-bit size", container("RF64", {ds64(12), format, data(8), trailer}), 80, 4},
      // Without a header, or when the walk leaves the file, the probe decides:
      // the first "data" at an even offset, samples to the end of the file.
      {"no RIFF header", headless, 12 + 24 + 8 + 2 + 8, (static_cast<int>(headless.size()) - 54) / 2},
      {"a size near 2^32 before the data", Riff({format, wrapping, data(20), trailer}), 12 + 24 + 8 + 8, 10 + 54},
  };
  for (const Case& c : cases) {
    const auto r = Read(Write(c.file));
    ASSERT_EQ(r.status, -1) << c.what << ": " << r.output;
    EXPECT_EQ(r.output, "") << c.what;
    EXPECT_EQ(r.info.format.rate, 8000U) << c.what;
    EXPECT_EQ(r.info.format.bits, 16) << c.what;
    EXPECT_EQ(r.data_start, c.data_start) << c.what;
    EXPECT_EQ(r.info.length_frames, c.length) << c.what;
  }
}

TEST_F(SourceReader, TheProbeEndsAtOffset131072) {
  for (const size_t tag_at : {size_t{131072}, size_t{131074}}) {
    Bytes bytes = Riff({FormatChunk(8000, 16, 1)});
    bytes.resize(tag_at, 0);
    AppendText(bytes, "data");
    Append32(bytes, 4);
    bytes.insert(bytes.end(), 4, 0);
    const auto r = Read(Write(bytes));
    if (tag_at == 131072) {
      EXPECT_EQ(r.status, -1) << r.output;
      EXPECT_EQ(r.data_start, 131080);
      EXPECT_EQ(r.info.length_frames, 2);
    } else {
      EXPECT_EQ(r.status, 2);
    }
  }
}

TEST_F(SourceReader, FileEndingRightAfterTheDataTag) {
  Bytes bytes = Riff({FormatChunk(44100, 16, 2)});
  AppendText(bytes, "data");
  const auto r = Read(Write(bytes));
  ASSERT_EQ(r.status, -1);
  EXPECT_EQ(r.info.length_frames, -1);  // (40 - 44) / 4, truncated toward zero
}

// Which formats are read, with which sample type, and which are refused.
TEST_F(SourceReader, FormatsAndSampleTypes) {
  // A format chunk of 16 bytes, or an extensible one of 40 whose sub-format
  // starts with `sub`.
  const auto format = [](uint32_t rate, int bits, int channels, uint32_t code, int sub = -1) {
    Bytes chunk = FormatChunk(rate, bits, channels, code);
    if (sub >= 0) {
      chunk[4] = 40;
      Append16(chunk, 22);
      Append16(chunk, static_cast<uint32_t>(bits));
      Append32(chunk, 0);
      Append16(chunk, static_cast<uint32_t>(sub));
      chunk.insert(chunk.end(), {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    }
    return chunk;
  };
  struct Case {
    uint32_t rate;
    int bits;
    int channels;
    uint32_t code;
    int sub;
    int status;
    SampleType type;
  };
  const auto integer = SampleType::kInteger;
  const auto floating = SampleType::kFloat;
  const Case cases[] = {
      // 16 and 24 bits are integers whatever the code says.
      {44100, 16, 1, 3, -1, -1, integer},
      {48000, 24, 8, 0xFFFE, 3, -1, integer},
      {44100, 24, 2, 77, -1, -1, integer},
      // 32 bits: the code, or for extensible chunks the sub-format, decides.
      {48000, 32, 2, 1, -1, -1, integer},
      {48000, 32, 2, 3, -1, -1, floating},
      {96000, 32, 6, 0xFFFE, 1, -1, integer},
      {96000, 32, 6, 0xFFFE, 3, -1, floating},
      {48000, 32, 2, 2, -1, 2, integer},
      {48000, 32, 2, 0xFFFE, 0xFFFE, 2, integer},
      {48000, 32, 2, 0xFFFE, 2, 2, integer},
      // Widths, channel counts and rates the editor does not take.
      {44100, 64, 2, 3, -1, 2, integer},
      {44100, 8, 1, 1, -1, 2, integer},
      {44100, 16, 9, 1, -1, 2, integer},
      {44100, 24, 0, 1, -1, 2, integer},
      {0, 16, 2, 1, -1, 2, integer},
  };
  for (const Case& c : cases) {
    const auto path = Write(Riff({format(c.rate, c.bits, c.channels, c.code, c.sub), Chunk("data", Bytes(96, 0))}));
    const auto r = Read(path);
    const std::string what = std::to_string(c.bits) + " bits, " + std::to_string(c.channels) + " channels, " +
                             std::to_string(c.rate) + " Hz";
    EXPECT_EQ(r.status, c.status) << what << ", code " << c.code << ", sub-format " << c.sub;
    if (c.status == 2) {
      EXPECT_EQ(r.output, "Unsupported wave format in " + path.string() + ": " + what + "\n");
    } else {
      EXPECT_EQ(r.info.format.type, c.type) << what << ", code " << c.code;
      EXPECT_EQ(r.info.length_frames, 96 / (c.bits / 8 * c.channels)) << what;
    }
  }
}

TEST_F(SourceReader, MissingFormatChunkIsReportedAndReadingGoesOn) {
  Bytes bytes = Riff({Chunk("data", Bytes(8, 0))});
  const auto path = Write(bytes);
  const auto r = Read(path);
  // The fields at 131,082 and on lie past the end: no usable format.
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output, "Can't find format chunk in wave file!\nUnsupported wave format in " + path.string() +
                          ": 0 bits, 0 channels, 0 Hz\n");
}

TEST_F(SourceReader, WhatCannotBeOpenedAsARegularFile) {
  const auto missing = dir / "missing.wav";
  const auto directory = dir / "folder.wav";
  const auto fifo = dir / "fifo.wav";
  std::filesystem::create_directory(directory);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& path : {missing, directory, fifo}) {
    const auto r = Read(path);  // a FIFO without a writer must not hang
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, "Cannot find file in track list called " + path.string() + "!!\n");
  }
}

// A source named by a link is walked once, by the plan; the run's opens only
// look where the link leads now: the file the plan read is opened, anything
// else is found changed or gone, as a walk would find it, and a FIFO is never
// opened (it would hang a run without a writer, or wake one).
TEST_F(SourceReader, ALinkIsReopenedOnlyWhileItLeadsToTheFileThePlanRead) {
  const std::vector<int32_t> samples = {1, -2, 3, -4};
  const auto first = dir / "first.wav";
  const auto second = dir / "second.wav";
  const auto fifo = dir / "fifo";
  WriteFile(first, CanonicalWav(48000, 16, 2, samples));
  WriteFile(second, CanonicalWav(48000, 16, 2, samples));
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto link = dir / "link.wav";
  const auto point = [&](const std::filesystem::path& target) {
    std::filesystem::remove(link);
    std::filesystem::create_symlink(target, link);
  };
  point(first);
  std::string said;
  SourceFile source = OpenSource(link.string(), said);
  EXPECT_TRUE(source.linked);
  EXPECT_FALSE(OpenSource(first.string(), said).linked);
  struct Step {
    std::filesystem::path target;
    SourceState state;
  };
  for (const Step& step : {Step{first, SourceState::kReady}, Step{second, SourceState::kChanged},
                           Step{fifo, SourceState::kGone}, Step{dir / "none", SourceState::kGone},
                           Step{first, SourceState::kReady}}) {
    point(step.target);
    source.file = FileHandle();
    EXPECT_EQ(ReopenSource(source), step.state) << step.target;
    if (step.state == SourceState::kReady) {
      struct stat opened {};
      ASSERT_EQ(fstat(source.file.fd, &opened), 0);
      EXPECT_EQ(IdentityOf(opened), IdentityOfName(first.c_str()));
    }
  }
}

}  // namespace
