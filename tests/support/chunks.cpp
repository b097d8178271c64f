#include "support/chunks.hpp"

#include <map>

uint16_t Get16(const Bytes& b, uint64_t at) {
  return at + 2 > b.size() ? 0 : static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

uint32_t Get32(const Bytes& b, uint64_t at) {
  return at + 4 > b.size()
             ? 0
             : uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

uint64_t Get64(const Bytes& b, uint64_t at) { return uint64_t{Get32(b, at)} | uint64_t{Get32(b, at + 4)} << 32; }

namespace {

std::string TagAt(const Bytes& b, uint64_t at) {
  return at + 4 > b.size() ? "" : std::string(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + 4));
}

}  // namespace

std::vector<FileChunk> WalkChunks(const Bytes& file) {
  std::vector<FileChunk> chunks;
  uint64_t ds64_data = 0;
  for (uint64_t at = 12; at + 8 <= file.size();) {
    FileChunk chunk{.tag = TagAt(file, at), .offset = at, .size = Get32(file, at + 4), .body = {}};
    if (chunk.tag == "ds64") ds64_data = Get64(file, at + 16);
    if (chunk.tag == "data" && chunk.size == 0xFFFFFFFFU) chunk.size = ds64_data;
    if (chunk.tag != "data") {
      const uint64_t end = std::min<uint64_t>(at + 8 + chunk.size, file.size());
      chunk.body.assign(file.begin() + static_cast<long>(at + 8), file.begin() + static_cast<long>(end));
    }
    at += 8 + chunk.size + (chunk.size & 1);
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

std::vector<ReadCue> CuePointsOf(const Bytes& file) {
  std::vector<ReadCue> cues;
  std::map<uint32_t, std::pair<std::string, std::string>> texts;
  std::map<uint32_t, uint32_t> lengths;
  for (const FileChunk& chunk : WalkChunks(file)) {
    if (chunk.tag == "cue ") {
      const uint32_t count = Get32(chunk.body, 0);
      for (uint32_t i = 0; i < count && 4 + 24 * (i + 1) <= chunk.body.size(); ++i) {
        const uint64_t at = 4 + 24 * uint64_t{i};
        cues.push_back(ReadCue{.id = Get32(chunk.body, at),
                               .position = Get32(chunk.body, at + 4),
                               .sample_offset = Get32(chunk.body, at + 20),
                               .label = {},
                               .note = {},
                               .length = 0});
      }
    }
    if (chunk.tag == "LIST" && TagAt(chunk.body, 0) == "adtl") {
      for (uint64_t at = 4; at + 8 <= chunk.body.size();) {
        const std::string tag = TagAt(chunk.body, at);
        const uint32_t size = Get32(chunk.body, at + 4);
        if (size >= 4 && at + 8 + size <= chunk.body.size()) {
          const uint32_t id = Get32(chunk.body, at + 8);
          std::string text(chunk.body.begin() + static_cast<long>(at + 12),
                           chunk.body.begin() + static_cast<long>(at + 8 + size));
          text = text.substr(0, text.find('\0'));
          if (tag == "ltxt") {
            lengths[id] = Get32(chunk.body, at + 12);
          } else if (tag == "labl" || tag == "note") {
            (tag == "labl" ? texts[id].first : texts[id].second) = text;
          }
        }
        at += 8 + size + (size & 1);
      }
    }
  }
  for (ReadCue& cue : cues) {
    cue.label = texts[cue.id].first;
    cue.note = texts[cue.id].second;
    cue.length = lengths[cue.id];
  }
  return cues;
}

Bytes CueChunksFor(const std::vector<ReadCue>& cues) {
  Bytes cue;
  Append32(cue, static_cast<uint32_t>(cues.size()));
  Bytes texts;
  AppendText(texts, "adtl");
  const auto add_text = [&](const std::string& tag, uint32_t id, const std::string& text) {
    Bytes body;
    Append32(body, id);
    AppendText(body, text);
    body.push_back(0);
    const Bytes chunk = Chunk(tag, body);
    texts.insert(texts.end(), chunk.begin(), chunk.end());
    if (body.size() % 2 != 0) texts.push_back(0);
  };
  for (const ReadCue& c : cues) {
    Append32(cue, c.id);
    Append32(cue, c.sample_offset);
    AppendText(cue, "data");
    Append32(cue, 0);
    Append32(cue, 0);
    Append32(cue, c.sample_offset);
    if (!c.label.empty()) add_text("labl", c.id, c.label);
    if (!c.note.empty()) add_text("note", c.id, c.note);
    if (c.length > 0) {
      Bytes region;
      Append32(region, c.id);
      Append32(region, c.length);
      AppendText(region, "rgn ");
      region.resize(region.size() + 8, 0);
      const Bytes chunk = Chunk("ltxt", region);
      texts.insert(texts.end(), chunk.begin(), chunk.end());
    }
  }
  Bytes out = Chunk("cue ", cue);
  const Bytes list = Chunk("LIST", texts);
  out.insert(out.end(), list.begin(), list.end());
  return out;
}
