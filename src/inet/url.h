// Address handling of the transfer layer: the address syntax of patch
// servers (scheme, user information, host, port, path), the scheme and port
// defaults, and the form of an address that may appear in log lines.
// Pure functions on narrow strings; any thread.
#pragma once

#include <string>

#include "inet/inet_result.h"

namespace TarvInet {

// Cuts `url` into its parts, each at the first separator: "://", "@", ":"
// (user/password), "/" (host/path), ":" (host/port). The scheme is
// lower-cased; the port is the leading decimal number of its text (0 when
// none); the path excludes the first '/' behind the host.
// REQUIRES: url has no NUL byte before its end (it is a C text).
// Returns INET_BAD_ADDRESS when the host is empty or a password comes
// without a user, else INET_OK (the parts are filled in either case).
InetResult ParseUrl(const std::string& url, std::string& scheme, std::string& host, int& port,
                    std::string& user, std::string& password, std::string& path);

// Fills an empty scheme from the port (21 ftp, 80 http, 443 https), else
// from the beginning of the host ("ftp", "https", "http", any case). Any
// other host gives "http" and INET_BAD_ADDRESS, which callers may ignore.
InetResult NormalizeScheme(std::string& scheme, const std::string& host, int port);

// A port below 1 becomes the scheme's default (http 80, https 443, ftp 21);
// an unknown scheme gives INET_BAD_ADDRESS and leaves the port alone.
InetResult DefaultPort(const std::string& scheme, int& port);

// The address with the password of its user information replaced by "***",
// for every line that shows an address.
std::string RedactUrl(const std::string& url);

}  // namespace TarvInet
