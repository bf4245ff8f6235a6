// tarv-mkpatch apply PATCH INSTALL_DIR: runs the patcher's own applier on a
// test installation, so that a publisher can try a patch before publishing
// it. A .zip is unpacked with tarv-unzip into a private temporary folder
// first. The patch is one step, as in the patcher: checked first, undone on
// any failure, and a step left by a killed run is finished before anything
// else. Every message is printed with its level, and the last line says
// whether the installation is at the version before or after the patch.

#include <cstdio>

#include "apply/patch_applier.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "mkpatch.h"

namespace mkpatch {

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
  TarvPatch::SetPatchCallbacks([](uint32_t total) { printf("entries: %u\n", total); }, nullptr,
                               [](int level, const std::wstring& text) {
                                 printf("[%d] %s\n", level, TarvText::ToUtf8(text).c_str());
                                 fflush(stdout);
                               });
  const std::wstring install = TarvUtil::FromFsPath(args[1]);
  if (!TarvPatch::RecoverInterruptedStep(install)) {
    if (!temp.empty()) RemoveTree(temp);
    return Fail("an earlier step in " + args[1] + " could not be finished");
  }
  TarvPatch::StepOptions options;
  options.from_version = L"before the patch";
  options.to_version = L"after the patch";
  TarvPatch::SetPatchStepOptions(options);
  bool ok =
      TarvPatch::ApplyPatchProject(install, TarvUtil::FromFsPath(project), L"TarvLauncher.exe") &&
      TarvPatch::CommitPatchStep();
  TarvPatch::UndoResult undo =
      ok ? TarvPatch::UndoResult::kNothingOpen : TarvPatch::UndoPatchStep();
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
