#include "inet/transfer_control.h"

#include <algorithm>

#include "inet/internet_session.h"

namespace TarvInet {

bool ParseRate(const std::string& text, uint64_t* bytesPerSecond) {
  constexpr uint64_t kMax = uint64_t{1} << 53;
  size_t digits = 0;
  uint64_t value = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    value = value * 10 + static_cast<uint64_t>(text[digits] - '0');
    if (value > kMax) return false;
    ++digits;
  }
  if (digits == 0 || text.size() - digits > 1) return false;
  int shift = 0;
  if (digits < text.size()) {
    switch (text[digits]) {
      case 'k':
      case 'K':
        shift = 10;
        break;
      case 'm':
      case 'M':
        shift = 20;
        break;
      case 'g':
      case 'G':
        shift = 30;
        break;
      default:
        return false;
    }
  }
  if (value == 0 || value > (kMax >> shift)) return false;
  *bytesPerSecond = value << shift;
  return true;
}

}  // namespace TarvInet

namespace TarvInetInternal {

namespace {

// libcurl's progress callback: a non-zero answer aborts the transfer with
// CURLE_ABORTED_BY_CALLBACK.
int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const AttemptLimits*>(self)->Cancelled() ? 1 : 0;
}

}  // namespace

bool AttemptLimits::Cancelled() const {
  return control != nullptr && control->cancelled && control->cancelled();
}

long AttemptLimits::RemainingMs() const {
  if (deadline == std::chrono::steady_clock::time_point::max()) return 0;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - std::chrono::steady_clock::now())
                  .count();
  return left < 1 ? 1 : static_cast<long>(left);
}

void ApplyLimits(CURL* handle, const AttemptLimits* limits) {
  bool watched = limits != nullptr && limits->control != nullptr && limits->control->cancelled;
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, watched ? 0L : 1L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, watched ? &OnProgress : nullptr);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, watched ? limits : nullptr);
  curl_off_t rate = 0;
  if (limits != nullptr && limits->control != nullptr) {
    rate = static_cast<curl_off_t>(limits->control->maxBytesPerSecond);
  }
  curl_easy_setopt(handle, CURLOPT_MAX_RECV_SPEED_LARGE, rate);
  // Under a cap, libcurl hands over at most a tenth of a second's worth at
  // once, so that the sink's waits for the cap stay short.
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE,
                   rate > 0 ? std::clamp<long>(static_cast<long>(rate / 10), 1024L, kReceiveSize)
                            : kReceiveSize);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, limits != nullptr ? limits->RemainingMs() : 0L);
}

TarvInet::TransferCause CauseOf(CURLcode code) {
  using TarvInet::TransferCause;
  switch (code) {
    case CURLE_OK:
      return TransferCause::kNone;
    case CURLE_ABORTED_BY_CALLBACK:
      return TransferCause::kCancelled;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return TransferCause::kHostNotFound;
    case CURLE_COULDNT_CONNECT:
      return TransferCause::kRefused;
    case CURLE_OPERATION_TIMEDOUT:
      return TransferCause::kStalled;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return TransferCause::kCertificate;
    default:
      return TransferCause::kOther;
  }
}

}  // namespace TarvInetInternal
