#include "inet/ftp.h"

#include <cstdio>

#include "inet/buffer_sink.h"

using TarvInetInternal::LogLine;

namespace TarvInetInternal {

bool IsConnectionAborted(CURLcode code) {
  return code == CURLE_SEND_ERROR || code == CURLE_GOT_NOTHING;
}

bool IsConnectionReset(CURLcode code) {
  return code == CURLE_RECV_ERROR || code == CURLE_FTP_WEIRD_SERVER_REPLY;
}

}  // namespace TarvInetInternal

namespace {

// libcurl takes the path of an address percent-decoded; every byte outside
// the unreserved set is encoded so that the server gets the path unchanged.
std::string EscapeFtpPath(const std::string& path) {
  std::string out;
  for (unsigned char c : path) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// Size queries and the login have no body; what libcurl reports in its place
// (a size line) is not wanted.
size_t DiscardData(char*, size_t size, size_t count, void*) { return size * count; }

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

// What one exchange on the control connection showed: the last command sent
// and whether the restart and the retrieval were accepted.
struct TarvFTP::Transfer {
  static int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self);
  void OnCommand(const std::string& line);
  void OnReply(const std::string& line);

  std::string url;
  bool nobody = false;
  TarvDataBuffer* buffer = nullptr;
  BufferSink* sink = nullptr;
  std::string path;
  uint32_t resumeAt = 0;
  std::string lastCommand;
  bool restAccepted = false;
  bool retrAccepted = false;
};

int TarvFTP::Transfer::OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
  auto* t = static_cast<Transfer*>(self);
  if (type == CURLINFO_HEADER_OUT) t->OnCommand(std::string(data, size));
  if (type == CURLINFO_HEADER_IN) t->OnReply(std::string(data, size));
  return 0;
}

void TarvFTP::Transfer::OnCommand(const std::string& line) {
  size_t end = line.find_first_of(" \r\n");
  lastCommand = line.substr(0, end);
}

void TarvFTP::Transfer::OnReply(const std::string& line) {
  if (line.size() < 4 || line[3] == '-') return;  // a continued reply
  int code = atoi(line.substr(0, 3).c_str());
  if (lastCommand == "REST" && code == 350 && resumeAt > 0 && !restAccepted && !nobody) {
    restAccepted = true;
    LogLine("TarvFTP::GetFileAtPath> resuming download of " + Quoted(path) + " at byte " +
            std::to_string(resumeAt) + ".");
    buffer->SetPosition(resumeAt);
  }
  if (lastCommand == "RETR" && code >= 100 && code < 200) retrAccepted = true;
}

CURLcode TarvFTP::Perform(Transfer& t) {
  CURL* h = m_connection;
  curl_easy_setopt(h, CURLOPT_URL, t.url.c_str());
  curl_easy_setopt(h, CURLOPT_NOBODY, t.nobody ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(t.resumeAt));
  curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &Transfer::OnDebug);
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, &t);
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
  if (t.sink != nullptr) {
    t.sink->Attach(h);
  } else {
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &DiscardData);
  }
  TarvInetInternal::ApplyLimits(h, m_limits);
  CURLcode code = curl_easy_perform(h);
  // Nothing of this exchange may be reached through the handle afterwards.
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, nullptr);
  curl_easy_setopt(h, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &DiscardData);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
  m_lastError = code;
  return code;
}

InetResult TarvFTP::Open(const std::string& host, const std::string& user,
                         const std::string& password, uint32_t flags, int port) {
  m_host = host;
  m_user = user;
  m_password = password;
  m_flags = flags;
  m_port = port;
  if (m_connection != nullptr) curl_easy_cleanup(m_connection);
  m_connection = nullptr;
  m_session = TarvInetInternal::GetInternetSession();
  CURL* h = m_session ? curl_easy_init() : nullptr;
  CURLcode code = h ? TarvInetInternal::ConfigureHandle(m_session, h) : CURLE_FAILED_INIT;
  if (code == CURLE_OK) {
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(h, CURLOPT_FTP_SKIP_PASV_IP, 1L);
    curl_easy_setopt(h, CURLOPT_FTPPORT, (flags & kPassive) ? nullptr : "-");
    curl_easy_setopt(h, CURLOPT_TRANSFERTEXT, 0L);
    if (!user.empty()) {
      curl_easy_setopt(h, CURLOPT_USERNAME, user.c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, password.c_str());
    }
    m_connection = h;
    Transfer t;
    t.url = "ftp://" + host + ":" + std::to_string(port) + "/";
    t.nobody = true;
    code = Perform(t);
  }
  if (code != CURLE_OK) {
    LogLine("TarvFTP::Open> Connection to " + Quoted(host) + " failed with error " +
            std::to_string(code));
    if (h != nullptr) curl_easy_cleanup(h);
    m_connection = nullptr;
    m_lastError = code;
    return Failed(code);
  }
  m_failure = {};
  return INET_OK;
}

InetResult TarvFTP::Failed(CURLcode code) {
  using TarvInet::TransferCause;
  m_failure = {};
  m_failure.cause = TarvInetInternal::CauseOf(code);
  if (code == CURLE_OPERATION_TIMEDOUT && m_limits != nullptr && m_limits->TimeUp()) {
    m_failure.cause = TransferCause::kTimeUp;
  }
  if (code == CURLE_REMOTE_FILE_NOT_FOUND) m_failure.cause = TransferCause::kNotFound;
  return INET_FAILED;
}

void TarvFTP::Close() {
  if (m_connection != nullptr) curl_easy_cleanup(m_connection);
  m_connection = nullptr;
  m_host.clear();
  m_user.clear();
  m_password.clear();
}

InetResult TarvFTP::HandleError() {
  CURLcode error = m_lastError;
  if (TarvInetInternal::IsConnectionAborted(error) || TarvInetInternal::IsConnectionReset(error)) {
    std::string host = m_host, user = m_user, password = m_password;
    Open(host, user, password, m_flags, m_port);
  }
  m_lastError = error;
  return INET_FAILED;
}

InetResult TarvFTP::GetFileAtPath(const std::string& path, TarvDataBuffer* buffer) {
  m_finalFailure = false;
  if (m_connection == nullptr) return INET_NOT_CONNECTED;
  uint32_t size = buffer->GetSize();
  int restAttempts = size > 0 ? 2 : 0;
  int openAttempts = 2;
  uint64_t limit =
      m_limits != nullptr && m_limits->control != nullptr ? m_limits->control->sizeLimit : 0;
  uint64_t rate = m_limits != nullptr && m_limits->control != nullptr
                      ? m_limits->control->maxBytesPerSecond
                      : 0;
  for (;;) {
    if (m_connection == nullptr) return INET_NOT_CONNECTED;
    BufferSink sink(buffer, limit, rate);
    Transfer t;
    t.url = "ftp://" + m_host + ":" + std::to_string(m_port) + "/" + EscapeFtpPath(path);
    t.buffer = buffer;
    t.sink = &sink;
    t.path = path;
    t.resumeAt = restAttempts > 0 ? size : 0;
    CURLcode code = Perform(t);
    if (code == CURLE_OK || sink.WriteFailed() || sink.TooLong() || t.retrAccepted) {
      InetResult result = sink.Finish(code);
      m_finalFailure = sink.WriteFailed() || sink.TooLong();
      if (m_finalFailure) {
        m_failure = {};
        m_failure.cause = sink.TooLong() || sink.WriteResult() == DB_BUFFER_FULL
                              ? TarvInet::TransferCause::kTooLong
                              : TarvInet::TransferCause::kDiskFull;
      } else if (result != INET_OK) {
        Failed(code);
      } else {
        m_failure = {};
      }
      return result;
    }
    if (code == CURLE_ABORTED_BY_CALLBACK) return Failed(code);
    if (code == CURLE_BAD_DOWNLOAD_RESUME && restAttempts > 0) {
      // The file on the server is shorter than what arrived before: it is
      // another file now, fetched whole.
      LogLine("TarvFTP::GetFileAtPath> " + Quoted(path) + " is shorter than the " +
              std::to_string(size) + " bytes received; starting over.");
      buffer->SetSize(0);
      buffer->SetPosition(0);
      restAttempts = 0;
      continue;
    }
    if (t.lastCommand == "REST" && !t.restAccepted && restAttempts > 0) {
      HandleError();
      if (--restAttempts > 0) continue;
      LogLine("TarvFTP::GetFileAtPath> unable to resume download of " + Quoted(path) + " (error " +
              std::to_string(code) + ").");
      buffer->SetSize(0);
      buffer->SetPosition(0);
      continue;
    }
    // The file could not be opened. A reset connection has lost the restart
    // position, so the next attempt starts from the beginning.
    if (TarvInetInternal::IsConnectionReset(code)) {
      buffer->SetSize(0);
      buffer->SetPosition(0);
      restAttempts = 0;
      HandleError();
    }
    if (--openAttempts > 0) continue;
    LogLine("FtpOpenFile returned " + std::to_string(code) + ".");
    return Failed(code);
  }
}

InetResult TarvFTP::GetFileSize(const std::string& path, uint64_t& size) {
  size = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (m_connection == nullptr) return INET_NOT_CONNECTED;
    Transfer t;
    t.url = "ftp://" + m_host + ":" + std::to_string(m_port) + "/" + EscapeFtpPath(path);
    t.nobody = true;
    CURLcode code = Perform(t);
    curl_off_t length = -1;
    if (code == CURLE_OK)
      curl_easy_getinfo(m_connection, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (code == CURLE_OK && length > 0xFFFFFFFFLL) {
      // Sizes beyond 32 bits are refused, never wrapped.
      LogLine("FtpGetFileSize> size beyond 32 bits for " + path);
      return INET_FAILED;
    }
    if (code == CURLE_OK && length >= 0) {
      size = static_cast<uint64_t>(length);
      return INET_OK;
    }
    Failed(code);
    HandleError();
  }
  return INET_FAILED;
}
