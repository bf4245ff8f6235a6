// Standard output of the window-less patcher belongs to its report (text or
// JSON lines). The developers' trace, which otherwise writes there too, and
// the output of the programs the patcher starts are moved out of its way.
#pragma once

namespace TarvPatch {

// The descriptor of standard output, the same on every C runtime.
constexpr int kStandardOutputDescriptor = 1;

// Returns a descriptor of the original standard output for the report and
// points descriptor 1 at /dev/null, so the trace reaches only the system
// journal, where an administrator does not take it for the session's lines;
// with `verbose` descriptor 1 goes to standard error instead. When a console-pipe listener
// has taken standard output over, the report goes to standard error's
// place instead and the listener keeps the trace. REQUIRES: no other thread
// runs yet. -1 when the descriptors could not be arranged; the report then
// shares standard output with the trace.
int TakeStandardOutput(bool verbose);

}  // namespace TarvPatch
