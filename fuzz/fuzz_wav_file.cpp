// Finding the chunks, reading the format and the writers on arbitrary files:
// the input is a source file; when it is accepted, a segment of it is copied
// with a level and crossfaded into a destination.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "common/failure.hpp"
#include "engine/copy.hpp"
#include "engine/crossfade.hpp"
#include "engine/destination.hpp"
#include "engine/source.hpp"
#include "io/file.hpp"
#include "support/wav_builder.hpp"
#include "wav/chunk.hpp"
#include "wav/cue.hpp"
#include "wav/header.hpp"
#include "wav/metadata.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  char scratch[] = "/tmp/wavsplice-fuzz-wav-XXXXXX";
  if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteFile("source.wav", std::span(data, size));
  std::optional<AudioExtent> audio;
  {
    const FileHandle file = OpenRegular("source.wav", false);
    if (!file.IsOpen()) std::abort();
    const WavLayout layout = FindLayout(file, static_cast<int64_t>(size));
    const int64_t format = layout.format_chunk;
    audio = FindAudio(file);
    // The one-pass form finds what the others find.
    if (layout.audio.has_value() != audio.has_value() ||
        (audio && (layout.audio->start != audio->start || layout.audio->end != audio->end))) {
      std::abort();
    }
    // Wherever the walk or the probe finds the data, its samples lie within
    // the file (the probe's may start past a file that ends in the size field).
    const auto file_size = static_cast<int64_t>(size);
    if (format >= file_size) std::abort();
    if (audio && (audio->end > file_size || (audio->end < audio->start && audio->end != file_size))) std::abort();
  }

  SourceFile source;
  try {
    std::string said;
    source = OpenSource("source.wav", said);
    if (ReopenSource(source) != SourceState::kReady) std::abort();
  } catch (const RunFailure& failure) {
    if (failure.status != ExitStatus::kWavError) std::abort();
    return 0;
  }
  if (!audio || source.info.audio.start != audio->start || source.info.audio.end != audio->end) std::abort();
  const AudioFormat& format = source.info.format;
  const int length = source.info.length_frames;

  // Copy the middle of the source plainly and at a level, then crossfade its
  // second half in.
  const int frames = length < 0 ? 0 : (length > 4096 ? 4096 : length);
  try {
    // The source's metadata taken over, its cue points with one marker more.
    std::vector<CuePlace> points;
    const Metadata metadata = ReadMetadata(source.file, static_cast<int64_t>(size), format, true, &points);
    if (metadata.cue_count != points.size()) std::abort();
    std::vector<uint32_t> ids;
    for (const CuePlace& point : points) ids.push_back(point.id);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::vector<CuePoint> markers = ReadCueTexts(source.file, static_cast<int64_t>(size), ids);
    markers.push_back(
        CuePoint{.frame = frames / 3, .has_label = true, .label = "a marker", .has_note = false, .note = {}});
    std::vector<unsigned char> before_data;
    if (!metadata.bext.empty()) {
      const std::vector<unsigned char> bext = EditedBext(metadata.bext, size, "A=PCM,T=fuzz\r\n");
      if (bext.size() % 2 != 0 || bext.size() < kBextFixedSize) std::abort();
      before_data = ChunkBytes("bext", bext);
    }
    for (const std::vector<unsigned char>& info : metadata.info) {
      const std::vector<unsigned char> chunk = ChunkBytes("LIST", info);
      before_data.insert(before_data.end(), chunk.begin(), chunk.end());
    }
    const DestinationFile destination =
        CreateDestination("dest.wav", DestinationLayout{.format = format,
                                                        .frames = frames,
                                                        .format_body = metadata.extensible_format,
                                                        .before_data = before_data,
                                                        .after_data = CueChunks(markers)});
    CopyScratch scratch;
    CopyFrames(DestinationAudio(destination), SourceAudio(source), format,
               FrameCopy{.to_frame = 0, .from_frame = frames / 4, .count = frames / 4}, scratch);
    CopyFrames(DestinationAudio(destination), SourceAudio(source), format,
               FrameCopy{.to_frame = frames / 4,
                         .from_frame = frames / 4,
                         .count = frames / 2,
                         .level_db = -4.5,
                         .instructions = DetectInstructionSet()},
               scratch);
    // Laid over what the copies left, faded in and out, ducking it.
    ShapeFrames(DestinationAudio(destination), SourceAudio(source), format,
                FrameCopy{.to_frame = 0, .from_frame = 0, .count = frames / 2, .instructions = DetectInstructionSet()},
                Shape{.first = 0,
                      .frames = frames / 2,
                      .fade_in = frames / 8,
                      .fade_out = frames / 5,
                      .gain = 1.5,
                      .over = true,
                      .under_gain = 0.25},
                scratch);
    WorkFileHold hold;
    WorkFile work = TakeWorkFile(hold, format, frames / 2);
    KeptCurve kept;
    // The second half of the window carries the source on from before its
    // first frame to past its end.
    const Continuation carried{.source = &source,
                               .source_offset = -static_cast<int64_t>(size % 7) * frames,
                               .level_db = 6.0,
                               .spans = {{frames / 2, frames}}};
    int64_t clipped = 0;
    RenderCrossfade(CrossfadeJob{.insert_frame = frames / 2,
                                 .read_start_frame = frames / 2,
                                 .width_frames = frames / 2,
                                 .curve = 1 + static_cast<int>(size % 4),
                                 .level_db = 3.0,
                                 .destination = DestinationAudio(destination),
                                 .source = &source,
                                 .work = &work,
                                 .outgoing = &carried},
                    format, kept, clipped);
    if (clipped < 0) std::abort();
  } catch (const RunFailure&) {
    std::abort();  // every file exists and is writable: nothing may fail
  }
  return 0;
}
