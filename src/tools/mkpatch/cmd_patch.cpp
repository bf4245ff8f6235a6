// tarv-mkpatch patch [--level N] [--format 1|2|best] [--jobs N] OLD_DIR NEW_DIR OUT.zip
#include <cstdio>

#include "difference.h"
#include "mkpatch.h"
#include "patch_archive.h"

namespace mkpatch {

int CmdPatch(const Args& in) {
  Args args = in;
  int level = kDefaultLevel;
  std::string error;
  DifferenceFormat format = DifferenceFormat::kBest;
  unsigned jobs = DefaultJobs();
  if (!TakeLevelOption(&args, &level, &error) || !TakeFormatOption(&args, &format, &error) ||
      !TakeJobsOption(&args, &jobs, &error))
    return Fail(error);
  if (args.size() != 3)
    return Fail(
        "usage: tarv-mkpatch patch [--level N] [--format 1|2|best] [--jobs N] OLD_DIR NEW_DIR "
        "OUT.zip");
  if (!RefuseSecretKeys(args[1], &error)) return Fail(error);
  PatchSummary s;
  if (!WritePatchArchive(args[0], args[1], args[2], level, &s, &error, format, jobs))
    return Fail(error);
  printf(
      "%s: %zu added (%zu of them changed files shipped whole), %zu deleted, %zu patched, "
      "%zu unchanged\n",
      args[2].c_str(), s.added, s.shipped_whole, s.deleted, s.patched, s.unchanged);
  return 0;
}

}  // namespace mkpatch
