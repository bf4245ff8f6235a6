// What every patcher process owes an installation before its first session,
// whichever front end shows the session: the installation lock, a private
// folder for the session's files, and the recovery of a step that a killed
// run left half done. Run once per process on the main thread, after the
// command line is read and, in an elevated copy, after the invoking user was
// adopted (an owed configuration reset must find the player's folders).
#pragma once

#include <wx/string.h>

#include <string>
#include <utility>
#include <vector>

#include "app/installation_lock.h"
#include "app/private_temp_folder.h"

namespace TarvPatch {

// A line for the session's report: level (0 plain, 1 minor, 2 error) and text.
using StartupLine = std::pair<int, wxString>;

struct StartupDuties {
  InstallationLockResult lock = InstallationLockResult::kUnknown;
  // False when a journal was left that could not be finished (busy or
  // failed); the session's step then refuses to start over it.
  bool recovered = true;
  // What the recovery reported, in order, for the front end to show as the
  // first lines of the session.
  std::vector<StartupLine> lines;
};

// Takes the lock of `install_dir`; when another patcher holds it, stops
// there (kBusy, nothing else done). Otherwise makes sure of the temporary
// folder (the private one when TEMP is not set), makes `temp` in it when
// given, and finishes the journal left in the installation, if any,
// collecting its report lines. The window passes no `temp`: each of its
// sessions makes and removes a folder of its own, and one for the process
// would only stay behind while the window is open; the window-less mode,
// which may end without joining its worker, removes everything at once
// with `temp`.
StartupDuties RunStartupDuties(const std::wstring& install_dir, PrivateTempFolder* temp);

}  // namespace TarvPatch
