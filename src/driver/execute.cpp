#include <cstdint>
#include <cstdio>

#include "driver/run_state.hpp"
#include "dsp/crossfade.hpp"
#include "wav/destination.hpp"
#include "wav/header.hpp"

namespace {

// Seconds as the summaries have always shown them: frames and rate in single
// precision.
double Seconds(int frames, uint32_t rate) {
  return static_cast<double>(static_cast<float>(frames) / static_cast<float>(rate));
}

void PrintSummary(const RunState& state, int e) {
  const TaskList& t = state.tasks;
  std::printf("Task %i", e + 1);
  if (t.using_samples == 1) {
    std::printf("\tInsert point %i samples\n", t.insert_frame[e]);
    std::printf("\tFile %s\n", t.source_name[e].data());
    std::printf("\tRead start %i samples\n", t.read_start_frame[e]);
    std::printf("\tRead length %i samples\n", t.read_length[e]);
  } else {
    const uint32_t rate = state.format.rate;
    std::printf("\tInsert point %.3f sec\n", Seconds(t.insert_frame[e], rate));
    std::printf("\tFile %s\n", t.source_name[e].data());
    std::printf("\tRead start %.3f sec\n", Seconds(t.read_start_frame[e], rate));
    std::printf("\tRead length %.3f sec\n", Seconds(t.read_length[e], rate));
  }
  std::printf("\tLevel %.3f dB\n", t.level_db[e]);
}

void DropCrossfade(RunState& state, int e) {
  std::puts("Could not generate crossfade");
  state.tasks.xfade_type[e] = 0;
  std::remove(state.temp_name.data());
}

// Renders the crossfade into the work file from the destination as it stands,
// before the entry's segment overwrites the splice.
void PrepareCrossfade(RunState& state, int e) {
  TaskList& t = state.tasks;
  const StreamFormat& f = state.format;
  if (t.xfade_width_ms[e] > 0.0F) {
    const double frames = static_cast<double>(static_cast<float>(f.rate) * t.xfade_width_ms[e]) / 1000.0;
    // A width beyond the int range, or one whose work file could not be a
    // valid WAV file, cannot be rendered.
    if (!(frames < 2147483648.0) ||
        static_cast<int64_t>(frames) * f.bytes_per_sample * f.channels > kMaxDataSize) {
      DropCrossfade(state, e);
      return;
    }
    t.xfade_width_frames[e] = static_cast<int>(frames);
  }
  const int width = t.xfade_width_frames[e];
  const char* temp = state.temp_name.data();
  MAKE_HEADER(temp, f.rate, static_cast<unsigned>(f.bits), width, static_cast<uint16_t>(f.channels));
  const int result = CROSSFADE(t.insert_frame[e], t.read_start_frame[e], width, t.xfade_type[e], t.level_db[e],
                               t.destination_name.data(), t.source_name[e].data(), temp, f.channels,
                               f.bytes_per_sample, state.curve);
  if (result != 0) DropCrossfade(state, e);
}

// Lays the rendered frames over the splice. Frames at or beyond the
// destination's length are not written: the file stays as long as its header
// says.
void PlaceCrossfade(RunState& state, int e) {
  const TaskList& t = state.tasks;
  const StreamFormat& f = state.format;
  const int width = t.xfade_width_frames[e];
  const int64_t start = int64_t{t.insert_frame[e]} - width / 2;
  if (start >= 1) {
    const int64_t room = state.destination_length - start;
    const int count = static_cast<int>(room < width ? room : width);
    INSERT_FILE(t.destination_name.data(), state.temp_name.data(), static_cast<int>(start), f.bytes_per_sample, 0.0,
                f.channels, count, 0);
  }
  std::remove(state.temp_name.data());
}

}  // namespace

void ExecuteEntries(RunState& state) {
  TaskList& t = state.tasks;
  const StreamFormat& f = state.format;
  for (int k = 0; k < t.entry_count; ++k) {
    const int e = state.write_order[k];
    PrintSummary(state, e);
    if (t.xfade_type[e] != 0) PrepareCrossfade(state, e);
    INSERT_FILE(t.destination_name.data(), t.source_name[e].data(), t.insert_frame[e], f.bytes_per_sample,
                t.level_db[e], f.channels, t.read_length[e], t.read_start_frame[e]);
    if (t.xfade_type[e] != 0) PlaceCrossfade(state, e);
    std::puts("\tDone\n");
  }
}

void PrintReport(const RunState& state) {
  const StreamFormat& f = state.format;
  std::printf("Built\t%s\n", state.tasks.destination_name.data());
  if (state.tasks.using_samples == 1) {
    std::printf("\tLength %i samples\n", state.destination_length);
  } else {
    std::printf("\tLength %.3f sec\n", Seconds(state.destination_length, f.rate));
  }
  std::printf("\tBits %i\n", f.bits);
  std::printf("\tChannels %i\n", f.channels);
  std::printf("\tSample rate %u\n\n", f.rate);
}
