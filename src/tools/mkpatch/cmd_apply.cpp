// tarv-mkpatch apply PATCH INSTALL_DIR: runs the patcher's own applier on a
// test installation, so that a publisher can try a patch before publishing
// it. A .zip is unpacked with tarv-unzip into a private temporary folder
// first. Every message is printed with its level.
#include <sys/stat.h>

#include <cstdio>

#include "apply/patch_applier.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "mkpatch.h"
#include "os/process.h"

namespace mkpatch {
namespace {

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Unpacks the archive into `folder`; false with the reason in `error`.
bool Unpack(const std::string& archive, const std::string& folder, std::string* error) {
  std::string why;
  int code = OS::RunProgram({ProgramDir() + "/tarv-unzip", "-o", "-x", archive, "-d", folder}, &why);
  if (code == 0) return true;
  *error = code < 0 ? "cannot run tarv-unzip: " + why
                    : archive + ": tarv-unzip failed (exit " + std::to_string(code) + ")";
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
    if (!Unpack(patch, temp, &error)) {
      RemoveTree(temp);
      return Fail(error);
    }
    project = temp;
  }
  TarvPatch::SetPatchCallbacks(
      [](uint32_t total) { printf("entries: %u\n", total); }, nullptr,
      [](int level, const std::wstring& text) {
        printf("[%d] %s\n", level, TarvText::ToUtf8(text).c_str());
        fflush(stdout);
      });
  bool ok = TarvPatch::ApplyPatchProject(TarvUtil::FromFsPath(args[1]),
                                         TarvUtil::FromFsPath(project), L"TarvLauncher.exe");
  if (!temp.empty()) RemoveTree(temp);
  if (!ok) return Fail("the patch did not apply cleanly");
  printf("applied\n");
  return 0;
}

}  // namespace mkpatch
