// Standard output of the window-less patcher belongs to its report (text or
// JSON lines). The developers' trace, which otherwise writes there too, and
// the output of the programs the patcher starts are moved out of its way.
#pragma once

namespace TarvPatch {

// Returns a descriptor of the original standard output for the report and
// points descriptor 1 at standard error, or at /dev/null when standard
// error is a terminal (where the trace would only break up the progress
// line; it still reaches the system journal). When a console-pipe listener
// has taken standard output over, the report goes to standard error's
// place instead and the listener keeps the trace. REQUIRES: no other thread
// runs yet. -1 when the descriptors could not be arranged; the report then
// shares standard output with the trace.
int TakeStandardOutput();

}  // namespace TarvPatch
