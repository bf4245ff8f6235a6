// The process-wide internet session of the transfer layer: libcurl's global
// state and one share object (name lookups and TLS sessions), the agent
// name "Tarv", the environment's proxy variables (libcurl reads http_proxy,
// https_proxy, ftp_proxy and no_proxy itself), and the time limits that
// every connection of src/inet uses. Created on first use, kept until the
// process ends. Log lines of the transfer layer go through LogLine.
//
// Environment variables, for tests (values in whole numbers):
//   TARV_INET_CONNECT_TIMEOUT  seconds allowed for a connection (default 60)
//   TARV_INET_STALL_SECONDS    a transfer that moves less than 1 KiB in this
//                              many seconds fails (default 30)
//   TARV_INET_ADDRESS_SECONDS  the attempts for one address stop after this
//                              many seconds (default 180)
//   TARV_INET_RETRY_PAUSE_MS   pause between attempts of Fetch and
//                              QuerySize (default 1000)
//   CURL_CA_BUNDLE, SSL_CERT_FILE  certificate authorities trusted for https
//                              instead of the system's, as curl's tool does
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>

namespace TarvInetInternal {

// Owned by the process; never destroyed.
struct InternetSession {
  CURLSH* share = nullptr;
};

// The session, created by CreateInternetSession on first use. Null when
// creation failed (logged); the next call tries again. Safe from any thread.
InternetSession* GetInternetSession();

// Makes a new session. On failure logs "TarvInetInternal::CreateInternetSession>
// InternetOpen failed with error N" and returns null.
InternetSession* CreateInternetSession();

struct TimeLimits {
  long connect_seconds = 60;
  long stall_seconds = 30;
  long retry_pause_ms = 1000;
  long address_seconds = 180;
};
// The limits above, read from the environment at each call.
TimeLimits GetTimeLimits();

// Sets on a new easy handle what every connection shares: the session's
// share object, the agent name, time limits, chunk size, certificate
// authorities, no signals. Returns the first libcurl error, CURLE_OK when
// all were accepted.
CURLcode ConfigureHandle(InternetSession* session, CURL* handle);

// Writes one line to standard output and flushes it.
void LogLine(const std::string& line);

// A transfer slower than this many bytes per second for the stall time fails.
constexpr long kStallBytesPerSecond = 1024 / 30 + 1;

// Largest piece of data written into a data buffer at a time.
constexpr uint32_t kChunkSize = 16384;
// What libcurl receives from a socket at a time; handed on in chunks.
constexpr long kReceiveSize = 8L * kChunkSize;

}  // namespace TarvInetInternal
