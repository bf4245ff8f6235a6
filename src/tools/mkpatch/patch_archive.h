// Makes a patch archive from two installation trees: the three lists
// (`\` separators, CR LF line ends, digest after then digest before), and
// data/ with the new files and the `.diff` files. Unchanged files are left
// out; a changed file is shipped whole in the added list when its old
// version is beyond the difference window, when its difference would not be
// smaller than the file, or when it is the difference tool itself (which
// cannot rebuild itself while it runs).
#pragma once

#include <string>

#include "difference.h"

namespace mkpatch {

struct PatchSummary {
  size_t added = 0, deleted = 0, patched = 0, shipped_whole = 0, unchanged = 0;
};

// Writes the archive to out_zip (through a part file), each changed file's
// difference in `format` (kBest: the smaller of the two), `jobs` differences
// made at a time (the archive is the same whatever the number). False with
// the reason in `error`; nothing is left at out_zip then.
bool WritePatchArchive(const std::string& old_dir, const std::string& new_dir,
                       const std::string& out_zip, int level, PatchSummary* summary,
                       std::string* error, DifferenceFormat format = DifferenceFormat::kBest,
                       unsigned jobs = 1);

}  // namespace mkpatch
