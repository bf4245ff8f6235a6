// tarv-mkpatch diff [--level N] [--format 1|2|best] OLD NEW DIFF
#include <cstdio>

#include "difference.h"
#include "mkpatch.h"

namespace mkpatch {

int CmdDiff(const Args& in) {
  Args args = in;
  int level = kDefaultLevel;
  std::string error;
  DifferenceFormat format = DifferenceFormat::kBest;
  if (!TakeLevelOption(&args, &level, &error) || !TakeFormatOption(&args, &format, &error))
    return Fail(error);
  if (args.size() != 3)
    return Fail("usage: tarv-mkpatch diff [--level N] [--format 1|2|best] OLD NEW DIFF");
  if (!MakeDifference(args[0], args[1], args[2], level, &error, format)) return Fail(error);
  if (!ProveDifference(args[0], args[2], args[1], &error)) {
    remove(args[2].c_str());
    return Fail(error);
  }
  return 0;
}

}  // namespace mkpatch
