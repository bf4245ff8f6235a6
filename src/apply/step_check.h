// The check of a patch step before its first change: every entry of the
// three lists is looked at (paths inside the installation, sources in the
// project's data/ present and regular files, patched files at their old or
// new digest, the difference tool present, folders creatable, enough free
// space) and the step's plan of changes is made from what was found. Every
// problem is reported with the line the applier gives for that entry, and
// all of them are reported before the answer. Runs on the applier's thread;
// reports to the step's observer.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "apply/patch_list.h"
#include "apply/step_journal.h"
#include "apply/step_observer.h"

namespace TarvPatch {

// Digests already computed, kept with what identifies the file's content
// (device, inode, size, modification time), so that a file unchanged since
// is not read a second time.
class DigestCache {
 public:
  // The MD5 digest of `path`, from the cache when the file is unchanged.
  // False when the file cannot be read.
  bool Digest(const std::wstring& path, std::wstring* digest);
  // Computes the digests of these files ahead, on as many threads as there
  // are cores (at most four), each file read once. A file that cannot be
  // read is left for Digest to try and report.
  void Prefetch(const std::vector<std::wstring>& paths);

 private:
  struct Known {
    uint64_t dev = 0, ino = 0, size = 0;
    int64_t mtime_ns = 0;
    std::wstring digest;
  };
  // What identifies the file's content now; false when it cannot be stat'ed.
  static bool Identify(const std::wstring& path, Known* known);
  static bool SameContent(const Known& a, const Known& b);
  std::map<std::wstring, Known> m_known;
};

// What the applier does with one entry after the check.
struct PlannedEntry {
  size_t change = kNoChange;  // index in the plan, or kNoChange
  bool already_new = false;   // a patched file that carries the new digest
  bool missing = false;       // a deleted file that is not there
  static constexpr size_t kNoChange = static_cast<size_t>(-1);
};

struct CheckedStep {
  std::vector<StepChange> plan;
  std::vector<PlannedEntry> added, deleted, patched;
  uint64_t bytes_needed = 0;
  DigestCache digests;
};

// Checks the step; true when nothing stands in its way. `step` is filled in
// either way. `reserve` (bytes) is added to the space the step needs, for the
// files written after the applier (the uninstaller's log).
bool CheckStep(const std::wstring& install_dir, const std::wstring& project_dir,
               const PatchFileList& added, const PatchFileList& deleted,
               const PatchFileList& patched, uint64_t reserve, StepObserver& observer,
               CheckedStep* step);

// True when no component of `rel` (relative to the installation, as
// RelativeFsPath gives it) is a link; otherwise the entry, as `shown`, is
// reported to `observer` at level 2 as refused. A missing component ends the look: what
// is made there later is made by the step itself.
bool NoLinkOnPath(const std::wstring& install_dir, const std::string& rel,
                  const std::wstring& shown, StepObserver& observer);

// The path of a list entry relative to the installation, as the journal
// keeps it ("/" between components, no leading slash).
std::string RelativeFsPath(const std::wstring& entry_path);

}  // namespace TarvPatch
