// tarv-mkpatch apply PATCH INSTALL_DIR: runs the patcher's own applier on a
// test installation, so that a publisher can try a patch before publishing
// it. A .zip is unpacked with tarv-unzip into a private temporary folder
// first. The patch is one step, as in the patcher: checked first, undone on
// any failure, and a step left by a killed run is finished before anything
// else. Every message is printed with its level, and the last line says
// whether the installation is at the version before or after the patch.

#include <cstdio>

#include "apply/step_applier.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "mkpatch.h"

namespace mkpatch {
namespace {

// The publisher's console: the number of entries once, then each line of
// the step with its level, as it comes. A console step is never cancelled.
class ConsoleStepObserver : public TarvPatch::StepObserver {
 public:
  void Total(uint32_t count) override { printf("entries: %u\n", count); }
  bool Step() override { return true; }
  void Line(int level, const std::wstring& text) override {
    printf("[%d] %s\n", level, TarvText::ToUtf8(text).c_str());
    fflush(stdout);
  }
  bool Cancelled() override { return false; }
};

// Applies and commits the project as one step, undoing it on any failure.
bool ApplyOneStep(const std::wstring& install, const std::string& project,
                  TarvPatch::StepObserver& console, TarvPatch::UndoResult* undo) {
  TarvPatch::StepOptions options;
  options.from_version = L"before the patch";
  options.to_version = L"after the patch";
  TarvPatch::StepApplier step(install, TarvUtil::FromFsPath(project), options, console);
  if (step.Apply(L"TarvLauncher.exe") && step.Commit()) return true;
  *undo = step.Undo();
  return false;
}

}  // namespace

int CmdApply(const Args& args) {
  if (args.size() != 2) return Fail("usage: tarv-mkpatch apply PATCH.zip|PATCH_DIR INSTALL_DIR");
  const std::string& patch = args[0];
  if (!IsFolder(args[1])) return Fail(args[1] + ": not a folder");
  std::string project = patch, temp;
  if (!IsFolder(patch)) {
    temp = MakePrivateTempDir();
    if (temp.empty()) return Fail("cannot make a temporary folder");
    std::string error;
    if (!UnpackArchive(patch, temp, &error)) {
      RemoveTree(temp);
      return Fail(error);
    }
    project = temp + "/project";
  }
  ConsoleStepObserver console;
  const std::wstring install = TarvUtil::FromFsPath(args[1]);
  if (!TarvPatch::RecoverInterruptedStep(install, console)) {
    if (!temp.empty()) RemoveTree(temp);
    return Fail("an earlier step in " + args[1] + " could not be finished");
  }
  TarvPatch::UndoResult undo = TarvPatch::UndoResult::kNothingOpen;
  const bool ok = ApplyOneStep(install, project, console, &undo);
  if (!temp.empty()) RemoveTree(temp);
  if (ok) {
    printf("applied: the installation is at the version after the patch\n");
    return 0;
  }
  if (undo == TarvPatch::UndoResult::kFailed) {
    return Fail(
        "the patch did not apply, and the installation could not be returned to the "
        "version before it; the next run tries again");
  }
  return Fail("the patch did not apply: the installation is at the version before the patch");
}

}  // namespace mkpatch
