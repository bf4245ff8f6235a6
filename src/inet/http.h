// TarvHTTP: one HTTP or HTTPS request per call on the process-wide internet
// session: the body of an address into a TarvDataBuffer, or the length that
// the server announces for it. Each call connects, sends one GET, reads or
// queries, and closes again; retries belong to Fetch and QuerySize. Redirects
// (http and https only, at most 10) are followed; https is verified against
// the trusted certificate authorities and the host name. An answer with
// status 400 or higher fails the call. Made and used by one thread.
//
// A download that broke off is resumed by the next HttpGet on the same
// object: it asks for the rest ("Range: bytes=N-", N the bytes the buffer
// holds) on condition that the data is unchanged ("If-Range" with the ETag,
// else the Last-Modified, of the earlier answer). 206 appends; 200 (the
// server sends the whole file) starts over at byte 0; 416, a 206 for
// another range, or a changed validator fails the attempt, and the next one
// starts over.
#pragma once

#include <cstdint>
#include <string>

#include "data/data_buffer.h"
#include "inet/inet_result.h"
#include "inet/internet_session.h"
#include "inet/transfer_control.h"

class TarvHTTP {
 public:
  TarvHTTP();

  // Writes the body behind `url` into `buffer` from its current position;
  // right after a failed call for the same address, resuming after what the
  // buffer holds, or from 0 when that cannot be done (see above).
  // `bypass` asks every cache on the way for a fresh copy (Cache-Control and
  // Pragma no-cache). Returns INET_OK; INET_BAD_ADDRESS for an unparsable
  // address (not logged); INET_FAILED with a log line naming the failed step
  // (InternetConnect, HttpOpenRequest, HttpSendRequest, the status, or
  // InternetReadFile); or INET_WRITE_FAILED when the buffer refused a write.
  InetResult HttpGet(const std::string& url, TarvDataBuffer* buffer, bool bypass);

  // The Content-Length of a GET for `url`, without reading the body. An
  // answer without a usable length ("HttpQueryInfo returned -1"), or one of
  // 4 GiB or more, fails with INET_FAILED; other failures as HttpGet.
  InetResult HttpGetSize(const std::string& url, uint64_t& size);

  // True when the last call failed with a status that another attempt would
  // not change: 4xx other than 408 (time-out) and 429 (too many requests).
  // Also a body past the size limit and a buffer that refused data.
  bool LastFailureIsFinal() const { return m_finalFailure; }
  // The cause of the last call's failure (kNone after a success).
  const TarvInet::TransferFailure& LastFailure() const { return m_failure; }

  // Cancel check, speed cap, size limit and deadline of the next calls;
  // null for none. `limits` must outlive those calls.
  void SetLimits(const TarvInetInternal::AttemptLimits* limits) { m_limits = limits; }

 private:
  struct Request;
  InetResult Prepare(const std::string& url, Request& request);
  InetResult Outcome(Request& request, CURLcode code, const char* operation);
  void StartBody(Request& request, TarvDataBuffer* buffer);
  InetResult Failed(TarvInet::TransferCause cause, int status = 0);
  TarvInet::TransferCause CauseOfAttempt(CURLcode code) const;
  uint64_t Rate() const;

  TarvInetInternal::InternetSession* m_session;
  const TarvInetInternal::AttemptLimits* m_limits = nullptr;
  bool m_finalFailure = false;
  TarvInet::TransferFailure m_failure;
  InetResult HttpGetOnce(const std::string& url, TarvDataBuffer* buffer, bool bypass);
  std::string m_lastUrl;  // of the last HttpGet, password hidden
  bool m_lastFailed = false;
  std::string m_validator;      // "If-Range" value for resuming; empty: none
  std::string m_validatorName;  // "etag" or "last-modified"
};
