#include "inet/internet_session.h"

#include <cstdlib>
#include <iostream>
#include <mutex>

#include "diag/test_hooks.h"

namespace TarvInetInternal {

namespace {

std::mutex g_session_mutex;
InternetSession* g_session = nullptr;

// The share object is used from whichever thread transfers; its parts are
// guarded by one mutex per kind of data.
std::mutex g_share_locks[CURL_LOCK_DATA_LAST];

void LockShare(CURL*, curl_lock_data data, curl_lock_access, void*) { g_share_locks[data].lock(); }

void UnlockShare(CURL*, curl_lock_data data, void*) { g_share_locks[data].unlock(); }

// The time limits' variables shorten waits for tests only.
long EnvNumber(const char* name, long fallback) {
  if (!TarvDiag::TestHooksAllowed()) return fallback;
  const char* text = getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  return (*end == '\0' && value >= 0) ? value : fallback;
}

const char* CaBundle() {
  for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
    const char* value = getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return nullptr;
}

}  // namespace

InternetSession* CreateInternetSession() {
  CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  CURLSH* share = code == CURLE_OK ? curl_share_init() : nullptr;
  if (share == nullptr) {
    LogLine("TarvInetInternal::CreateInternetSession> InternetOpen failed with error " +
            std::to_string(code == CURLE_OK ? CURLE_FAILED_INIT : code));
    return nullptr;
  }
  curl_share_setopt(share, CURLSHOPT_LOCKFUNC, LockShare);
  curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, UnlockShare);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  auto* session = new InternetSession;
  session->share = share;
  return session;
}

InternetSession* GetInternetSession() {
  std::lock_guard<std::mutex> lock(g_session_mutex);
  if (g_session == nullptr) g_session = CreateInternetSession();
  return g_session;
}

TimeLimits GetTimeLimits() {
  TimeLimits limits;
  limits.connect_seconds = EnvNumber("TARV_INET_CONNECT_TIMEOUT", limits.connect_seconds);
  limits.stall_seconds = EnvNumber("TARV_INET_STALL_SECONDS", limits.stall_seconds);
  limits.retry_pause_ms = EnvNumber("TARV_INET_RETRY_PAUSE_MS", limits.retry_pause_ms);
  limits.address_seconds = EnvNumber("TARV_INET_ADDRESS_SECONDS", limits.address_seconds);
  return limits;
}

CURLcode ConfigureHandle(InternetSession* session, CURL* handle) {
  TimeLimits limits = GetTimeLimits();
  CURLcode codes[] = {
      curl_easy_setopt(handle, CURLOPT_SHARE, session->share),
      curl_easy_setopt(handle, CURLOPT_USERAGENT, "Tarv"),
      curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L),
      curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveSize),
      curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limits.connect_seconds),
      curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond),
      curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limits.stall_seconds),
      curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L),
      curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L),
      CaBundle() ? curl_easy_setopt(handle, CURLOPT_CAINFO, CaBundle()) : CURLE_OK,
  };
  for (CURLcode code : codes) {
    if (code != CURLE_OK) return code;
  }
  return CURLE_OK;
}

void LogLine(const std::string& line) { std::cout << line << std::endl; }

}  // namespace TarvInetInternal
