#include "app/startup_duties.h"

#include "apply/step_applier.h"
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
  // The recovery's lines are kept for the session's report, which shows
  // them once a front end is there.
  FunctionStepObserver keep_lines([&duties](int level, const std::wstring& text) {
    duties.lines.emplace_back(level, wxString(text));
  });
  duties.recovered = RecoverInterruptedStep(install_dir, keep_lines, ResetGameConfiguration);
  return duties;
}

}  // namespace TarvPatch
