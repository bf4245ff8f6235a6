#include "inet/http.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "inet/buffer_sink.h"
#include "inet/transfer_control.h"
#include "inet/url.h"

using TarvInetInternal::LogLine;

namespace {

// Path bytes that cannot stand in a request line are sent percent-encoded;
// everything else goes to the server as given.
std::string EscapeHttpPath(const std::string& path) {
  std::string out;
  for (unsigned char c : path) {
    if (c <= 0x20 || c >= 0x7f) {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool IsConnectFailure(CURLcode code, CURL* handle) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return true;
    case CURLE_OPERATION_TIMEDOUT: {
      curl_off_t connected = 0;
      curl_easy_getinfo(handle, CURLINFO_CONNECT_TIME_T, &connected);
      return connected == 0;
    }
    default:
      return false;
  }
}

// "Content-Length: 123" gives 123; -1 when absent or malformed, -2 when it
// is 4 GiB or more (sizes beyond 32 bits are refused, never wrapped).
long long ParseLength(const std::string& value) {
  if (value.empty()) return -1;
  long long n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return -1;
    if (n <= 0xFFFFFFFFLL) n = n * 10 + (c - '0');
  }
  return n > 0xFFFFFFFFLL ? -2 : n;
}

// "bytes 100-199/200" gives 100; -1 when the value has another form.
long long RangeStart(const std::string& value) {
  if (value.rfind("bytes ", 0) != 0) return -1;
  size_t dash = value.find('-', 6);
  if (dash == std::string::npos || dash == 6) return -1;
  return ParseLength(value.substr(6, dash - 6));
}

// The size query stops at the headers; a body that still arrives is dropped.
size_t DiscardBody(char*, size_t size, size_t count, void*) { return size * count; }

}  // namespace

// One connection with one request: the handle, the request headers, and what
// the header lines of the answers told.
struct TarvHTTP::Request {
  ~Request() {
    if (headers) curl_slist_free_all(headers);
    if (handle) curl_easy_cleanup(handle);
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  void OnHeaderLine(std::string line);

  CURL* handle = nullptr;
  curl_slist* headers = nullptr;
  std::string url;           // as given, for log lines (password hidden)
  int status = 0;            // of the answer being read
  bool location = false;     // that answer carries a Location
  long long length = -1;     // its Content-Length; -2 beyond 32 bits
  bool headersDone = false;  // a final answer's header block has ended
  bool stopAtHeaders = false;
  bool stopped = false;       // stopped on purpose at the end of the headers
  std::string etag;           // of the answer being read
  std::string lastModified;   // of the answer being read
  long long rangeStart = -1;  // Content-Range start of a 206
  // Set for a body download: called once the final answer's headers are
  // in; false stops the request there.
  std::function<bool(Request&)> onFinalHeaders;
};

size_t TarvHTTP::Request::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* request = static_cast<Request*>(self);
  request->OnHeaderLine(std::string(data, size * count));
  if (request->stopped) return 0;
  return size * count;
}

void TarvHTTP::Request::OnHeaderLine(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    size_t space = line.find(' ');
    status = space == std::string::npos ? 0 : atoi(line.c_str() + space + 1);
    location = false;
    length = -1;
    headersDone = false;
    etag.clear();
    lastModified.clear();
    rangeStart = -1;
    return;
  }
  if (!line.empty()) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) return;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t") + 1);
    if (name == "location") location = true;
    if (name == "content-length") length = ParseLength(value);
    if (name == "etag") etag = value;
    if (name == "last-modified") lastModified = value;
    if (name == "content-range") rangeStart = RangeStart(value);
    return;
  }
  bool followed = status >= 300 && status < 400 && location;
  if (status < 200 || followed) return;
  headersDone = true;
  // An error status ends the request here: its page is not the data asked for.
  if (stopAtHeaders || status >= 400) stopped = true;
  if (!stopped && onFinalHeaders && !onFinalHeaders(*this)) stopped = true;
}

TarvInet::TransferCause TarvHTTP::CauseOfAttempt(CURLcode code) const {
  if (code == CURLE_OPERATION_TIMEDOUT && m_limits != nullptr && m_limits->TimeUp()) {
    return TarvInet::TransferCause::kTimeUp;
  }
  return TarvInetInternal::CauseOf(code);
}

TarvHTTP::TarvHTTP() : m_session(TarvInetInternal::GetInternetSession()) {}

// Steps up to the sent request: address, connection handle, request options.
InetResult TarvHTTP::Prepare(const std::string& url, Request& request) {
  m_finalFailure = false;
  m_failure = {};
  std::string scheme, host, user, password, path;
  int port = 0;
  InetResult r = TarvInet::ParseUrl(url, scheme, host, port, user, password, path);
  if (r != INET_OK) return r;
  TarvInet::NormalizeScheme(scheme, host, port);
  TarvInet::DefaultPort(scheme, port);
  request.url = TarvInet::RedactUrl(url);
  if (m_session != nullptr) request.handle = curl_easy_init();
  CURLcode code = request.handle ? TarvInetInternal::ConfigureHandle(m_session, request.handle)
                                 : CURLE_FAILED_INIT;
  if (code != CURLE_OK) {
    LogLine("InternetConnect returned " + std::to_string(code) + " for url " + request.url);
    return Failed(TarvInet::TransferCause::kOther);
  }
  std::string target =
      scheme + "://" + host + ":" + std::to_string(port) + "/" + EscapeHttpPath(path);
  CURL* h = request.handle;
  request.headers = curl_slist_append(nullptr, "Accept: */*");
  CURLcode codes[] = {
      curl_easy_setopt(h, CURLOPT_URL, target.c_str()),
      curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https"),
      curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"),
      curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L),
      curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L),
      curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Request::OnHeader),
      curl_easy_setopt(h, CURLOPT_HEADERDATA, &request),
      user.empty() ? CURLE_OK : curl_easy_setopt(h, CURLOPT_USERNAME, user.c_str()),
      password.empty() ? CURLE_OK : curl_easy_setopt(h, CURLOPT_PASSWORD, password.c_str()),
  };
  for (CURLcode c : codes) {
    if (c != CURLE_OK) {
      LogLine("HttpOpenRequest returned " + std::to_string(c) + " for url " + request.url);
      return Failed(TarvInet::TransferCause::kOther);
    }
  }
  TarvInetInternal::ApplyLimits(h, m_limits);
  return INET_OK;
}

InetResult TarvHTTP::Failed(TarvInet::TransferCause cause, int status) {
  m_failure.cause = cause;
  m_failure.httpStatus = status;
  return INET_FAILED;
}

// Maps the end of a request to its result and log line (not for the read
// phase, which the sink reports).
InetResult TarvHTTP::Outcome(Request& request, CURLcode code, const char* operation) {
  if (request.stopped && request.status >= 400) {
    int s = request.status;
    // A range the file no longer has is answered by starting over.
    m_finalFailure = s < 500 && s != 408 && s != 429 && s != 416;
    LogLine(std::string(operation) + "> status " + std::to_string(s) + " for url " + request.url);
    return Failed(TarvInet::TransferCause::kHttpStatus, s);
  }
  if (IsConnectFailure(code, request.handle)) {
    LogLine("InternetConnect returned " + std::to_string(code) + " for url " + request.url);
  } else {
    LogLine("HttpSendRequest returned " + std::to_string(code));
  }
  return Failed(CauseOfAttempt(code));
}

InetResult TarvHTTP::HttpGetOnce(const std::string& url, TarvDataBuffer* buffer, bool bypass) {
  Request request;
  InetResult r = Prepare(url, request);
  if (r != INET_OK) return r;
  if (bypass) {
    request.headers = curl_slist_append(request.headers, "Cache-Control: no-cache");
    request.headers = curl_slist_append(request.headers, "Pragma: no-cache");
  }
  StartBody(request, buffer);
  curl_easy_setopt(request.handle, CURLOPT_HTTPHEADER, request.headers);
  uint64_t limit =
      m_limits != nullptr && m_limits->control != nullptr ? m_limits->control->sizeLimit : 0;
  BufferSink sink(buffer, limit, Rate());
  sink.Attach(request.handle);
  CURLcode code = curl_easy_perform(request.handle);
  // What the answer offers for resuming a later attempt.
  if (request.headersDone && (request.status == 200 || request.status == 206)) {
    m_validator = !request.etag.empty() ? request.etag : request.lastModified;
  }
  if (request.stopped && request.status < 400) {
    m_validator.clear();  // the next attempt starts over
    return Failed(TarvInet::TransferCause::kOther);
  }
  if (request.status == 416) m_validator.clear();
  if (code == CURLE_OK || sink.WriteFailed() || sink.TooLong() ||
      (request.headersDone && !request.stopped)) {
    InetResult result = sink.Finish(code);
    if (sink.WriteFailed() || sink.TooLong()) {
      m_finalFailure = true;
      Failed(sink.TooLong() || sink.WriteResult() == DB_BUFFER_FULL
                 ? TarvInet::TransferCause::kTooLong
                 : TarvInet::TransferCause::kDiskFull);
      return result;  // INET_WRITE_FAILED, or INET_FAILED past the size limit
    }
    if (result != INET_OK) return Failed(CauseOfAttempt(code));
    return result;
  }
  return Outcome(request, code, "HttpGet");
}

uint64_t TarvHTTP::Rate() const {
  return m_limits != nullptr && m_limits->control != nullptr ? m_limits->control->maxBytesPerSecond
                                                             : 0;
}

InetResult TarvHTTP::HttpGet(const std::string& url, TarvDataBuffer* buffer, bool bypass) {
  InetResult result = HttpGetOnce(url, buffer, bypass);
  m_lastUrl = TarvInet::RedactUrl(url);
  m_lastFailed = result != INET_OK;
  return result;
}

// Decides how this attempt writes into the buffer: at its position (the
// first attempt), resuming after what it holds, or from 0; and checks the
// final answer's headers against that before any body byte is stored.
void TarvHTTP::StartBody(Request& request, TarvDataBuffer* buffer) {
  uint32_t have = buffer->GetSize();
  bool retry = m_lastFailed && m_lastUrl == request.url;
  bool resume = retry && have > 0 && !m_validator.empty();
  if (retry && !resume) {
    buffer->SetSize(0);
    buffer->SetPosition(0);
  }
  if (!resume) return;
  buffer->SetPosition(have);
  request.headers =
      curl_slist_append(request.headers, ("Range: bytes=" + std::to_string(have) + "-").c_str());
  request.headers = curl_slist_append(request.headers, ("If-Range: " + m_validator).c_str());
  LogLine("HttpGet> resuming download at byte " + std::to_string(have) + " for url " + request.url);
  std::string validator = m_validator;
  request.onFinalHeaders = [buffer, have, validator](Request& answer) {
    std::string now = !answer.etag.empty() ? answer.etag : answer.lastModified;
    if (answer.status == 200) {
      // The server sends the whole file: it replaces what the buffer holds.
      LogLine("HttpGet> the server sent the whole file; starting over at byte 0");
      return buffer->SetSize(0) == DB_OK && buffer->SetPosition(0) == DB_OK;
    }
    if (answer.status == 206 && answer.rangeStart == have && (now.empty() || now == validator)) {
      return true;
    }
    LogLine("HttpGet> the file changed since the last attempt; starting over");
    return false;
  };
}

InetResult TarvHTTP::HttpGetSize(const std::string& url, uint64_t& size) {
  Request request;
  InetResult r = Prepare(url, request);
  if (r != INET_OK) return r;
  curl_easy_setopt(request.handle, CURLOPT_HTTPHEADER, request.headers);
  request.stopAtHeaders = true;
  curl_easy_setopt(request.handle, CURLOPT_WRITEFUNCTION, &DiscardBody);
  CURLcode code = curl_easy_perform(request.handle);
  if (!request.stopped || request.status >= 400) {
    if (code == CURLE_OK) code = CURLE_WEIRD_SERVER_REPLY;
    return Outcome(request, code, "HttpGetSize");
  }
  if (request.length == -2) {
    LogLine("HttpQueryInfo> length beyond 32 bits for url " + request.url);
    return Failed(TarvInet::TransferCause::kOther);
  }
  if (request.length < 0) {
    LogLine("HttpQueryInfo returned -1");
    return Failed(TarvInet::TransferCause::kOther);
  }
  size = static_cast<uint64_t>(request.length);
  return INET_OK;
}
