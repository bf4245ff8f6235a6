#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "app/private_temp_folder.h"
#include "data/file_util.h"
#include "diag/system_log.h"
#include "diag/text_encoding.h"
#include "os/temp_folder.h"

namespace TarvPatch {

bool PrivateTempFolder::Create() {
  std::wstring base;
  if (!TarvUtil::EnsureTempFolder(&base)) return false;
  std::string pattern = TarvText::ToUtf8(base);
  while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
  pattern += "/session-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) {
    SystemLogA("session folder in %s: %s\n", pattern.c_str(), strerror(errno));
    return false;
  }
  m_path = name.data();
  TarvUtil::SetSessionTempFolder(TarvText::FromUtf8(m_path));
  return true;
}

void PrivateTempFolder::Remove() {
  if (m_path.empty()) return;
  TarvUtil::SetSessionTempFolder(L"");
  TarvUtil::DeleteDirectoryTree(TarvText::FromUtf8(m_path));
  m_path.clear();
}

}  // namespace TarvPatch
