#pragma once

#include <vector>

#include "engine/crossfade.hpp"
#include "engine/measure.hpp"
#include "plan/plan.hpp"

// How each entry will sound in the destination, for a picture of the plan:
// by position in the write order, the frames it sounds over and the weights
// it sounds with (see LaneSound), as the run shapes them: its level and
// fades; over the window of its own crossfade, the curve's incoming weight;
// where a later crossfade fades it out, the outgoing weight, and past its end
// where that crossfade carries it on, its source carried on; under a later
// mixed entry, that entry's duck.
std::vector<LaneSound> LaneSounds(const Plan& plan);

// An entry's frames in the destination: from its insert point, as many as it
// copies.
FrameSpan Landing(const Placement& placement);

// The gain a mixed entry gives what lies under its landing (`under`: the
// gain of its mix value), over the frames it sounds with its fades.
WeightFactor DuckOf(const Placement& placement, double under);

// By position in the write order, the parts of each entry's landing that no
// later entry replaces (a mixed entry lies over what is there, and keeps it).
std::vector<std::vector<FrameSpan>> SurvivingParts(const Plan& plan);

// The frames of an entry's crossfade window laid over its splice: from half
// its width before the insert point, as many as LaidFrames gives (none when
// it is not made).
FrameSpan LaidWindow(const Plan& plan, const Entry& entry);

// By position in the write order, the frames of each entry's plain copy (see
// PlainRuns) that no later entry writes over, mixes with or crossfades from:
// the destination holds its source's bytes there, whatever comes after.
std::vector<std::vector<FrameSpan>> UntouchedPlainFrames(const Plan& plan);
