// The entry point of tarv-patcher.
#include "app/patcher_app.h"

wxIMPLEMENT_APP(TarvPatch::ObelkPatcherApp);
