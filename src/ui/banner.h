// The banner at the top of the window: a web page of the publisher, 450 x
// 100 pixels, without browser furniture. It stays hidden until its page has
// loaded completely, so a page that never loads costs nothing.
#pragma once

#include <wx/string.h>
#include <wx/window.h>

#include <functional>

class wxWebView;
class wxWebViewEvent;

namespace TarvPatch {

// The banner page: TARV_PATCHER_BANNER_URL when set, else the address chosen
// at build time, else the page shipped with the program (installed or in the
// source tree); "" when none of them exists.
wxString BannerAddress();

// The web view in the window. Owned by the window (the web view is a child
// of its panel); GUI thread. Without a web view backend it creates nothing.
class Banner {
 public:
  // Creates the web view (the window hides it once its layout is made); `onShown` is called once
  // the page has loaded, so that the window can lay itself out again.
  Banner(wxWindow* parent, int id, const wxString& address, std::function<void()> onShown);
  Banner(const Banner&) = delete;
  Banner& operator=(const Banner&) = delete;

  wxWebView* View() const { return m_view; }
  bool IsShown() const;
  // Hides the view until its page has loaded.
  void Hide();
  wxString CurrentAddress() const;

 private:
  void OnNavigating(wxWebViewEvent& event);
  void OnLoaded(wxWebViewEvent& event);
  void OnError(wxWebViewEvent& event);
  void OnNewWindow(wxWebViewEvent& event);

  wxWebView* m_view = nullptr;
  std::function<void()> m_onShown;
  bool m_loadFailed = false;
  // Links open in the banner itself; the other policy sends them to the
  // desktop's browser.
  bool m_openLinksOutside = false;
};

}  // namespace TarvPatch
