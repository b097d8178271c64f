#include "wav/metadata.hpp"

#include <array>
#include <cstring>
#include <map>
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

// The cue chunk's points: an id, the frame of the data chunk (its sample
// offset), nothing else kept. False when its count passes its size.
bool ReadCuePoints(std::span<const unsigned char> body, std::vector<std::pair<uint32_t, CuePoint>>& points) {
  if (body.size() < 4) return false;
  const uint64_t count = Little32(body.data());
  if (4 + 24 * count > body.size()) return false;
  for (uint64_t i = 0; i < count; ++i) {
    const unsigned char* point = body.data() + 4 + 24 * i;
    points.push_back({Little32(point), CuePoint{.frame = Little32(point + 20)}});
  }
  return true;
}

// The labels and notes of a LIST/adtl chunk, by cue point id.
void ReadTexts(std::span<const unsigned char> list, std::map<uint32_t, CuePoint>& texts) {
  for (size_t at = 4; at + 8 <= list.size();) {
    const uint32_t size = Little32(&list[at + 4]);
    if (size > list.size() - at - 8) break;
    if (size >= 4 && (std::memcmp(&list[at], "labl", 4) == 0 || std::memcmp(&list[at], "note", 4) == 0)) {
      CuePoint& point = texts[Little32(&list[at + 8])];
      const std::string text = Text(list.subspan(at + 12, size - 4));
      if (list[at] == 'l') {
        point.has_label = true;
        point.label = text;
      } else {
        point.has_note = true;
        point.note = text;
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

}  // namespace

Metadata ReadMetadata(const FileHandle& file, int64_t file_size, const AudioFormat& format) {
  Metadata metadata;
  std::array<unsigned char, 36> head{};
  if (file_size < 12 || ReadAt(file, 0, std::span(head).first(12)) != 12) return metadata;
  const bool riff = std::memcmp(head.data(), "RIFF", 4) == 0;
  const bool rf64 = std::memcmp(head.data(), "RF64", 4) == 0 || std::memcmp(head.data(), "BW64", 4) == 0;
  if ((!riff && !rf64) || std::memcmp(&head[8], "WAVE", 4) != 0) return metadata;

  uint64_t ds64_data = 0;
  std::vector<std::pair<uint32_t, CuePoint>> points;
  std::map<uint32_t, CuePoint> texts;
  bool has_cue = false;
  bool has_format = false;  // the first is the one the samples are read by
  for (int64_t at = 12; at + 8 <= file_size;) {
    std::array<unsigned char, 8> chunk{};
    if (ReadAt(file, at, chunk) != chunk.size()) break;
    const std::string tag(chunk.begin(), chunk.begin() + 4);
    uint64_t size = Little32(&chunk[4]);
    if (tag == "data" && size == kSizeFromDs64 && rf64) size = ds64_data;
    const int64_t body_at = at + 8;
    const bool wanted = tag == "fmt " || tag == "ds64" || tag == "bext" || tag == "iXML" || tag == "axml" ||
                        tag == "LIST" || tag == "cue ";
    if (size > static_cast<uint64_t>(file_size - body_at)) {
      if (wanted) metadata.malformed.push_back(tag);
      break;  // nothing after it can be found
    }
    at = body_at + static_cast<int64_t>(size + (size & 1));
    if (!wanted) continue;
    if (size > kLargestCarried) {
      metadata.malformed.push_back(tag);
      continue;
    }
    std::vector<unsigned char> body(static_cast<size_t>(size));
    if (ReadAt(file, body_at, body) != body.size()) break;
    const auto list_of = [&](const char* type) { return size >= 4 && std::memcmp(body.data(), type, 4) == 0; };
    if (tag == "ds64" && size >= 16) {
      ds64_data = uint64_t{Little32(&body[8])} | uint64_t{Little32(&body[12])} << 32;
    } else if (tag == "fmt " && !has_format) {
      has_format = true;
      if (Describes(body, format) && Little16(body.data()) == kFormatExtensible) {
        metadata.extensible_format = std::move(body);
      }
    } else if (tag == "bext" && size < kBextFixedSize) {
      metadata.malformed.push_back(tag);
    } else if (tag == "bext") {
      metadata.bext = std::move(body);
    } else if (tag == "iXML") {
      metadata.ixml = std::move(body);
    } else if (tag == "axml") {
      metadata.axml = std::move(body);
    } else if (tag == "LIST" && list_of("INFO")) {
      metadata.info.push_back(std::move(body));
    } else if (tag == "LIST" && list_of("adtl")) {
      ReadTexts(body, texts);
    } else if (tag == "cue " && !has_cue) {
      // Only the first cue chunk counts: a second one would give the same
      // ids other frames.
      has_cue = ReadCuePoints(body, points);
      if (!has_cue) {
        points.clear();
        metadata.malformed.push_back(tag);
      }
    }
  }
  for (auto& [id, point] : points) {
    const CuePoint& text = texts[id];
    point.has_label = text.has_label;
    point.label = text.label;
    point.has_note = text.has_note;
    point.note = text.note;
    metadata.cue_points.push_back(point);
  }
  return metadata;
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
