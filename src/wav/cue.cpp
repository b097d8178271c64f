#include "wav/cue.hpp"

#include "wav/header.hpp"

namespace {

// A "labl" or "note": the cue point's id and the text with its terminating
// zero; the size does not count the pad byte that follows an odd one.
void AppendText(std::vector<unsigned char>& list, const char* tag, uint32_t id, const std::string& text) {
  std::vector<unsigned char> body;
  AppendLittle32(body, id);
  body.insert(body.end(), text.begin(), text.end());
  body.push_back(0);
  const std::vector<unsigned char> chunk = ChunkBytes(tag, body);
  list.insert(list.end(), chunk.begin(), chunk.end());
}

}  // namespace

std::vector<unsigned char> CueChunks(std::span<const CuePoint> points) {
  if (points.empty()) return {};
  std::vector<unsigned char> cue;
  AppendLittle32(cue, static_cast<uint32_t>(points.size()));
  std::vector<unsigned char> list;
  AppendTag(list, "adtl");
  uint32_t id = 0;
  for (const CuePoint& point : points) {
    ++id;
    AppendLittle32(cue, id);
    AppendLittle32(cue, static_cast<uint32_t>(point.frame));  // its position in play order
    AppendTag(cue, "data");
    AppendLittle32(cue, 0);  // chunk start
    AppendLittle32(cue, 0);  // block start
    AppendLittle32(cue, static_cast<uint32_t>(point.frame));
  }
  // Every label before every note: readers that meet a note stop reading
  // labels (or lose the ones that follow it).
  id = 0;
  for (const CuePoint& point : points) {
    ++id;
    if (point.has_label) AppendText(list, "labl", id, point.label);
  }
  id = 0;
  for (const CuePoint& point : points) {
    ++id;
    if (point.has_note) AppendText(list, "note", id, point.note);
  }
  // A region's length, after the texts for the same reason: a labelled text
  // of purpose "rgn " with no country, language, dialect or code page, and
  // no text.
  id = 0;
  for (const CuePoint& point : points) {
    ++id;
    if (point.length <= 0) continue;
    std::vector<unsigned char> body;
    AppendLittle32(body, id);
    AppendLittle32(body, static_cast<uint32_t>(point.length));
    AppendTag(body, "rgn ");
    body.resize(body.size() + 8, 0);
    const std::vector<unsigned char> chunk = ChunkBytes("ltxt", body);
    list.insert(list.end(), chunk.begin(), chunk.end());
  }
  std::vector<unsigned char> chunks = ChunkBytes("cue ", cue);
  const std::vector<unsigned char> adtl = ChunkBytes("LIST", list);
  chunks.insert(chunks.end(), adtl.begin(), adtl.end());
  return chunks;
}
