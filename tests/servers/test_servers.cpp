#include "servers/test_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

extern char** environ;

namespace tarvtest {

namespace {

std::string ServersDir() { return SourceDir() + "/tests/servers"; }

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

void RunOpenssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r = Run(argv);
  ASSERT_EQ(r.exit_code, 0) << "openssl " << args[0] << ": " << r.err;
}

const char* kKeyArgs[] = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

std::vector<std::string> WithKeyArgs(std::vector<std::string> args) {
  args.insert(args.begin() + 1, std::begin(kKeyArgs), std::end(kKeyArgs));
  return args;
}

// Bodies may hold any byte: each travels as the code point of the same value,
// which the server turns back into bytes with Latin-1.
std::string Latin1ToUtf8(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

// ---- ServerProcess -----------------------------------------------------------

ServerProcess::~ServerProcess() { Stop(); }

void ServerProcess::Start(const std::vector<std::string>& args, const std::string& port_file) {
  std::vector<std::string> argv = {"/usr/bin/python3"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  int rc = posix_spawn(&pid_, cargv[0], &fa, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ASSERT_EQ(rc, 0) << "cannot start " << args[0];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(port_file);
    if (in >> port_) return;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      FAIL() << "test server " << args[0] << " ended before it was ready";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  FAIL() << "test server " << args[0] << " did not come up";
}

void ServerProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

// ---- HttpTestServer ------------------------------------------------------------

HttpTestServer::HttpTestServer(Tls tls, const std::string& root) {
  root_ = root.empty() ? dir_.Sub("root") : root;
  MakeDirs(root_);
  WriteRoutes();
  std::vector<std::string> args = {ServersDir() + "/http_server.py",
                                   "--root",
                                   root_,
                                   "--port-file",
                                   dir_.Sub("port"),
                                   "--routes",
                                   dir_.Sub("routes.json"),
                                   "--log",
                                   dir_.Sub("requests.log")};
  if (tls != Tls::kNone) {
    MakeCertificates(tls);
    args.insert(args.end(),
                {"--tls-cert", dir_.Sub("server.pem"), "--tls-key", dir_.Sub("server.key")});
  }
  process_.Start(args, dir_.Sub("port"));
  scheme_ = tls == Tls::kNone ? "http" : "https";
}

void HttpTestServer::MakeCertificates(Tls tls) {
  std::string ext = dir_.Sub("ext.cnf");
  WriteFile(ext, "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
  if (tls == Tls::kSelfSigned) {
    RunOpenssl(WithKeyArgs({"req", "-x509", "-keyout", dir_.Sub("server.key"), "-out",
                            dir_.Sub("server.pem"), "-days", "2", "-subj", "/CN=127.0.0.1",
                            "-addext", "subjectAltName=IP:127.0.0.1"}));
    return;
  }
  ca_file_ = dir_.Sub("ca.pem");
  RunOpenssl(WithKeyArgs({"req", "-x509", "-keyout", dir_.Sub("ca.key"), "-out", ca_file_, "-days",
                          "2", "-subj", "/CN=Tarv throwaway test CA"}));
  RunOpenssl(WithKeyArgs({"req", "-keyout", dir_.Sub("server.key"), "-out", dir_.Sub("server.csr"),
                          "-subj", "/CN=127.0.0.1"}));
  RunOpenssl({"x509", "-req", "-in", dir_.Sub("server.csr"), "-CA", ca_file_, "-CAkey",
              dir_.Sub("ca.key"), "-CAcreateserial", "-out", dir_.Sub("server.pem"), "-days", "2",
              "-extfile", ext});
}

std::string HttpTestServer::Url(const std::string& path) const {
  return scheme_ + "://127.0.0.1:" + std::to_string(port()) + "/" + path;
}

void HttpTestServer::SetRoute(const std::string& path, const HttpRoute& route) {
  routes_[path] = route;
  WriteRoutes();
}

void HttpTestServer::ClearRoutes() {
  routes_.clear();
  WriteRoutes();
}

namespace {

nlohmann::json RouteJson(const HttpRoute& r, bool partial) {
  nlohmann::json j = nlohmann::json::object();
  if (!partial || r.status != 200) j["status"] = r.status;
  if (!partial || r.fail_first != 0) j["fail_first"] = r.fail_first;
  if (r.body) j["body"] = Latin1ToUtf8(*r.body);
  if (r.file) j["file"] = *r.file;
  if (r.no_length) j["no_length"] = true;
  if (r.length) j["length"] = *r.length;
  if (r.cut_after) j["cut_after"] = *r.cut_after;
  if (r.cut_first) j["cut_first"] = *r.cut_first;
  if (r.stall_after) j["stall_after"] = *r.stall_after;
  if (r.redirect) j["redirect"] = *r.redirect;
  if (!r.headers.empty()) j["headers"] = r.headers;
  if (r.etag) j["etag"] = *r.etag;
  if (r.last_modified) j["last_modified"] = *r.last_modified;
  if (!r.ranges) j["ranges"] = false;
  if (r.throttle) j["throttle"] = *r.throttle;
  if (r.never_answer) j["never_answer"] = true;
  if (r.endless) j["endless"] = true;
  if (!r.later.empty()) {
    j["later_from"] = r.later_from;
    j["later"] = RouteJson(r.later.front(), true);
  }
  return j;
}

}  // namespace

void HttpTestServer::WriteRoutes() {
  nlohmann::json all = nlohmann::json::object();
  for (const auto& [path, r] : routes_) all[path] = RouteJson(r, false);
  std::string text = all.dump();
  std::string tmp = dir_.Sub("routes.json.tmp");
  WriteFile(tmp, text);
  std::rename(tmp.c_str(), dir_.Sub("routes.json").c_str());
}

std::vector<HttpRequestRecord> HttpTestServer::Requests() const {
  std::vector<HttpRequestRecord> out;
  for (const std::string& line : ReadLines(dir_.Sub("requests.log"))) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || j.contains("done")) continue;
    HttpRequestRecord r;
    r.method = j.value("method", "");
    r.path = j.value("path", "");
    for (auto& [k, v] : j["headers"].items()) r.headers[k] = v.get<std::string>();
    out.push_back(r);
  }
  return out;
}

uint64_t HttpTestServer::BytesSent(const std::string& path) const {
  uint64_t sent = 0;
  for (const std::string& line : ReadLines(dir_.Sub("requests.log"))) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_discarded() && j.value("done", "") == path) sent += j.value("sent", uint64_t{0});
  }
  return sent;
}

int HttpTestServer::CountAnswered(const std::string& path) const {
  int n = 0;
  for (const std::string& line : ReadLines(dir_.Sub("requests.log"))) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    n += !j.is_discarded() && j.value("done", "") == path;
  }
  return n;
}

int HttpTestServer::CountRequests(const std::string& path) const {
  int n = 0;
  for (const auto& r : Requests()) n += r.path == path;
  return n;
}

// ---- FtpTestServer -------------------------------------------------------------

FtpTestServer::FtpTestServer(const FtpOptions& o) {
  root_ = o.root.empty() ? dir_.Sub("root") : o.root;
  MakeDirs(root_);
  std::vector<std::string> args = {
      ServersDir() + "/ftp_server.py", "--root", root_, "--port-file", dir_.Sub("port"), "--log",
      dir_.Sub("commands.log")};
  if (!o.user.empty()) args.insert(args.end(), {"--user", o.user, "--password", o.password});
  if (o.refuse_rest) args.push_back("--refuse-rest");
  if (o.cut_after) {
    args.insert(args.end(), {"--cut-after", std::to_string(*o.cut_after), "--cut-times",
                             std::to_string(o.cut_times)});
  }
  if (o.drop_on_retr > 0)
    args.insert(args.end(), {"--drop-on-retr", std::to_string(o.drop_on_retr)});
  if (o.no_epsv) args.push_back("--no-epsv");
  if (!o.size_reply.empty()) args.insert(args.end(), {"--size-reply", o.size_reply});
  if (!o.masquerade.empty()) args.insert(args.end(), {"--masquerade", o.masquerade});
  if (o.throttle > 0) args.insert(args.end(), {"--throttle", std::to_string(o.throttle)});
  process_.Start(args, dir_.Sub("port"));
}

std::string FtpTestServer::Url(const std::string& path) const {
  return "ftp://127.0.0.1:" + std::to_string(port()) + "/" + path;
}

std::vector<std::string> FtpTestServer::Commands() const {
  return ReadLines(dir_.Sub("commands.log"));
}

int FtpTestServer::CountCommands(const std::string& prefix) const {
  int n = 0;
  for (const auto& c : Commands()) n += c.rfind(prefix, 0) == 0;
  return n;
}

std::vector<std::string> CaptureStdoutLines(const std::function<void()>& body) {
  testing::internal::CaptureStdout();
  body();
  std::string text = testing::internal::GetCapturedStdout();
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

int UnusedLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace tarvtest
