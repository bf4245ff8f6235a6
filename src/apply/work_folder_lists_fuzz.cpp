// Fuzz target: the three lists of an unpacked patch as they lie in the work
// folder that tarv-unzip fills. The input, cut at its first two NUL bytes,
// becomes addedFiles.txt, deletedFiles.txt and patchedFiles.txt; they are
// read back from the folder as the session reads them, and every added
// path handed on must be a safe path below the installation.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "apply/patch_list.h"
#include "apply/patch_path.h"
#include "apply/step_applier.h"
#include "data/file_util.h"

namespace {

std::string g_folder;

void WriteList(const std::string& name, const std::string& bytes) {
  FILE* f = fopen((g_folder + "/" + name).c_str(), "wb");
  if (f == nullptr) abort();
  if (fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_folder.empty()) {
    char templ[] = "/tmp/tarv-lists-fuzz-XXXXXX";
    if (mkdtemp(templ) == nullptr) abort();
    g_folder = templ;
  }
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const size_t first = bytes.find('\0');
  const size_t second = first == std::string::npos ? first : bytes.find('\0', first + 1);
  WriteList("addedFiles.txt", bytes.substr(0, first));
  WriteList("deletedFiles.txt",
            first == std::string::npos ? "" : bytes.substr(first + 1, second - first - 1));
  WriteList("patchedFiles.txt", second == std::string::npos ? "" : bytes.substr(second + 1));
  const std::wstring folder = TarvUtil::FromFsPath(g_folder);
  for (const wchar_t* name : {L"addedFiles.txt", L"deletedFiles.txt", L"patchedFiles.txt"}) {
    TarvPatch::PatchFileList list;
    std::string why;
    const auto result = TarvPatch::ReadPatchFileList(TarvUtil::JoinPath(folder, name), list, &why);
    if (result == TarvPatch::ListResult::kCannotOpen) abort();
    if (result == TarvPatch::ListResult::kBroken && (why.empty() || !list.empty())) abort();
  }
  TarvPatch::FunctionStepObserver quiet;
  for (const TarvPatch::PatchFileEntry& entry : TarvPatch::ReadAddedFileList(folder, quiet)) {
    if (!TarvPatch::IsSafeEntryPath(TarvPatch::SplitEntryPath(entry.m_path))) abort();
    const std::wstring joined =
        TarvPatch::JoinEntryPath(L"/base", TarvPatch::SplitEntryPath(entry.m_path));
    if (joined.compare(0, 6, L"/base/") != 0 || joined.find(L"/../") != std::wstring::npos) abort();
  }
  return 0;
}
