#pragma once

#include "driver/run.hpp"
#include "wav/header.hpp"

// A check's render of the programme: the plan built as a run builds it, for
// a check to see what a run would write (its loudness, its envelope), while
// nothing appears in or vanishes from any folder. The destination is a file
// that never has a name, in the destination's folder or else the temporary
// folder ($TMPDIR, or /tmp), and the crossfades' work files are unnamed
// beside it; no run's files are swept, no block is shared. It becomes the
// state's destination, and goes when that is let go (or the check ends).
// The entries print nothing. False when no folder can hold a file without a
// name; a failure that would end a run ends the check the same way.
bool RenderForCheck(RunState& state, const DestinationLayout& layout);
