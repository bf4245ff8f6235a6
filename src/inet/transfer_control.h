// What the caller of a transfer holds it to (a cancel request, a speed cap,
// the most data it will take) and what a failed transfer tells about its
// cause. TransferControl belongs to the caller and must outlive the Fetch or
// QuerySize it is given to; its cancel check runs on the transferring
// thread, from libcurl's progress callback (several times a second while
// data moves, about once a second while it waits) and in the pauses between
// attempts.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace TarvInet {

struct TransferControl {
  // True once the transfer must stop; null never stops it.
  std::function<bool()> cancelled;
  // Bytes per second the body may arrive at; 0 for no cap.
  uint64_t maxBytesPerSecond = 0;
  // The data behind the address is known to be at most this long (the size
  // the server announced, or one the caller trusts more); a body that goes
  // past it is cut there and fails the attempt. 0 when unknown.
  uint64_t sizeLimit = 0;
};

// Why the last attempt of a transfer failed, in the terms a player can act on.
enum class TransferCause {
  kNone,
  kCancelled,     // the caller's cancel check answered true
  kHostNotFound,  // the name lookup failed
  kRefused,       // nothing accepted the connection
  kHttpStatus,    // the server answered with an error status
  kNotFound,      // the server has no such file (FTP)
  kStalled,       // less than 1 KiB arrived in 30 seconds
  kTimeUp,        // the address used up its 3 minutes
  kCertificate,   // the server's certificate is not trusted
  kDiskFull,      // the data could not be stored
  kTooLong,       // the body went past the size announced for it
  kOther,
};

struct TransferFailure {
  TransferCause cause = TransferCause::kNone;
  int httpStatus = 0;  // with kHttpStatus
};

// A speed as players write it for curl-like tools: a whole number of bytes
// per second, optionally followed by K, M or G (1024, 1024², 1024³; either
// case). False for anything else, for 0 and for values beyond 2^53.
bool ParseRate(const std::string& text, uint64_t* bytesPerSecond);

}  // namespace TarvInet

namespace TarvInetInternal {

// What one attempt runs under: the caller's control and the moment its
// address's time is up.
struct AttemptLimits {
  const TarvInet::TransferControl* control = nullptr;
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();

  bool Cancelled() const;
  // Milliseconds left before the deadline, at least 1; 0 without deadline.
  long RemainingMs() const;
  bool TimeUp() const { return std::chrono::steady_clock::now() >= deadline; }
};

// Sets the cancel check, the speed cap and the time left on `handle`.
// `limits` must outlive every transfer of the handle until the next call.
void ApplyLimits(CURL* handle, const AttemptLimits* limits);

// The player's cause for a libcurl result, the size cap and the deadline
// taken into account by the caller.
TarvInet::TransferCause CauseOf(CURLcode code);

}  // namespace TarvInetInternal
