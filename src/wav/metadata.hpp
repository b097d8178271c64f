#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/audio_format.hpp"
#include "io/file.hpp"
#include "wav/cue.hpp"

// What a source carries about its samples besides them: the chunks a
// destination can take over (broadcast and archive metadata, markers), as
// they stand in the file. A chunk that is not well formed (a size past the
// end of the file, a bext shorter than its fixed fields, a cue chunk whose
// count passes its size) is left out, and named in `malformed`. Only the
// chunks before the samples and after them count: where the data chunk's
// size is 0 or runs past the end of the file, the samples run to its end.
struct Metadata {
  std::vector<unsigned char> extensible_format;  // the format chunk's body, when WAVE_FORMAT_EXTENSIBLE
  std::vector<unsigned char> bext;               // bodies, byte for byte
  std::vector<unsigned char> ixml;
  std::vector<unsigned char> axml;
  std::vector<std::vector<unsigned char>> info;  // LIST chunks of type INFO
  size_t cue_count = 0;                          // the points of the cue chunk
  std::vector<std::string> malformed;            // the tags of the chunks left out
  bool Empty() const { return bext.empty() && ixml.empty() && axml.empty() && info.empty() && cue_count == 0; }
};

// A point of the cue chunk: its id and its frame of the data chunk.
struct CuePlace {
  uint32_t id = 0;
  uint32_t frame = 0;
};

// Reads what the metadata chunks say: with `carried`, the bodies a
// destination takes over (the extensible format chunk only where it
// describes the samples as `format` does); with `points`, the points of the
// first well-formed cue chunk, in its order. Labels and notes are read
// apart (ReadCueTexts), for the points that are kept.
Metadata ReadMetadata(const FileHandle& file, int64_t file_size, const AudioFormat& format, bool carried,
                      std::vector<CuePlace>* points = nullptr);

// The labels, notes and region lengths (the sample length of an "ltxt",
// whatever its purpose) the file's LIST/adtl chunks give the cue points of
// these ids (sorted, each once), in their order; a later one of an id
// replaces an earlier one.
std::vector<CuePoint> ReadCueTexts(const FileHandle& file, int64_t file_size, std::span<const uint32_t> ids);

// The bext chunk's fields the editor changes.
inline constexpr size_t kBextFixedSize = 602;      // the fixed fields before CodingHistory
inline constexpr size_t kBextTimeReference = 338;  // 64-bit sample count since midnight
inline constexpr size_t kBextVersion = 346;
inline constexpr size_t kBextLoudness = 412;  // version 2: five 16-bit loudness fields

// A bext body for the destination: its TimeReference set, the loudness of a
// version 2 bext marked as not measured (0x7FFF), and one line appended to
// its CodingHistory; an even size.
std::vector<unsigned char> EditedBext(const std::vector<unsigned char>& bext, uint64_t time_reference,
                                      const std::string& coding_history_line);

// The bext body with the loudness of the samples measured: version 2 at least
// (an older one raised), and its five loudness fields (LoudnessValue,
// LoudnessRange, MaxTruePeakLevel, MaxMomentaryLoudness,
// MaxShortTermLoudness, in that order) in hundredths of their units, 0x7FFF
// where nothing was measured.
std::vector<unsigned char> MeasuredBext(const std::vector<unsigned char>& bext,
                                        const std::array<std::optional<double>, 5>& loudness);
