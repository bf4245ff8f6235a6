// The check for the PhysX runtime the game needs, run once after a patch
// chain that ended without error: when the runtime is missing the user is
// told and the PhysX installer that the game ships in "Binaries" is started
// and waited for. Worker thread of the session; nothing here fails the
// session.
#pragma once

#include <functional>
#include <string>

namespace TarvPatch {

// True when the machine hive's "SOFTWARE\AGEIA Technologies" value
// "PhysXCore Path" names a folder whose "v2.6.4" sub-folder holds both
// "PhysXCore.dll" and "PhysXCooking.dll". Every failure counts as missing.
bool IsPhysXInstalled();

// The installer's path from "InstallPath" under "SOFTWARE\Obelk\Tarv":
// "Binaries/PhysX_7.06.25_SystemSoftware.exe" inside it. Empty when the
// value is missing or empty, or the folder or the file does not exist.
std::wstring FindPhysXInstaller();

// When the runtime is missing: reports message 177 at level 0 through
// `report`, then starts the installer (if there is one) and waits for it
// without limit. A failed start writes message 138 and the reason to
// standard error.
void CheckPhysXRuntime(const std::function<void(int level, const std::wstring& text)>& report);

}  // namespace TarvPatch
