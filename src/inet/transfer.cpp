#include "inet/transfer.h"

#include <chrono>
#include <thread>

#include "inet/ftp.h"
#include "inet/http.h"
#include "inet/internet_session.h"
#include "inet/url.h"

namespace TarvInet {

namespace {

constexpr int kFetchRepeats = 10;
constexpr int kFtpSizeRepeats = 4;
constexpr int kHttpSizeRepeats = 10;

void PauseBeforeRetry() {
  long ms = TarvInetInternal::GetTimeLimits().retry_pause_ms;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct Address {
  std::string scheme, host, user, password, path;
  int port = 0;
};

InetResult Parse(const std::string& url, Address& a) {
  InetResult r = ParseUrl(url, a.scheme, a.host, a.port, a.user, a.password, a.path);
  if (r != INET_OK) return r;
  NormalizeScheme(a.scheme, a.host, a.port);  // an unknown host start means http
  return INET_OK;
}

// Runs `attempt` up to 1 + repeats times; `before_retry` runs after each
// pause. Stops early when `final` says another attempt cannot help, and when
// the buffer refused the data (full, or the disk full): it would refuse
// them again.
template <typename Attempt, typename BeforeRetry, typename Final>
InetResult Retry(int repeats, Attempt attempt, BeforeRetry before_retry, Final final) {
  for (int left = repeats;; --left) {
    InetResult r = attempt();
    if (r == INET_OK || left == 0 || r == INET_WRITE_FAILED || final()) return r;
    PauseBeforeRetry();
    before_retry();
  }
}

InetResult FtpFetch(const Address& a, TarvDataBuffer* buffer) {
  TarvFTP ftp;
  int port = a.port;
  DefaultPort(a.scheme, port);
  InetResult r = Retry(
      kFetchRepeats,
      [&] {
        InetResult open = ftp.Open(a.host, a.user, a.password, TarvFTP::kPassive, port);
        return open != INET_OK ? open : ftp.GetFileAtPath(a.path, buffer);
      },
      [] {}, [] { return false; });
  ftp.Close();
  return r;
}

InetResult FtpSize(const Address& a, uint64_t& size) {
  TarvFTP ftp;
  int port = a.port;
  DefaultPort(a.scheme, port);
  InetResult r = Retry(
      kFtpSizeRepeats,
      [&] {
        InetResult open = ftp.Open(a.host, a.user, a.password, TarvFTP::kPassive, port);
        return open != INET_OK ? open : ftp.GetFileSize(a.path, size);
      },
      [] {}, [] { return false; });
  ftp.Close();
  return r;
}

}  // namespace

InetResult Fetch(const std::string& url, TarvDataBuffer* buffer, uint32_t flags) {
  Address a;
  InetResult r = Parse(url, a);
  if (r != INET_OK) return r;
  if (a.scheme == "ftp") return FtpFetch(a, buffer);
  if (a.scheme != "http" && a.scheme != "https") return INET_BAD_SCHEME;
  TarvHTTP http;
  bool bypass = (flags & kBypassCache) != 0;
  return Retry(
      kFetchRepeats, [&] { return http.HttpGet(url, buffer, bypass); },
      [&] {
        buffer->SetSize(0);
        buffer->SetPosition(0);
      },
      [&] { return http.LastFailureIsFinal(); });
}

InetResult QuerySize(const std::string& url, uint64_t& size) {
  Address a;
  InetResult r = Parse(url, a);
  if (r != INET_OK) return r;
  if (a.scheme == "ftp") return FtpSize(a, size);
  if (a.scheme != "http" && a.scheme != "https") return INET_BAD_SCHEME;
  TarvHTTP http;
  return Retry(
      kHttpSizeRepeats, [&] { return http.HttpGetSize(url, size); }, [] {},
      [&] { return http.LastFailureIsFinal(); });
}

}  // namespace TarvInet
