#include "session/download_limit.h"

#include <string>

#include "data/file_util.h"
#include "inet/transfer_control.h"
#include "os/registry.h"
#include "session/installation_record.h"

namespace TarvPatch {

uint64_t UserDownloadLimit() {
  OS::RegistryKey key;
  if (!key.Open(OS::RegistryHive::kUser, kInstallationKey, OS::RegistryKey::Access::kRead)) {
    return 0;
  }
  uint32_t number = 0;
  if (key.QueryDword(L"DownloadLimit", &number)) return number;
  std::wstring text;
  uint64_t rate = 0;
  if (key.QueryString(L"DownloadLimit", &text) &&
      TarvInet::ParseRate(TarvUtil::ToNarrow(text), &rate)) {
    return rate;
  }
  return 0;
}

uint64_t EffectiveDownloadLimit(uint64_t commandLine) {
  return commandLine != 0 ? commandLine : UserDownloadLimit();
}

}  // namespace TarvPatch
