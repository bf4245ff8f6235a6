// The installation record the patcher keeps in the registry: the
// "IsPatching" marker around the apply step, and the reset of the game's
// per-user configuration files after a chain that applied a patch. Safe from
// any thread (each call opens its own keys); results report success only.
#pragma once

#include <string>

namespace TarvPatch {

// The machine key the access test, the marker and the reset use.
inline constexpr const wchar_t* kInstallationKey = L"Software\\Obelk\\Tarv";

// The configuration files, deleted in this order by the reset.
inline constexpr const wchar_t* kGameConfigurationFiles[] = {
    L"QXEditor.ini", L"QXEditorUserSettings.ini", L"QXEngine.ini", L"QXGame.ini", L"QXInput.ini",
};

// Sets "IsPatching" to the 32-bit number 1 under the existing machine key
// (the key is not created). True when the value was written.
bool SetPatchingMarker();

// Deletes "IsPatching". True when the value existed and was deleted.
bool ClearPatchingMarker();

// The folder of the game's configuration files, with a trailing "/":
//  - when the user's "TarvLauncher" key has a non-zero 4-byte "Installed":
//    the user's data folder ($XDG_DATA_HOME, else ~/.local/share; created
//    when missing) + "MyGames/Tarv/QXGame/Config/";
//  - otherwise the machine record's "InstallPath" (at most 259 characters)
//    + "QXGame/Config/".
// False when the folder cannot be determined.
bool GameConfigurationFolder(std::wstring* folder);

// Deletes the five configuration files from GameConfigurationFolder, passing
// over files that are missing or cannot be deleted. Nothing is deleted when
// the folder cannot be determined: the names would otherwise be taken
// relative to the current folder. Reports nothing.
void ResetGameConfiguration();

}  // namespace TarvPatch
