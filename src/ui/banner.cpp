#include "ui/banner.h"

#include <wx/filename.h>
#include <wx/stdpaths.h>
#include <wx/utils.h>
#include <wx/webview.h>

#include <cstdlib>

#include "os/message_ids.h"
#include "os/messages.h"
#include "ui/web_cache.h"

namespace TarvPatch {
namespace {

// No scroll bars and no text selection, whatever the page's own style says.
constexpr const char* kBannerStyleScript =
    "(function(){var s=document.createElement('style');"
    "s.textContent='html,body{overflow:hidden!important;"
    "-webkit-user-select:none!important;user-select:none!important}';"
    "(document.head||document.documentElement).appendChild(s);})();";

wxString LocalBannerPage() {
  const wxFileName program(wxStandardPaths::Get().GetExecutablePath());
  wxFileName installed(program.GetPath() + "/../share/tarv-patcher/banner/index.html");
  installed.Normalize(wxPATH_NORM_DOTS | wxPATH_NORM_ABSOLUTE);
  if (installed.FileExists()) return wxFileName::FileNameToURL(installed);
  const wxFileName source(wxString::FromUTF8(TARV_BANNER_SOURCE_PAGE));
  if (source.FileExists()) return wxFileName::FileNameToURL(source);
  return wxString();
}

}  // namespace

wxString BannerAddress() {
  if (const char* address = std::getenv("TARV_PATCHER_BANNER_URL"); address != nullptr) {
    return wxString::FromUTF8(address);
  }
  const wxString configured = wxString::FromUTF8(TARV_BANNER_URL);
  if (!configured.empty()) return configured;
  return LocalBannerPage();
}

Banner::Banner(wxWindow* parent, int id, const wxString& address, std::function<void()> onShown)
    : m_onShown(std::move(onShown)) {
  if (address.empty() || !wxWebView::IsBackendAvailable(wxWebViewBackendDefault)) return;
  m_view = wxWebView::New(parent, id, wxString::FromUTF8(wxWebViewDefaultURLStr), wxDefaultPosition,
                          wxSize(450, 100), wxWebViewBackendDefault, wxNO_BORDER | wxWANTS_CHARS,
                          "panel");
  if (m_view == nullptr) return;
  m_view->EnableContextMenu(false);
  m_view->EnableHistory(false);
  m_view->AddUserScript(kBannerStyleScript, wxWEBVIEW_INJECT_AT_DOCUMENT_END);
  m_view->Bind(wxEVT_WEBVIEW_NAVIGATING, &Banner::OnNavigating, this);
  m_view->Bind(wxEVT_WEBVIEW_LOADED, &Banner::OnLoaded, this);
  m_view->Bind(wxEVT_WEBVIEW_ERROR, &Banner::OnError, this);
  m_view->Bind(wxEVT_WEBVIEW_NEWWINDOW, &Banner::OnNewWindow, this);
  TurnOffWebCache(m_view);
  m_view->LoadURL(address);
}

void Banner::Hide() {
  if (m_view != nullptr) m_view->Hide();
}

bool Banner::IsShown() const { return m_view != nullptr && m_view->IsShown(); }

wxString Banner::CurrentAddress() const {
  return m_view != nullptr ? m_view->GetCurrentURL() : wxString();
}

void Banner::OnNavigating(wxWebViewEvent& event) {
  const wxString blank(TarvMessages::LoadMessage(TarvMessages::Id::kBannerBlank));
  if (!event.GetTarget().empty()) return;  // a frame inside the page
  if (m_openLinksOutside && event.GetURL() != blank) {
    event.Veto();
    wxLaunchDefaultBrowser(event.GetURL());
    return;
  }
  m_loadFailed = false;
}

void Banner::OnLoaded(wxWebViewEvent& event) {
  // WebKit also reports a failed load as finished; only a page that arrived
  // may show.
  if (m_loadFailed || event.GetURL() == wxWebViewDefaultURLStr) return;
  if (m_view->IsShown()) return;
  m_view->Show();
  if (m_onShown) m_onShown();
}

void Banner::OnError(wxWebViewEvent& /*event*/) { m_loadFailed = true; }

void Banner::OnNewWindow(wxWebViewEvent& event) {
  // A link meant for a new window stays in the banner too.
  m_view->LoadURL(event.GetURL());
}

}  // namespace TarvPatch
