#include "wav/attributes.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "support/in_process.hpp"
#include "support/run_program.hpp"
#include "support/wav_builder.hpp"
#include "wav/chunk.hpp"

namespace {

struct Attributes {
  std::unique_ptr<SourceAttributes> a = std::make_unique<SourceAttributes>();
  std::string output;
  int status = -1;
};

Attributes Read(const std::filesystem::path& path) {
  Attributes r;
  std::tie(r.output, r.status) = Captured([&] { GET_ATTRIBUTES(3, path.c_str(), *r.a); });
  return r;
}

Bytes Riff(std::initializer_list<Bytes> chunks) {
  Bytes out;
  AppendText(out, "RIFF");
  Append32(out, 0);
  AppendText(out, "WAVE");
  for (const Bytes& c : chunks) out.insert(out.end(), c.begin(), c.end());
  return out;
}

Bytes Chunk(const std::string& tag, const Bytes& body) {
  Bytes out;
  AppendText(out, tag);
  Append32(out, static_cast<uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

class AttributeReader : public testing::Test {
 protected:
  TempDir dir;
  std::filesystem::path Write(const Bytes& bytes) {
    const auto path = dir / "source.wav";
    WriteFile(path, bytes);
    return path;
  }
};

TEST_F(AttributeReader, CanonicalHeader) {
  const auto r = Read(Write(CanonicalWav(48000, 24, 2, Ramp(100, 2, 24))));
  ASSERT_EQ(r.status, -1) << r.output;
  EXPECT_EQ(r.a->channels[3], 2);
  EXPECT_EQ(r.a->rate[3], 48000U);
  EXPECT_EQ(r.a->bits[3], 24);
  EXPECT_EQ(r.a->bytes_per_sample[3], 3);
  EXPECT_EQ(r.a->data_start[3], 44);
  EXPECT_EQ(r.a->length_frames[3], 100);
  EXPECT_EQ(r.output, "");
}

TEST_F(AttributeReader, ChunksBetweenAndAfterTheData) {
  const Bytes data = Chunk("data", PackSamples(16, Ramp(10, 1, 16)));
  const Bytes list = Chunk("LIST", Bytes(26, 'x'));
  const Bytes trailer = Chunk("id3 ", Bytes(6, 0));
  const auto r = Read(Write(Riff({FormatChunk(22050, 16, 1), list, data, trailer})));
  ASSERT_EQ(r.status, -1);
  EXPECT_EQ(r.a->data_start[3], 12 + 24 + 34 + 8);
  // Everything after the data start counts as samples, the trailing chunk too.
  EXPECT_EQ(r.a->length_frames[3], 10 + 14 / 2);
}

TEST_F(AttributeReader, ExtensibleFormatChunkAndPartialLastFrame) {
  Bytes format = FormatChunk(96000, 24, 2);
  format[4] = 40;                    // chunk size 40
  format[8] = 0xFE, format[9] = 0xFF;  // WAVE_FORMAT_EXTENSIBLE
  format.insert(format.end(), 24, 0);
  Bytes data = Chunk("data", PackSamples(24, Ramp(7, 2, 24)));
  data.insert(data.end(), {1, 2, 3, 4, 5});  // five bytes of an eighth frame
  const auto r = Read(Write(Riff({format, data})));
  ASSERT_EQ(r.status, -1);
  EXPECT_EQ(r.a->rate[3], 96000U);
  EXPECT_EQ(r.a->channels[3], 2);
  EXPECT_EQ(r.a->length_frames[3], 7);
}

TEST_F(AttributeReader, TagsAreFoundByTheirBytesAtEvenOffsetsOnly) {
  // "data" inside an earlier chunk at an even offset is taken as the tag.
  Bytes junk = Chunk("junk", Bytes{'d', 'a', 't', 'a', 0, 0, 0, 0, 9, 9});
  auto r = Read(Write(Riff({FormatChunk(8000, 16, 1), junk, Chunk("data", Bytes(8, 0))})));
  ASSERT_EQ(r.status, -1);
  EXPECT_EQ(r.a->data_start[3], 36 + 8 + 8);

  // At an odd offset it is not found.
  Bytes odd = Riff({FormatChunk(8000, 16, 1)});
  odd.push_back(0);
  const Bytes data = Chunk("data", Bytes(8, 0));
  odd.insert(odd.end(), data.begin(), data.end());
  r = Read(Write(odd));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output, "Can't find data block in wave file!\n");
}

TEST_F(AttributeReader, TheProbeEndsAtOffset131072) {
  for (const size_t tag_at : {size_t{131072}, size_t{131074}}) {
    Bytes bytes = Riff({FormatChunk(8000, 16, 1)});
    bytes.resize(tag_at, 0);
    AppendText(bytes, "data");
    Append32(bytes, 4);
    bytes.insert(bytes.end(), 4, 0);
    const auto r = Read(Write(bytes));
    if (tag_at == 131072) {
      EXPECT_EQ(r.status, -1) << r.output;
      EXPECT_EQ(r.a->data_start[3], 131080);
      EXPECT_EQ(r.a->length_frames[3], 2);
    } else {
      EXPECT_EQ(r.status, 2);
    }
  }
}

TEST_F(AttributeReader, FileEndingRightAfterTheDataTag) {
  Bytes bytes = Riff({FormatChunk(44100, 16, 2)});
  AppendText(bytes, "data");
  const auto r = Read(Write(bytes));
  ASSERT_EQ(r.status, -1);
  EXPECT_EQ(r.a->length_frames[3], -1);  // (40 - 44) / 4, truncated toward zero
}

TEST_F(AttributeReader, UnsupportedFormatsAreRefusedAfterTheDataChunk) {
  struct Case {
    uint32_t rate;
    int bits;
    int channels;
  };
  for (const Case c : {Case{44100, 8, 1}, Case{44100, 32, 2}, Case{44100, 16, 3}, Case{44100, 24, 0},
                       Case{0, 16, 2}}) {
    Bytes bytes = Riff({FormatChunk(c.rate, c.bits, c.channels), Chunk("data", Bytes(12, 0))});
    const auto path = Write(bytes);
    const auto r = Read(path);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, "Unsupported wave format in " + path.string() + ": " + std::to_string(c.bits) + " bits, " +
                            std::to_string(c.channels) + " channels, " + std::to_string(c.rate) + " Hz\n");
  }
}

TEST_F(AttributeReader, MissingFormatChunkIsReportedAndReadingGoesOn) {
  Bytes bytes = Riff({Chunk("data", Bytes(8, 0))});
  const auto path = Write(bytes);
  const auto r = Read(path);
  // The fields at 131,082 and on lie past the end: no usable format.
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output, "Can't find format chunk in wave file!\nUnsupported wave format in " + path.string() +
                          ": 0 bits, 0 channels, 0 Hz\n");
}

TEST_F(AttributeReader, WhatCannotBeOpenedAsARegularFile) {
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

}  // namespace
