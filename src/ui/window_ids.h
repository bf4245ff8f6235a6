// Window and command ids shared by the window, its worker and the
// application object.
#pragma once

namespace TarvPatch {

enum WindowId {
  ID_APPLY_BUTTON = 0,
  ID_CANCEL_BUTTON = 1,
  ID_BANNER = 501,
};

// Command events on wxEVT_MENU between window, worker and application.
enum CommandId {
  ID_PATCH_CANCELLED = 1,  // window to application: the user confirmed a cancel
  ID_THREAD_FINISHED = 2,  // worker to window: the session has ended
};

enum TimerId { ID_PROGRESS_TIMER = 1 };

}  // namespace TarvPatch
