#include "app/patcher_app.h"

#include <gtest/gtest.h>

#include "ui/window_ids.h"

namespace TarvPatch {
namespace {

// The window tells the application about a confirmed cancel through its
// event table; only that command clears the on-exit launch.
TEST(PatcherAppTest, OnlyTheCancelNoticeClearsTheOnExitLaunch) {
  struct Case {
    int id;
    bool launch_after;
  };
  for (const Case& c : {Case{ID_THREAD_FINISHED, true}, Case{ID_PATCH_CANCELLED, false}}) {
    ObelkPatcherApp app;
    app.SetOnExitCommand("/usr/bin/true", true, "");
    wxCommandEvent notice(wxEVT_MENU, c.id);
    app.ProcessEvent(notice);
    EXPECT_EQ(app.LaunchOnExit(), c.launch_after) << c.id;
    EXPECT_EQ(app.OnExitCommand(), "/usr/bin/true");
  }
}

}  // namespace
}  // namespace TarvPatch
