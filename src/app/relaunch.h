// The elevated relaunch: when this process may not write where patching
// must, a second copy of the patcher is started through the elevation
// prompt with the same settings and --admin, and this copy waits for it.
// GUI thread, during start-up.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "session/install_access.h"
#include "session/patch_settings.h"

namespace TarvPatch {

// The settings as the parameter string that is logged ("parm: %s"):
// "--admin ", "--repair " when repairing, "--server=\"a;b\" " when there are
// servers (a password in them shown as "***"), "--final=<final> ", then the
// current version and the quoted installation folder. Option names come
// from the string table.
std::wstring BuildRelaunchParameters(const PatchSettings& settings);

// The same settings as the argument vector the elevated copy receives (no
// quoting needed: "--server=a;b" and the folder are single arguments).
std::vector<std::string> BuildRelaunchArguments(const PatchSettings& settings);

// What RelaunchElevated needs from the application object.
struct RelaunchHooks {
  // Decides whether this process may patch (CheckInstallAccess by default).
  // A false answer counts as missing write access.
  std::function<bool(const std::wstring& install_dir)> has_access;
  // Replaces has_access where the problem matters.
  std::function<AccessCheck(const std::wstring& install_dir)> check_access;
  // Tells the user that the elevated copy could not be started (kNoPrivileges,
  // caption kRequiresAdminCaption); returns when the box is closed.
  std::function<void()> show_refusal;
  // Shows any other box (no owner, OK); ShowPatcherBox by default.
  std::function<void(const std::wstring& text, const std::wstring& caption)> show_box;
  // Starts this instance's --onexit program.
  std::function<void()> launch_on_exit;
  // Told the exit code of the elevated copy once it has ended.
  std::function<void(int exit_code)> elevated_ended;
};

// False when `settings` passes the access test (start-up goes on). A
// problem elevation cannot mend (no installation folder, no Binaries, a
// damaged machine hive) is named in a box (caption 405). Otherwise it logs
// the parameter string, starts `program` (an absolute path) elevated with
// BuildRelaunchArguments and waits without limit; without pkexec the box
// says that elevation is not available (406), when pkexec ends with 126 or
// 127 it says that pkexec could not run the program (407), and when the
// launcher cannot start it shows the refusal. In every case it then
// launches the on-exit program and answers true: this instance ends.
bool RelaunchElevated(const std::string& program, const PatchSettings& settings,
                      const RelaunchHooks& hooks);

// Start-up's privilege step. With `admin` (this is the elevated copy, or
// the player asked for no elevation): true when the access test passes,
// otherwise the problem's box or the refusal is shown and the answer is
// false. Without it:
// RelaunchElevated with the running program; true when start-up goes on
// here. A copy started by pkexec first adopts the invoking user's folders.
bool CheckInstallPrivileges(bool admin, const PatchSettings& settings, const RelaunchHooks& hooks);

// The box of a missing privilege: text kNoPrivileges, caption kRequiresAdminCaption ("Requires
// Administrator Privileges"), no owner, OK; recorded in the session log.
void ShowPrivilegesRefusal();

// A box without owner with an OK button, recorded in the session log.
void ShowPatcherBox(const std::wstring& text, const std::wstring& caption);

// The absolute path of the running program (its argument vector's first
// element may be relative, and the current folder changes during start-up).
std::string RunningProgramPath();

}  // namespace TarvPatch
