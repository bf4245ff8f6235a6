// The download speed cap a player set for good: the value "DownloadLimit"
// under "Software\Obelk\Tarv" in the user's hive, either a number of bytes
// per second (a DWORD) or a text such as "1M" (see TarvInet::ParseRate).
// Read on the worker thread when a session starts.
#pragma once

#include <cstdint>

namespace TarvPatch {

// Bytes per second; 0 when the value is missing, 0 or not understood.
uint64_t UserDownloadLimit();

// The cap a session uses: the command line's when it gave one, else the
// user's.
uint64_t EffectiveDownloadLimit(uint64_t commandLine);

}  // namespace TarvPatch
