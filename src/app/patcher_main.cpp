// The entry point of tarv-patcher. The usage, the version and the
// window-less mode run on the toolkit's base library alone, so that they
// work without a display; everything else opens the window.
#include <wx/init.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console_app.h"
#include "app/exit_codes.h"
#include "app/patcher_app.h"
#include "app/unattended.h"

namespace {

int RunWithoutWindow(const TarvPatch::ProgramMode& mode, int argc, char** argv) {
  wxApp::SetInstance(new TarvPatch::ConsoleApp());
  wxInitializer toolkit(argc, argv);
  if (!toolkit.IsOk()) return TarvPatch::kExitAborted;
  if (mode.help) return TarvPatch::PrintUsage();
  if (mode.version) return TarvPatch::PrintVersion();
  // The console application object, not wxTheApp, which names a GUI one.
  const wxAppConsole* app = wxAppConsole::GetInstance();
  std::vector<wxString> args;
  args.reserve(static_cast<size_t>(app->argc));
  for (int i = 0; i < app->argc; ++i) args.emplace_back(app->argv[i]);
  return TarvPatch::RunUnattended(args);
}

}  // namespace

int main(int argc, char** argv) {
  const TarvPatch::ProgramMode mode =
      TarvPatch::ScanProgramMode(std::vector<std::string>(argv, argv + argc));
  if (mode.help || mode.version || mode.unattended) return RunWithoutWindow(mode, argc, argv);
  wxApp::SetInstance(new TarvPatch::ObelkPatcherApp());
  const int code = wxEntry(argc, argv);
  return TarvPatch::ObelkPatcherApp::StartupExitCode().value_or(code);
}
