// Shows the patcher's window with settings from the command line and a
// scripted worker, so that the window can be driven like the real program:
//   tarv-window-harness [--mode download|repair|standalone] [--folder PATH]
//                       [--script SCRIPT] [--summary TEXT] [--banner URL]
// The language comes from LanguageID as in the patcher. The session log
// (TARV_PATCHER_LOG) records what the window shows, plus
// {"event":"app:told-cancelled"} when the window tells the application of a
// confirmed cancel and {"event":"app:exit"} when the application ends.
#include <wx/app.h>
#include <wx/cmdline.h>

#include "os/messages.h"
#include "scripted_worker.h"
#include "ui/banner.h"
#include "ui/patch_main_frame.h"
#include "ui/session_log.h"
#include "ui/window_ids.h"

namespace {

class HarnessApp : public wxApp {
 public:
  bool OnInit() override;
  int OnExit() override {
    TarvPatch::SessionLog::Get().Event("app:exit");
    return 0;
  }

 private:
  void OnPatchCancelled(wxCommandEvent&) {
    TarvPatch::SessionLog::Get().Event("app:told-cancelled");
  }
};

bool HarnessApp::OnInit() {
  TarvMessages::SelectLanguage();  // LanguageID, as the patcher does
  static const wxCmdLineEntryDesc options[] = {
      {wxCMD_LINE_OPTION, nullptr, "mode", "download, repair or standalone"},
      {wxCMD_LINE_OPTION, nullptr, "folder", "installation folder"},
      {wxCMD_LINE_OPTION, nullptr, "script", "worker script"},
      {wxCMD_LINE_OPTION, nullptr, "summary", "start-up summary"},
      {wxCMD_LINE_OPTION, nullptr, "banner", "banner address"},
      {wxCMD_LINE_NONE, nullptr, nullptr, nullptr},
  };
  wxCmdLineParser parser(options, argc, argv);
  if (parser.Parse(true) != 0) return false;
  wxString mode = "download", script, banner = TarvPatch::BannerAddress();
  TarvPatch::FrameSetup setup;
  setup.installFolder = "/games/Tarv";
  setup.startupSummary = "Patch Installer Version: 30323\n";
  parser.Found("mode", &mode);
  parser.Found("folder", &setup.installFolder);
  parser.Found("script", &script);
  parser.Found("summary", &setup.startupSummary);
  parser.Found("banner", &banner);
  setup.repair = mode == "repair";
  setup.localFile = mode == "standalone";
  setup.bannerAddress = banner;
  const std::string scriptText = script.utf8_string();
  setup.makeWorker = [scriptText](TarvPatch::SessionFrontEnd* frontEnd) {
    return TarvTest::ScriptedWorker::Make(frontEnd, scriptText);
  };
  Bind(wxEVT_MENU, &HarnessApp::OnPatchCancelled, this, TarvPatch::ID_PATCH_CANCELLED);
  auto* frame = new TarvPatch::PatchMainFrame(this, setup);
  frame->Show();
  SetTopWindow(frame);
  return true;
}

}  // namespace

wxIMPLEMENT_APP(HarnessApp);
