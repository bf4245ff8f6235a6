// Fuzz target: the list reader and the path rules applied to every entry.
// Checks that a safe entry never leaves its base folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "apply/patch_list.h"
#include "apply/patch_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  TarvPatch::PatchFileList list;
  std::string why;
  if (TarvPatch::ParsePatchFileList(bytes, list, &why) != TarvPatch::ListResult::kOk) {
    if (why.empty() || !list.empty()) abort();
    return 0;
  }
  for (const auto& entry : list) {
    TarvPatch::EntryPath path = TarvPatch::SplitEntryPath(entry.m_path);
    if (!TarvPatch::IsSafeEntryPath(path)) continue;
    std::wstring joined = TarvPatch::JoinEntryPath(L"/base", path, L".diff");
    if (joined.compare(0, 6, L"/base/") != 0) abort();
    if (joined.find(L"/../") != std::wstring::npos) abort();
    if ((joined.size() >= 3 && joined.compare(joined.size() - 3, 3, L"/..") == 0)) abort();
  }
  return 0;
}
