#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "common/audio_format.hpp"
#include "dsp/loudness.hpp"
#include "task/task_list.hpp"
#include "wav/header.hpp"

// Loudness as the plan sees it: the programme's goal ("loud", "peak"), the
// level an entry's "lufs" chooses from its copy measured, and the one linear
// gain a programme measured as built gets. Never a limiter or compressor.

// The true-peak ceiling "loud" takes without "peak", dBTP.
inline constexpr double kDefaultCeiling = -1.0;

// The target is missed when the ceiling holds the gain back by more than
// this (LU): less rounds away in the loudness the report shows.
inline constexpr double kMissedBy = 0.05;

// What the programme is brought to: a loudness, and a ceiling of its true
// peak (the ceiling alone only lowers it). Integer samples cannot go past
// full scale: their ceiling is at most 0 dBTP.
struct LoudnessGoal {
  std::optional<double> target;   // LUFS
  std::optional<double> ceiling;  // dBTP
  bool lowered = false;           // "peak" asked for more than an integer output holds, and is taken as 0
  bool Active() const { return target || ceiling; }
};
LoudnessGoal GoalOf(const TaskList& tasks, const AudioFormat& format);

// The gain the programme gets, from its loudness and true peak as built.
struct ProgrammeGain {
  double gain_db = 0.0;
  bool unmeasured = false;  // a target, but nothing measured above the gates: no gain
  bool held = false;        // the ceiling held the gain back from the target by more than kMissedBy
  double short_lu = 0.0;    // by how much, when held
};
ProgrammeGain DecideGain(const LoudnessGoal& goal, const LoudnessResult& built);

// The destination's loudness: as built, the gain it got (in one pass over
// it), and as written.
struct ProgrammeLoudness {
  LoudnessResult built;
  ProgrammeGain gain;
  LoudnessResult written;
  int64_t clipped = 0;  // integer samples the gain clipped at full scale
};

// How much each of the destination's channels counts: by the channel mask of
// its own format chunk (none for the classic one).
std::array<double, kMaxChannels> DestinationWeights(const DestinationLayout& layout);

// What became of an entry's "lufs".
enum class LufsOutcome {
  kNone,      // no "lufs"
  kSet,       // its level was chosen
  kTooShort,  // its copy is under 400 ms: its level is kept
  kGatedOut,  // its copy measures nothing above the gates: its level is kept
  kTooQuiet,  // its copy would need a level of 24 dB or more: its level is kept
};

// An entry's copy measured as its source sounds (its source's frames,
// before fades, mixes and crossfades, weighted by the source's own channel
// mask), and its "lufs".
struct CopyLoudness {
  LoudnessResult measured;
  LufsOutcome lufs = LufsOutcome::kNone;
  double written_level_db = 0.0;  // the level the task file gave it, which a level chosen replaces
  double needed_db = 0.0;         // the level its "lufs" asks for (kSet, kTooQuiet)
};

// Whether a level measured for "lufs" is one a "lvl" may have.
inline bool LevelAllowed(double level_db) { return level_db < 24.0; }

struct Entry;
struct Plan;

// Measures the entry's copy (reading its source's range once) and, with
// "lufs", chooses its level: the level that brings the copy to that
// loudness, unless the copy is too short, measures nothing above the gates,
// or would need 24 dB or more; then it keeps its level. A source that is gone
// or changed ends the run with status 2.
void MeasureCopy(Entry& entry, const AudioFormat& format);

// For a check with --loudness: every entry's copy measured (those measured
// already keep their measurement).
void MeasureCopies(Plan& plan);
