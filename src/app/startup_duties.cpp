#include "app/startup_duties.h"

#include "apply/patch_applier.h"
#include "os/temp_folder.h"
#include "session/installation_record.h"

namespace TarvPatch {

StartupDuties RunStartupDuties(const std::wstring& install_dir, PrivateTempFolder* temp) {
  StartupDuties duties;
  duties.lock = TakeInstallationLock(install_dir);
  if (duties.lock == InstallationLockResult::kBusy) return duties;
  if (temp != nullptr) {
    temp->Create();
  } else {
    TarvUtil::EnsureTempFolder(nullptr);
  }
  // The recovery reports through the applier's message route; here its lines
  // are kept for the session's report instead of going to standard error.
  SetPatchCallbacks({}, {}, [&duties](int level, const std::wstring& text) {
    duties.lines.emplace_back(level, wxString(text));
  });
  duties.recovered = RecoverInterruptedStep(install_dir, ResetGameConfiguration);
  SetPatchCallbacks({}, {}, {});
  return duties;
}

}  // namespace TarvPatch
