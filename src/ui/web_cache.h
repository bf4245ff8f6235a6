// The banner's page is fetched fresh every time: the web view's cache is
// switched off for the process. Platform code beside the web view's back end
// (web_cache_linux.cpp for WebKitGTK). GUI thread.
#pragma once

class wxWebView;

namespace TarvPatch {

// Switches the cache of `view`'s engine off; does nothing where the engine
// cannot be reached.
void TurnOffWebCache(wxWebView* view);

}  // namespace TarvPatch
