// TarvHTTP: one HTTP or HTTPS request per call on the process-wide internet
// session: the body of an address into a TarvDataBuffer, or the length that
// the server announces for it. Each call connects, sends one GET, reads or
// queries, and closes again; retries belong to Fetch and QuerySize. Redirects
// (http and https only, at most 10) are followed; https is verified against
// the trusted certificate authorities and the host name. An answer with
// status 400 or higher fails the call. Made and used by one thread.
#pragma once

#include <cstdint>
#include <string>

#include "data/data_buffer.h"
#include "inet/inet_result.h"
#include "inet/internet_session.h"

class TarvHTTP {
 public:
  TarvHTTP();

  // Writes the body behind `url` into `buffer` from its current position.
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
  bool LastFailureIsFinal() const { return m_finalFailure; }

 private:
  struct Request;
  InetResult Prepare(const std::string& url, Request& request);
  InetResult Outcome(Request& request, CURLcode code, const char* operation);

  TarvInetInternal::InternetSession* m_session;
  bool m_finalFailure = false;
};
