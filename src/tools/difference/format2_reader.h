// Reading the second format (format2.h): recognising it, checking its
// header, and rebuilding the new file from the old one and the difference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "format2.h"

namespace difference {

// True when the data starts with a magic of this format (either).
bool IsFormat2(const unsigned char* data, size_t size);

// Reads and checks the header against the difference's own size. False with
// the reason in `why`.
bool ReadFormat2Header(const unsigned char* data, size_t size, Format2Header* header,
                       std::string* why);

// Called about every 256 KiB while the output grows, with how much of it is
// final (written and, through the filter, turned back).
using ApplyProgress = std::function<void(uint64_t out_pos)>;

// Rebuilds the new file into `out` (header.new_size bytes) from the old
// file and the whole difference. Writes the output front to back, reads the
// old file at the positions the records name, and checks every record's
// bounds and, at the end, the digest. False with the reason when the
// difference is damaged or belongs to another old file; `out` then holds
// garbage. A difference made with the branch filter reads the old file
// filtered: a copy made here, on a thread of its own ahead of the records;
// `old_is_mapped` says that the old data is a private mapping of the file,
// whose pages may then be dropped as they are copied. Turning the output
// back and digesting it run on another thread behind the writing.
bool ApplyFormat2(const unsigned char* old_data, size_t old_size, const unsigned char* diff,
                  size_t diff_size, unsigned char* out, std::string* why,
                  const ApplyProgress& progress = nullptr, bool old_is_mapped = false);

// True when the difference wants the old file through the branch filter.
inline bool FilteredOldNeeded(const Format2Header& header) {
  return (header.flags & kFlagBranchFilter) != 0;
}

}  // namespace difference
