#include <dlfcn.h>
#include <wx/webview.h>

#include "ui/web_cache.h"

namespace TarvPatch {

// WebKit's cache model "document viewer" (0). The functions are looked up
// in the WebKit library the web view has loaded, so that no development
// files of WebKit are needed to build.
void TurnOffWebCache(wxWebView* view) {
  using GetContext = void* (*)(void*);
  using SetCacheModel = void (*)(void*, int);
  constexpr int kDocumentViewer = 0;
  auto get_context =
      reinterpret_cast<GetContext>(dlsym(RTLD_DEFAULT, "webkit_web_view_get_context"));
  auto set_cache_model =
      reinterpret_cast<SetCacheModel>(dlsym(RTLD_DEFAULT, "webkit_web_context_set_cache_model"));
  void* native = view->GetNativeBackend();
  if (get_context == nullptr || set_cache_model == nullptr || native == nullptr) return;
  if (void* context = get_context(native)) set_cache_model(context, kDocumentViewer);
}

}  // namespace TarvPatch
