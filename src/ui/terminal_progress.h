// The progress line of the terminal front end: percent, megabytes done of
// the total, speed and time left of a download, or the count of a counted
// phase, in the calling thread's language. Pure text; the front end decides
// when to draw it.
#pragma once

#include <wx/string.h>

#include <cstdint>

namespace TarvPatch {

// `done` of `total` bytes after `elapsedSeconds` of this download. Megabytes
// are 1,000,000 bytes, with two decimals below 10 and one above, in the
// language's decimal mark; the
// speed is the average since the download began; the time left is m:ss or
// h:mm:ss, "--:--" while nothing has arrived. A total of 0 (the server gave
// no size) shows only the megabytes and the speed.
wxString FormatTransferProgress(uint64_t done, uint64_t total, double elapsedSeconds);

// "Applying: 3 of 40" for a counted phase.
wxString FormatPhaseProgress(uint64_t done, uint64_t total);

}  // namespace TarvPatch
