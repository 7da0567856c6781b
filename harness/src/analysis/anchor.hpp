// Sessions seen through their anchor: a fixed build (the same executables every day)
// run beside the candidates on the same rounds. Whatever made one session slower than
// another (the clock, the neighbours, the kernel) slowed the anchor too, so a candidate's
// times divided by the anchor's in the same session lose the session's shift.
#pragma once

#include <string>
#include <vector>

#include "model/metrics.hpp"
#include "model/results.hpp"

namespace bench32 {

// Whether a metric's values can be taken relative to an anchor: the per-run times.
bool anchorable(Metric metric);

// Rescales, in every session that ran an anchor, each other configuration's runs of a
// program by the anchor's typical value over its value in that session (the typical
// value: the median over the sessions that ran the same anchor binary). The values stay
// in seconds, as if every session had run at the anchor's usual speed; the anchor's own
// units are left as measured, so its series shows the sessions' shifts. Units whose
// session has no working anchor run are left as they are.
//
// Returns the note that says so ("times relative to anchor NAME ..."), or empty when no
// session ran an anchor or the metric is not a time.
std::string anchorSessions(std::vector<Results>& sessions, Metric metric);

} // namespace bench32
