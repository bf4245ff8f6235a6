#include "app/startup.h"

#include <wx/filefn.h>

#include "diag/system_log.h"
#include "os/messages.h"
#include "session/patch_settings.h"

namespace TarvPatch {

bool RunStartup(const std::vector<wxString>& raw_args, PatchSettings& settings, StartupState* state,
                const StartupSteps& steps) {
  if (steps.set_up_crash_dumps) steps.set_up_crash_dumps();
  state->args = raw_args;
  RepairArguments(state->args);
  TarvMessages::SelectLanguage();
  state->options = std::make_unique<OptionTable>();
  if (!ReadCommandLine(state->args, *state->options, settings, &state->request,
                       steps.report_error)) {
    return false;
  }
  wxString folder = ProgramFolder(state->args.empty() ? wxString() : state->args[0]);
  if (!folder.empty() && !wxSetWorkingDirectory(folder)) {
    SystemLogW(L"Cannot change to the program folder %s\n", folder.wc_str());
  }
  if (steps.check_privileges && !steps.check_privileges(state->request)) return false;
  return steps.create_window && steps.create_window();
}

}  // namespace TarvPatch
