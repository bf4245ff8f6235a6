// TarvFTP: the FTP client of the transfer layer. One object holds one
// control connection on the process-wide internet session, remembers what it
// needs to reconnect, and downloads a file into a TarvDataBuffer (resuming
// after what the buffer already holds) or asks a file's size. Binary type;
// passive mode when flag bit 0 is set, with the address of a PASV reply
// ignored (the data connection goes to the control connection's host).
// Passwords never appear in log lines. One thread at a time; no lock.
#pragma once

#include <cstdint>
#include <string>

#include "data/data_buffer.h"
#include "inet/inet_result.h"
#include "inet/internet_session.h"
#include "inet/transfer_control.h"

class TarvFTP {
 public:
  static constexpr uint32_t kPassive = 1;

  TarvFTP() = default;
  ~TarvFTP() { Close(); }
  TarvFTP(const TarvFTP&) = delete;
  TarvFTP& operator=(const TarvFTP&) = delete;

  // Connects and logs in to host:port (an empty user logs in anonymously),
  // closing any earlier connection first. Returns INET_OK, or INET_FAILED
  // after logging "TarvFTP::Open> Connection to "host" failed with error N".
  InetResult Open(const std::string& host, const std::string& user, const std::string& password,
                  uint32_t flags, int port = 21);
  // Closes the connection and forgets host, user and password.
  void Close();

  // Downloads `path` (sent to the server as given) into `buffer`. When the
  // buffer already holds n bytes the transfer restarts at byte n ("REST n")
  // and appends; when the server refuses the restart, the file on the
  // server is now shorter than what the buffer holds, or the connection was
  // reset while the file was being opened, the buffer is emptied and the
  // whole file downloaded. Returns INET_OK; INET_NOT_CONNECTED without a
  // connection; INET_FAILED with a log line ("FtpOpenFile returned N." or
  // "InternetReadFile returned ..."); or INET_WRITE_FAILED when the buffer
  // refused a write.
  InetResult GetFileAtPath(const std::string& path, TarvDataBuffer* buffer);

  // The size of `path` as the server reports it. INET_NOT_CONNECTED without
  // a connection; INET_FAILED (no log line) when the server cannot tell.
  InetResult GetFileSize(const std::string& path, uint64_t& size);

  // After a failed call: when its error means the connection was reset or
  // aborted, connects again with the stored host, user, password and flags.
  // Always returns INET_FAILED.
  InetResult HandleError();

  bool IsConnected() const { return m_connection != nullptr; }

  // Cancel check, speed cap, size limit and deadline of the next calls;
  // null for none. `limits` must outlive those calls.
  void SetLimits(const TarvInetInternal::AttemptLimits* limits) { m_limits = limits; }
  // The cause of the last failed Open, GetFileAtPath or GetFileSize.
  const TarvInet::TransferFailure& LastFailure() const { return m_failure; }
  // True when the last failure cannot be helped by another attempt (the
  // data could not be stored, or went past the size limit).
  bool LastFailureIsFinal() const { return m_finalFailure; }

 private:
  struct Transfer;
  CURLcode Perform(Transfer& transfer);
  InetResult RetryOpen(Transfer& transfer, int& attempts);
  InetResult Failed(CURLcode code);

  TarvInetInternal::InternetSession* m_session = nullptr;
  CURL* m_connection = nullptr;
  std::string m_host;
  std::string m_user;
  std::string m_password;
  uint32_t m_flags = 0;
  int m_port = 21;
  CURLcode m_lastError = CURLE_OK;
  const TarvInetInternal::AttemptLimits* m_limits = nullptr;
  TarvInet::TransferFailure m_failure;
  bool m_finalFailure = false;
};

namespace TarvInetInternal {
// The libcurl errors that stand for a connection the server aborted or
// reset (the platform errors 12030 and 12031).
bool IsConnectionAborted(CURLcode code);
bool IsConnectionReset(CURLcode code);
}  // namespace TarvInetInternal
