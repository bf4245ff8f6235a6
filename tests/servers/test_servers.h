// Test servers for the transfer, download and end-to-end tests: our own
// scriptable HTTP server (plain or TLS with a throwaway certificate
// authority) and a pyftpdlib FTP server that can misbehave. Each object
// starts its server on a free port of 127.0.0.1 with /usr/bin/python3 and
// stops it when destroyed. One owner thread; the servers are separate
// processes, so other threads may talk to them freely.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace tarvtest {

// What the HTTP server does for one path. Unset fields keep the default:
// status 200 with the file of that name below the server's root.
struct HttpRoute {
  int status = 200;
  std::optional<std::string> body;      // sent instead of the file
  std::optional<std::string> file;      // absolute path sent as the body
  bool no_length = false;               // no Content-Length, end by closing
  std::optional<uint64_t> length;       // Content-Length announced (a lie)
  std::optional<uint64_t> cut_after;    // close after this many body bytes
  std::optional<int> cut_first;         // ... only in the first N requests
  std::optional<uint64_t> stall_after;  // stop sending after this many bytes
  std::optional<std::string> redirect;  // 302 to this location
  int fail_first = 0;                   // first N requests answer 500
  std::map<std::string, std::string> headers;
  std::optional<std::string> etag;           // "" sends none
  std::optional<std::string> last_modified;  // "" sends none
  bool ranges = true;                        // false: Range is ignored
  std::optional<uint64_t> throttle;          // bytes per second
  bool never_answer = false;                 // reads the request, answers nothing
  bool endless = false;                      // the body, then bytes without end
  // From the later_from-th request on, the fields set in later[0] (status
  // only when not 200, fail_first only when not 0) replace this route's.
  int later_from = 0;
  std::vector<HttpRoute> later;
};

// One request as the HTTP server saw it; header names in lower case.
struct HttpRequestRecord {
  std::string method;
  std::string path;
  std::map<std::string, std::string> headers;
};

// A child process running one of the Python servers; the port it bound is
// read from the file it writes when ready.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts /usr/bin/python3 with the arguments and waits (up to 20 s) for
  // the port file. Fails the current test when the server does not come up.
  void Start(const std::vector<std::string>& args, const std::string& port_file);
  void Stop();
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

class HttpTestServer {
 public:
  enum class Tls { kNone, kTrusted, kSelfSigned };

  // kTrusted: certificate for 127.0.0.1 signed by a fresh CA whose
  // certificate is ca_file(); kSelfSigned: a certificate nobody trusts.
  // `root`: an existing folder to serve (a server folder made by
  // tarv-mkpatch, say); empty gives a fresh folder, see root().
  explicit HttpTestServer(Tls tls = Tls::kNone, const std::string& root = "");

  int port() const { return process_.port(); }
  // Folder whose files are served; tests write files into it.
  const std::string& root() const { return root_; }
  // "http(s)://127.0.0.1:<port>/" + path (path without a leading slash).
  std::string Url(const std::string& path) const;
  // The CA certificate to trust for kTrusted (empty otherwise).
  const std::string& ca_file() const { return ca_file_; }

  // Scripts the behaviour of one path ("/x"); takes effect with the next
  // request.
  void SetRoute(const std::string& path, const HttpRoute& route);
  void ClearRoutes();
  std::vector<HttpRequestRecord> Requests() const;
  int CountRequests(const std::string& path) const;
  // Body bytes the server has sent for `path` in answers that are over.
  uint64_t BytesSent(const std::string& path) const;
  // Answers for `path` that are over.
  int CountAnswered(const std::string& path) const;

 private:
  void WriteRoutes();
  void MakeCertificates(Tls tls);

  ScopedTempDir dir_;
  std::string root_;
  std::string ca_file_;
  std::map<std::string, HttpRoute> routes_;
  std::string scheme_ = "http";
  ServerProcess process_;
};

struct FtpOptions {
  std::string user;  // empty: anonymous
  std::string password;
  bool refuse_rest = false;
  std::optional<uint64_t> cut_after;  // data connection closed after N bytes
  int cut_times = 1;                  // ... for this many RETRs
  int drop_on_retr = 0;               // control connection closed on N RETRs
  bool no_epsv = false;
  std::string masquerade;  // address announced in PASV replies
  std::string size_reply;  // the number every SIZE is answered with
  uint64_t throttle = 0;   // file data sent at this many bytes per second
  std::string root;        // an existing folder to serve; empty: a fresh one
};

class FtpTestServer {
 public:
  explicit FtpTestServer(const FtpOptions& options = {});

  int port() const { return process_.port(); }
  const std::string& root() const { return root_; }
  // "ftp://127.0.0.1:<port>/" + path.
  std::string Url(const std::string& path) const;
  // Every command line received, in order ("REST 1000", "RETR x", ...).
  std::vector<std::string> Commands() const;
  int CountCommands(const std::string& prefix) const;

 private:
  ScopedTempDir dir_;
  std::string root_;
  ServerProcess process_;
};

// The lines that `body` writes to standard output (the transfer layer's log).
std::vector<std::string> CaptureStdoutLines(const std::function<void()>& body);

// A port of 127.0.0.1 on which nothing listens (bound and released again).
int UnusedLoopbackPort();

}  // namespace tarvtest
