// libFuzzer target: any text as an address. Parsing must not crash, and a
// successful parse keeps the invariants the transfer code relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "inet/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string url(reinterpret_cast<const char*>(data), size);
  url = url.substr(0, url.find('\0'));  // the address is a C text
  std::string scheme, host, user, password, path;
  int port = 0;
  if (TarvInet::ParseUrl(url, scheme, host, port, user, password, path) == INET_OK) {
    if (host.empty() || (user.empty() && !password.empty())) abort();
    if (host.find('/') != std::string::npos || host.find(':') != std::string::npos) abort();
    TarvInet::NormalizeScheme(scheme, host, port);
    if (scheme.empty()) abort();
    TarvInet::DefaultPort(scheme, port);
  }
  // The user part of the shown address holds "***" in place of a password.
  std::string shown = TarvInet::RedactUrl(url);
  if (!password.empty() && shown.size() > url.size() + 3) abort();
  return 0;
}
