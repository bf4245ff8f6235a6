// Putting the files of a repair in place as one step: either every
// damaged or missing file is replaced by its checked copy, or the
// installation is left exactly as it was. The copies are prepared in a
// staging folder on the installation's own file system, so each replacement
// is one rename. Worker thread only; reports failure by its result.
#pragma once

#include <string>
#include <vector>

namespace TarvPatch {

// One file to put in place: the checked copy and where it belongs.
struct RepairFile {
  std::wstring staged;  // inside the staging folder
  std::wstring target;  // inside the installation
};

// How a repair's files reach the installation. An interface so that the
// step can be carried by a journal that survives a killed process.
class RepairApplier {
 public:
  virtual ~RepairApplier() = default;
  // All files in place, or none: on failure every file replaced so far is
  // put back and folders made for missing files are removed again; `error`
  // says what failed.
  virtual bool Apply(const std::vector<RepairFile>& files, std::string* error) = 0;
};

// Carries the repair as one journalled step (apply/step_journal.h): each
// replaced file is moved into the journal, the checked copy renamed into
// its place, missing folders made; any failure undoes the step, and a run
// killed in between is undone at the next start.
class JournalRepairApplier : public RepairApplier {
 public:
  // `version` names the installation's version before and after the step.
  JournalRepairApplier(std::wstring install_dir, std::wstring version)
      : m_install(std::move(install_dir)), m_version(std::move(version)) {}
  bool Apply(const std::vector<RepairFile>& files, std::string* error) override;

 private:
  std::wstring m_install, m_version;
};

// A fresh, hidden staging folder inside the installation
// (".tarv-repair-XXXXXX"), after removing any a killed run left behind;
// false when it cannot be made.
bool MakeRepairStaging(const std::wstring& install_dir, std::wstring* folder);

// True for the name of a folder the patcher keeps inside an installation
// for its own work (staging, journals): never part of the game's files.
bool IsPatcherWorkName(const std::string& name);

}  // namespace TarvPatch
