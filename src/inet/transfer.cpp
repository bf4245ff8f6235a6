#include "inet/transfer.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "inet/ftp.h"
#include "inet/http.h"
#include "inet/internet_session.h"
#include "inet/url.h"

namespace TarvInet {

namespace {

using Clock = std::chrono::steady_clock;
using TarvInetInternal::AttemptLimits;

constexpr int kFetchRepeats = 10;
constexpr int kFtpSizeRepeats = 4;
constexpr int kHttpSizeRepeats = 10;
// The pause is spent in slices, so that a cancel ends it at once.
constexpr long kPauseSliceMs = 20;

// False when the pause was cut short by a cancel or the address's deadline.
bool PauseBeforeRetry(const AttemptLimits& limits) {
  auto end =
      Clock::now() + std::chrono::milliseconds(TarvInetInternal::GetTimeLimits().retry_pause_ms);
  for (;;) {
    if (limits.Cancelled() || limits.TimeUp()) return false;
    auto now = Clock::now();
    if (now >= end) return true;
    auto slice = std::min<Clock::duration>(end - now, std::chrono::milliseconds(kPauseSliceMs));
    std::this_thread::sleep_for(slice);
  }
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

AttemptLimits LimitsFor(const TransferControl& control) {
  AttemptLimits limits;
  limits.control = &control;
  limits.deadline =
      Clock::now() + std::chrono::seconds(TarvInetInternal::GetTimeLimits().address_seconds);
  return limits;
}

// Runs `attempt` up to 1 + repeats times; `client` tells whether a failure
// is final and what caused it. Stops early at a cancel, a final failure or
// the end of the address's time.
template <typename Attempt, typename Client>
InetResult Retry(int repeats, const AttemptLimits& limits, Client& client, Attempt attempt,
                 TransferFailure* failure) {
  for (int left = repeats;; --left) {
    InetResult r = limits.Cancelled() ? INET_CANCELLED : attempt();
    TransferFailure why = client.LastFailure();
    if (r == INET_OK) why = {};
    if (r != INET_OK && limits.Cancelled()) {
      r = INET_CANCELLED;
      why = {TransferCause::kCancelled, 0};
    }
    if (r != INET_OK && why.cause == TransferCause::kNone) why.cause = TransferCause::kOther;
    bool again = r != INET_OK && r != INET_CANCELLED && left > 0 && !client.LastFailureIsFinal();
    if (again && !PauseBeforeRetry(limits)) {
      again = false;
      if (limits.Cancelled()) {
        r = INET_CANCELLED;
        why = {TransferCause::kCancelled, 0};
      } else {
        TarvInetInternal::LogLine(
            "TarvInet> giving up after " +
            std::to_string(TarvInetInternal::GetTimeLimits().address_seconds) + " seconds");
        if (why.cause == TransferCause::kStalled) why.cause = TransferCause::kTimeUp;
      }
    }
    if (!again) {
      if (failure != nullptr) *failure = why;
      return r;
    }
  }
}

template <typename Operation>
InetResult WithFtp(const Address& a, int repeats, const AttemptLimits& limits,
                   TransferFailure* failure, Operation operation) {
  TarvFTP ftp;
  ftp.SetLimits(&limits);
  int port = a.port;
  DefaultPort(a.scheme, port);
  InetResult r = Retry(
      repeats, limits, ftp,
      [&] {
        InetResult open = ftp.Open(a.host, a.user, a.password, TarvFTP::kPassive, port);
        return open != INET_OK ? open : operation(ftp);
      },
      failure);
  ftp.Close();
  return r;
}

}  // namespace

InetResult Fetch(const std::string& url, TarvDataBuffer* buffer, uint32_t flags,
                 const TransferControl& control, TransferFailure* failure) {
  if (failure != nullptr) *failure = {};
  Address a;
  InetResult r = Parse(url, a);
  if (r != INET_OK) return r;
  AttemptLimits limits = LimitsFor(control);
  if (a.scheme == "ftp") {
    return WithFtp(a, kFetchRepeats, limits, failure,
                   [&](TarvFTP& ftp) { return ftp.GetFileAtPath(a.path, buffer); });
  }
  if (a.scheme != "http" && a.scheme != "https") return INET_BAD_SCHEME;
  TarvHTTP http;
  http.SetLimits(&limits);
  bool bypass = (flags & kBypassCache) != 0;
  return Retry(
      kFetchRepeats, limits, http, [&] { return http.HttpGet(url, buffer, bypass); }, failure);
}

InetResult Fetch(const std::string& url, TarvDataBuffer* buffer, uint32_t flags) {
  return Fetch(url, buffer, flags, TransferControl{});
}

InetResult QuerySize(const std::string& url, uint64_t& size, const TransferControl& control,
                     TransferFailure* failure) {
  if (failure != nullptr) *failure = {};
  Address a;
  InetResult r = Parse(url, a);
  if (r != INET_OK) return r;
  AttemptLimits limits = LimitsFor(control);
  if (a.scheme == "ftp") {
    return WithFtp(a, kFtpSizeRepeats, limits, failure,
                   [&](TarvFTP& ftp) { return ftp.GetFileSize(a.path, size); });
  }
  if (a.scheme != "http" && a.scheme != "https") return INET_BAD_SCHEME;
  TarvHTTP http;
  http.SetLimits(&limits);
  return Retry(
      kHttpSizeRepeats, limits, http, [&] { return http.HttpGetSize(url, size); }, failure);
}

InetResult QuerySize(const std::string& url, uint64_t& size) {
  return QuerySize(url, size, TransferControl{});
}

}  // namespace TarvInet
