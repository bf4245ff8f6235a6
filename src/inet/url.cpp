#include "inet/url.h"

#include <cstdlib>

namespace TarvInet {

namespace {

// Splits `text` once at the first `separator`. Without it the whole text
// goes to `first` when `whole_to_first` is set, else to `second`.
void SplitOnce(const std::string& text, const std::string& separator, bool whole_to_first,
               std::string& first, std::string& second) {
  size_t at = text.find(separator);
  if (at == std::string::npos) {
    first = whole_to_first ? text : std::string();
    second = whole_to_first ? std::string() : text;
    return;
  }
  std::string before = text.substr(0, at);
  second = text.substr(at + separator.size());
  first = before;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  for (size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= text.size()) return false;
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

InetResult ParseUrl(const std::string& url, std::string& scheme, std::string& host, int& port,
                    std::string& user, std::string& password, std::string& path) {
  std::string rest, userinfo, hostport, port_text;
  SplitOnce(url, "://", false, scheme, rest);
  SplitOnce(rest, "@", false, userinfo, rest);
  SplitOnce(userinfo, ":", true, user, password);
  SplitOnce(rest, "/", true, hostport, path);
  SplitOnce(hostport, ":", true, host, port_text);
  port = atoi(port_text.c_str());
  for (char& c : scheme) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (host.empty() || (user.empty() && !password.empty())) return INET_BAD_ADDRESS;
  return INET_OK;
}

InetResult NormalizeScheme(std::string& scheme, const std::string& host, int port) {
  if (!scheme.empty()) return INET_OK;
  if (port == 21 || port == 80 || port == 443) {
    scheme = port == 21 ? "ftp" : (port == 80 ? "http" : "https");
    return INET_OK;
  }
  // "https" before "http", which it begins with.
  for (const char* known : {"ftp", "https", "http"}) {
    if (StartsWithNoCase(host, known)) {
      scheme = known;
      return INET_OK;
    }
  }
  scheme = "http";
  return INET_BAD_ADDRESS;
}

InetResult DefaultPort(const std::string& scheme, int& port) {
  if (port >= 1) return INET_OK;
  if (scheme == "http") {
    port = 80;
  } else if (scheme == "https") {
    port = 443;
  } else if (scheme == "ftp") {
    port = 21;
  } else {
    return INET_BAD_ADDRESS;
  }
  return INET_OK;
}

std::string RedactUrl(const std::string& url) {
  size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t at = url.find('@', start);
  if (at == std::string::npos) return url;
  size_t colon = url.find(':', start);
  if (colon == std::string::npos || colon > at || colon + 1 == at) return url;
  return url.substr(0, colon + 1) + "***" + url.substr(at);
}

}  // namespace TarvInet
