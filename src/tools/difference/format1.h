// The first difference format: one zstd frame of the new file compressed
// with the old file as prefix (what `zstd --patch-from=OLD` writes), with
// long-distance matching. The frame records the output size and carries a
// content checksum, so a wrong old file or a damaged difference is found;
// its window reaches from the end of the output back to the start of the
// old file, and is at most 2^kFormat1WindowLogMax bytes.
#pragma once

#include <cstdint>

namespace difference {

constexpr unsigned kFormat1WindowLogMax = 31;

}  // namespace difference
