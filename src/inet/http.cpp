#include "inet/http.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "inet/buffer_sink.h"
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
  bool stopped = false;  // stopped on purpose at the end of the headers
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
    return;
  }
  bool followed = status >= 300 && status < 400 && location;
  if (status < 200 || followed) return;
  headersDone = true;
  // An error status ends the request here: its page is not the data asked for.
  if (stopAtHeaders || status >= 400) stopped = true;
}

TarvHTTP::TarvHTTP() : m_session(TarvInetInternal::GetInternetSession()) {}

// Steps up to the sent request: address, connection handle, request options.
InetResult TarvHTTP::Prepare(const std::string& url, Request& request) {
  m_finalFailure = false;
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
    return INET_FAILED;
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
      return INET_FAILED;
    }
  }
  return INET_OK;
}

// Maps the end of a request to its result and log line (not for the read
// phase, which the sink reports).
InetResult TarvHTTP::Outcome(Request& request, CURLcode code, const char* operation) {
  if (request.stopped && request.status >= 400) {
    int s = request.status;
    m_finalFailure = s < 500 && s != 408 && s != 429;
    LogLine(std::string(operation) + "> status " + std::to_string(s) + " for url " + request.url);
    return INET_FAILED;
  }
  if (IsConnectFailure(code, request.handle)) {
    LogLine("InternetConnect returned " + std::to_string(code) + " for url " + request.url);
  } else {
    LogLine("HttpSendRequest returned " + std::to_string(code));
  }
  return INET_FAILED;
}

InetResult TarvHTTP::HttpGet(const std::string& url, TarvDataBuffer* buffer, bool bypass) {
  Request request;
  InetResult r = Prepare(url, request);
  if (r != INET_OK) return r;
  if (bypass) {
    request.headers = curl_slist_append(request.headers, "Cache-Control: no-cache");
    request.headers = curl_slist_append(request.headers, "Pragma: no-cache");
  }
  curl_easy_setopt(request.handle, CURLOPT_HTTPHEADER, request.headers);
  BufferSink sink(buffer);
  sink.Attach(request.handle);
  CURLcode code = curl_easy_perform(request.handle);
  if (code == CURLE_OK || sink.WriteFailed() || (request.headersDone && !request.stopped)) {
    return sink.Finish(code);
  }
  return Outcome(request, code, "HttpGet");
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
    return INET_FAILED;
  }
  if (request.length < 0) {
    LogLine("HttpQueryInfo returned -1");
    return INET_FAILED;
  }
  size = static_cast<uint64_t>(request.length);
  return INET_OK;
}
