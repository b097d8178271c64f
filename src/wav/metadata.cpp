#include "wav/metadata.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>

#include "wav/chunk.hpp"
#include "wav/header.hpp"

namespace {

constexpr uint32_t kSizeFromDs64 = 0xFFFFFFFFU;
constexpr uint32_t kFormatExtensible = 0xFFFE;
// A metadata chunk larger than this is no metadata the editor carries.
constexpr uint64_t kLargestCarried = 16 << 20;

std::string Text(std::span<const unsigned char> bytes) {
  std::string text(bytes.begin(), bytes.end());
  return text.substr(0, text.find('\0'));
}

// The cue chunk's points: an id and the frame of the data chunk (its sample
// offset), nothing else kept. False when its count passes its size.
bool ReadCuePoints(std::span<const unsigned char> body, std::vector<CuePlace>* points, size_t& count) {
  if (body.size() < 4) return false;
  const uint64_t listed = Little32(body.data());
  if (4 + 24 * listed > body.size()) return false;
  count = static_cast<size_t>(listed);
  if (points == nullptr) return true;
  points->reserve(count);
  for (uint64_t i = 0; i < listed; ++i) {
    const unsigned char* point = body.data() + 4 + 24 * i;
    points->push_back(CuePlace{.id = Little32(point), .frame = Little32(point + 20)});
  }
  return true;
}

// The labels, notes and region lengths of a LIST/adtl chunk for the ids
// wanted.
void ReadTexts(std::span<const unsigned char> list, std::span<const uint32_t> ids, std::vector<CuePoint>& texts) {
  for (size_t at = 4; at + 8 <= list.size();) {
    const uint32_t size = Little32(&list[at + 4]);
    if (size > list.size() - at - 8) break;
    const bool text = std::memcmp(&list[at], "labl", 4) == 0 || std::memcmp(&list[at], "note", 4) == 0;
    const bool region = std::memcmp(&list[at], "ltxt", 4) == 0;
    if ((text && size >= 4) || (region && size >= 8)) {
      const auto wanted = std::lower_bound(ids.begin(), ids.end(), Little32(&list[at + 8]));
      if (wanted != ids.end() && *wanted == Little32(&list[at + 8])) {
        CuePoint& point = texts[static_cast<size_t>(wanted - ids.begin())];
        if (region) {
          point.length = Little32(&list[at + 12]);
        } else if (list[at] == 'l') {
          point.has_label = true;
          point.label = Text(list.subspan(at + 12, size - 4));
        } else {
          point.has_note = true;
          point.note = Text(list.subspan(at + 12, size - 4));
        }
      }
    }
    at += 8 + size + (size & 1);
  }
}

// Whether an extensible format chunk says what the samples are: a
// destination writes it over samples read by the format the reader found.
bool Describes(std::span<const unsigned char> body, const AudioFormat& f) {
  if (body.size() < 40) return false;
  const int64_t frame = FrameBytes(f);
  const uint16_t code = f.type == SampleType::kFloat ? 3 : 1;
  return Little16(&body[2]) == f.channels && Little32(&body[4]) == f.rate && Little16(&body[12]) == frame &&
         Little32(&body[8]) == f.rate * frame && Little16(&body[14]) == f.bits && Little16(&body[24]) == code;
}

// The walk through a RIFF or RF64 file's chunks.
struct ChunkWalk {
  const FileHandle& file;
  int64_t file_size = 0;
  bool rf64 = false;
  uint64_t ds64_data = 0;  // the data size the ds64 chunk gives
  int64_t at = 12;
};

struct WalkedChunk {
  std::string tag;
  int64_t body = 0;
  uint64_t size = 0;
  bool past_end = false;  // its size passes the end of the file: the walk ends with it
};

// Starts a walk; false when the file is no RIFF or RF64 WAVE file.
bool StartWalk(ChunkWalk& walk) {
  std::array<unsigned char, 12> head{};
  if (walk.file_size < 12 || ReadAt(walk.file, 0, head) != head.size()) return false;
  const bool riff = std::memcmp(head.data(), "RIFF", 4) == 0;
  walk.rf64 = std::memcmp(head.data(), "RF64", 4) == 0 || std::memcmp(head.data(), "BW64", 4) == 0;
  return (riff || walk.rf64) && std::memcmp(&head[8], "WAVE", 4) == 0;
}

// The next chunk, or nothing at the end: of the file, of a data chunk whose
// samples run to the end of the file (its size 0, or past the end), or after
// a chunk whose size passes the end.
std::optional<WalkedChunk> NextChunk(ChunkWalk& walk) {
  if (walk.at < 12 || walk.at + 8 > walk.file_size) return std::nullopt;
  std::array<unsigned char, 8> head{};
  if (ReadAt(walk.file, walk.at, head) != head.size()) return std::nullopt;
  WalkedChunk chunk{.tag = std::string(head.begin(), head.begin() + 4),
                    .body = walk.at + 8,
                    .size = Little32(&head[4]),
                    .past_end = false};
  const bool data = chunk.tag == "data";
  if (data && chunk.size == kSizeFromDs64 && walk.rf64) chunk.size = walk.ds64_data;
  chunk.past_end = chunk.size > static_cast<uint64_t>(walk.file_size - chunk.body);
  // The samples of an unfinished recording run to the end: nothing after
  // them is metadata.
  if (data && (chunk.size == 0 || chunk.past_end)) return std::nullopt;
  if (chunk.past_end) {
    walk.at = -1;  // nothing after it can be found
    return chunk;
  }
  std::array<unsigned char, 8> ds64_data{};
  if (chunk.tag == "ds64" && chunk.size >= 16 && ReadAt(walk.file, chunk.body + 8, ds64_data) == ds64_data.size()) {
    walk.ds64_data = uint64_t{Little32(&ds64_data[0])} | uint64_t{Little32(&ds64_data[4])} << 32;
  }
  walk.at = chunk.body + static_cast<int64_t>(chunk.size + (chunk.size & 1));
  return chunk;
}

// A chunk's body; empty when it cannot be read whole.
std::vector<unsigned char> BodyOf(const ChunkWalk& walk, const WalkedChunk& chunk) {
  std::vector<unsigned char> body(static_cast<size_t>(chunk.size));
  if (ReadAt(walk.file, chunk.body, body) != body.size()) body.clear();
  return body;
}

}  // namespace

Metadata ReadMetadata(const FileHandle& file, int64_t file_size, const AudioFormat& format, bool carried,
                      std::vector<CuePlace>* points) {
  Metadata metadata;
  ChunkWalk walk{.file = file, .file_size = file_size};
  if (!StartWalk(walk)) return metadata;
  bool has_cue = false;
  bool has_format = false;  // the first is the one the samples are read by
  while (const std::optional<WalkedChunk> chunk = NextChunk(walk)) {
    const std::string& tag = chunk->tag;
    const uint64_t size = chunk->size;
    const bool wanted = tag == "fmt " || tag == "ds64" || tag == "bext" || tag == "iXML" || tag == "axml" ||
                        tag == "LIST" || tag == "cue ";
    if (!wanted) continue;
    if (chunk->past_end || size > kLargestCarried) {
      metadata.malformed.push_back(tag);
      continue;
    }
    // Only the bodies that are kept are read: a source's chunks are read for
    // every source, and carried over from one.
    if (tag == "fmt " && !has_format) {
      has_format = true;
      if (!carried) continue;
      std::vector<unsigned char> body = BodyOf(walk, *chunk);
      if (Describes(body, format) && Little16(body.data()) == kFormatExtensible) {
        metadata.extensible_format = std::move(body);
      }
    } else if (tag == "bext" && size < kBextFixedSize) {
      metadata.malformed.push_back(tag);
    } else if (tag == "cue " && !has_cue) {
      // Only the first cue chunk counts: a second one would give the same
      // ids other frames.
      has_cue = ReadCuePoints(BodyOf(walk, *chunk), points, metadata.cue_count);
      if (!has_cue) {
        if (points != nullptr) points->clear();
        metadata.malformed.push_back(tag);
      }
    } else if (carried && (tag == "bext" || tag == "iXML" || tag == "axml" || tag == "LIST")) {
      std::vector<unsigned char> body = BodyOf(walk, *chunk);
      if (tag == "bext") metadata.bext = std::move(body);
      if (tag == "iXML") metadata.ixml = std::move(body);
      if (tag == "axml") metadata.axml = std::move(body);
      if (tag == "LIST" && body.size() >= 4 && std::memcmp(body.data(), "INFO", 4) == 0) {
        metadata.info.push_back(std::move(body));
      }
    }
  }
  return metadata;
}

std::vector<CuePoint> ReadCueTexts(const FileHandle& file, int64_t file_size, std::span<const uint32_t> ids) {
  std::vector<CuePoint> texts(ids.size());
  ChunkWalk walk{.file = file, .file_size = file_size};
  if (ids.empty() || !StartWalk(walk)) return texts;
  while (const std::optional<WalkedChunk> chunk = NextChunk(walk)) {
    if (chunk->tag != "LIST" || chunk->past_end || chunk->size < 4 || chunk->size > kLargestCarried) continue;
    const std::vector<unsigned char> body = BodyOf(walk, *chunk);
    if (body.size() >= 4 && std::memcmp(body.data(), "adtl", 4) == 0) ReadTexts(body, ids, texts);
  }
  return texts;
}

std::vector<unsigned char> EditedBext(const std::vector<unsigned char>& bext, uint64_t time_reference,
                                      const std::string& coding_history_line) {
  std::vector<unsigned char> edited = bext;
  for (size_t i = 0; i < 8; ++i) edited[kBextTimeReference + i] = static_cast<unsigned char>(time_reference >> (8 * i));
  if (Little16(&edited[kBextVersion]) >= 2) {
    for (size_t field = 0; field < 5; ++field) {
      edited[kBextLoudness + 2 * field] = 0xFF;
      edited[kBextLoudness + 2 * field + 1] = 0x7F;
    }
  }
  // The history is text: the line follows its last character, not the
  // zeros that may pad it.
  while (edited.size() > kBextFixedSize && edited.back() == 0) edited.pop_back();
  // Some writers leave the last line unterminated; ours must not run on
  // from it.
  if (edited.size() > kBextFixedSize && edited.back() != '\n') {
    edited.push_back('\r');
    edited.push_back('\n');
  }
  edited.insert(edited.end(), coding_history_line.begin(), coding_history_line.end());
  if (edited.size() % 2 != 0) edited.push_back(0);
  return edited;
}

std::vector<unsigned char> MeasuredBext(const std::vector<unsigned char>& bext,
                                        const std::array<std::optional<double>, 5>& loudness) {
  std::vector<unsigned char> measured = bext;
  if (measured.size() < kBextFixedSize) return measured;
  if (Little16(&measured[kBextVersion]) < 2) {
    measured[kBextVersion] = 2;
    measured[kBextVersion + 1] = 0;
  }
  for (size_t field = 0; field < loudness.size(); ++field) {
    // 0x7FFF says "not measured": a value is held below it.
    int32_t value = 0x7FFF;
    if (loudness[field] && std::isfinite(*loudness[field])) {
      value = static_cast<int32_t>(std::lround(std::clamp(*loudness[field] * 100.0, -32768.0, 32766.0)));
    }
    measured[kBextLoudness + 2 * field] = static_cast<unsigned char>(value & 0xFF);
    measured[kBextLoudness + 2 * field + 1] = static_cast<unsigned char>((value >> 8) & 0xFF);
  }
  return measured;
}
