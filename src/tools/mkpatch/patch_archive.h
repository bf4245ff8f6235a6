// Makes a patch archive from two installation trees: the three lists
// (`\` separators, CR LF line ends, digest after then digest before), and
// data/ with the new files and the `.diff` files. Unchanged files are left
// out; a changed file is shipped whole in the added list when its old
// version is beyond the difference window, when its difference would not be
// smaller than the file, or when it is the difference tool itself (which
// cannot rebuild itself while it runs).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "difference.h"

namespace mkpatch {

struct PatchSummary {
  size_t added = 0, deleted = 0, patched = 0, shipped_whole = 0, unchanged = 0;
};

// A changed file of a patch, whose difference is made at `diff` (by this
// program's jobs, or by other machines; see cmd_jobs.cpp).
struct ChangedFile {
  std::string rel, old_path, new_path, before, after, diff;
  uint64_t new_size = 0;
  bool whole = false;  // shipped whole without a difference (too large, or the tool itself)
  bool ok = true;      // false when making the difference failed; `error` says why
  std::string error;
};

// A file of the new tree in the archive's order: added (with its digest),
// or changed (`changed` indexes PatchPlan::changed).
struct PlannedEntry {
  std::string rel, path, digest;
  size_t changed = SIZE_MAX;
};

// Everything a patch archive needs except the differences themselves.
struct PatchPlan {
  std::vector<PlannedEntry> entries;
  std::vector<ChangedFile> changed;
  std::vector<std::pair<std::string, std::string>> deleted;  // path, digest before
  size_t unchanged = 0;
};

// Compares the trees (digests of every file) and names each difference's
// file below `work`. False with the reason in `error`.
bool PlanPatch(const std::string& old_dir, const std::string& new_dir, const std::string& work,
               PatchPlan* plan, std::string* error);

// Writes the archive of a plan whose differences are made: a changed file
// whose difference is not smaller than itself goes whole. The same plan and
// differences give the same bytes, wherever the differences were made.
bool FinishPatch(const PatchPlan& plan, const std::string& out_zip, PatchSummary* summary,
                 std::string* error);

// Writes the archive to out_zip (through a part file), each changed file's
// difference in `format` (kBest: the smaller of the two), `jobs` differences
// made at a time (the archive is the same whatever the number). False with
// the reason in `error`; nothing is left at out_zip then.
bool WritePatchArchive(const std::string& old_dir, const std::string& new_dir,
                       const std::string& out_zip, int level, PatchSummary* summary,
                       std::string* error, DifferenceFormat format = DifferenceFormat::kBest,
                       unsigned jobs = 1);

}  // namespace mkpatch
