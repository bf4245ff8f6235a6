// bench_fetch: downloads one large file from 127.0.0.1 through Fetch into a
// file buffer, over HTTP (nginx where the machine has it, else our test
// server) and FTP (pyftpdlib), alternating with `curl -o` of the same
// address, and prints the throughput of each, the ratio, and the peak memory
// of each downloading process. Neither flushes the file to disk: a download
// is a temporary file, checked before use.
//
//   bench_fetch [--size-mib N] [--rounds R] [--dir FOLDER]
//
// Each download runs in a child process so that its peak resident memory
// (ru_maxrss) is its own.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "data/data_buffer.h"
#include "data/file_util.h"
#include "inet/transfer.h"

extern char** environ;

namespace {

struct Run {
  double seconds = 0;
  long peak_kib = 0;
  bool ok = false;
};

pid_t Spawn(const std::vector<std::string>& argv, bool quiet) {
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (quiet) posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

Run Wait(pid_t pid, std::chrono::steady_clock::time_point start) {
  Run r;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.peak_kib = usage.ru_maxrss;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

Run OurFetch(const std::string& url, const std::string& out) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    TarvDataBufferFile file(TarvUtil::FromFsPath(out), TarvDataBufferFile::MODE_WRITE);
    InetResult r = TarvInet::Fetch(url, &file, 0);
    _exit(r == INET_OK && file.Flush() == DB_OK ? 0 : 1);
  }
  return Wait(pid, start);
}

Run CurlFetch(const std::string& url, const std::string& out) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = Spawn({"/usr/bin/curl", "-s", "-o", out, url}, true);
  return Wait(pid, start);
}

void MakeFile(const std::string& path, uint64_t bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  std::vector<uint64_t> block(1 << 17);
  uint64_t x = 88172645463325252ull;
  for (uint64_t done = 0; done < bytes;) {
    for (auto& v : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      v = x;
    }
    size_t n = std::min<uint64_t>(bytes - done, block.size() * 8);
    fwrite(block.data(), 1, n, f);
    done += n;
  }
  fclose(f);
}

int StartServer(const std::vector<std::string>& args, const std::string& port_file, pid_t& pid) {
  std::vector<std::string> argv = {"/usr/bin/python3"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid = Spawn(argv, true);
  for (int i = 0; i < 500; ++i) {
    std::ifstream in(port_file);
    int port = 0;
    if (in >> port) return port;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

// nginx serving `root` on a free port of 127.0.0.1, from a configuration of
// its own in `dir`; 0 when nginx is missing or does not come up.
int StartNginx(const std::string& root, const std::string& dir, pid_t& pid) {
  const char* nginx = "/usr/sbin/nginx";
  if (access(nginx, X_OK) != 0) return 0;
  for (int attempt = 0; attempt < 20; ++attempt) {
    int port = 20000 + (getpid() * 7 + attempt * 131) % 30000;
    std::ofstream conf(dir + "/nginx.conf");
    // Run as root, its workers would drop to nobody, who cannot enter `dir`.
    if (geteuid() == 0) conf << "user root;\n";
    conf << "daemon off; worker_processes 1; pid " << dir << "/nginx.pid;\n"
         << "error_log " << dir << "/nginx.err;\nevents {}\nhttp {\n access_log off;\n"
         << " client_body_temp_path " << dir << "; proxy_temp_path " << dir << ";\n"
         << " fastcgi_temp_path " << dir << "; uwsgi_temp_path " << dir << ";\n"
         << " scgi_temp_path " << dir << ";\n sendfile on;\n"
         << " server { listen 127.0.0.1:" << port << "; root " << root << "; }\n}\n";
    conf.close();
    pid = Spawn({nginx, "-p", dir, "-c", dir + "/nginx.conf"}, true);
    for (int i = 0; i < 100; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (waitpid(pid, nullptr, WNOHANG) == pid) break;  // the port was taken
      pid_t probe = Spawn({"/usr/bin/curl", "-s", "-o", "/dev/null", "-r", "0-0",
                           "http://127.0.0.1:" + std::to_string(port) + "/big.bin"},
                          true);
      int status = 0;
      waitpid(probe, &status, 0);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return port;
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  pid = -1;
  return 0;
}

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void Bench(const char* name, const std::string& url, const std::string& dir, uint64_t size,
           int rounds) {
  std::vector<double> ours, curls, ratios;
  long our_peak = 0, curl_peak = 0;
  for (int i = 0; i < rounds; ++i) {
    std::string a = dir + "/ours.bin", b = dir + "/curl.bin";
    // Alternate which goes first so neither always meets a warm cache.
    Run o, c;
    // The dirty pages of the previous download are written out between
    // runs, untimed, so that no run pays for the one before it.
    if (i % 2 == 0) {
      sync();
      o = OurFetch(url, a);
      sync();
      c = CurlFetch(url, b);
    } else {
      sync();
      c = CurlFetch(url, b);
      sync();
      o = OurFetch(url, a);
    }
    bool ok = o.ok && c.ok && FileSize(a) == size && FileSize(b) == size;
    unlink(a.c_str());
    unlink(b.c_str());
    if (!ok) {
      printf("%s round %d: a download failed\n", name, i + 1);
      exit(1);
    }
    double mib = size / 1048576.0;
    printf("%s round %d: Fetch %.0f MiB/s (peak %ld KiB), curl %.0f MiB/s (peak %ld KiB)\n", name,
           i + 1, mib / o.seconds, o.peak_kib, mib / c.seconds, c.peak_kib);
    ours.push_back(mib / o.seconds);
    ratios.push_back(c.seconds / o.seconds);
    curls.push_back(mib / c.seconds);
    our_peak = std::max(our_peak, o.peak_kib);
    curl_peak = std::max(curl_peak, c.peak_kib);
  }
  printf(
      "%s median: Fetch %.0f MiB/s, curl %.0f MiB/s, ratio %.2f (median of the rounds' own "
      "ratios %.2f); peak memory Fetch %ld KiB, curl %ld KiB\n",
      name, Median(ours), Median(curls), Median(ours) / Median(curls), Median(ratios), our_peak,
      curl_peak);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 1024;
  int rounds = 3;
  std::string base = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string opt = argv[i];
    if (opt == "--size-mib") mib = strtoull(argv[i + 1], nullptr, 10);
    if (opt == "--rounds") rounds = atoi(argv[i + 1]);
    if (opt == "--dir") base = argv[i + 1];
  }
  std::string tmpl = base + "/bench-fetch-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) return 2;
  std::string dir = name.data();
  std::string root = dir + "/root";
  mkdir(root.c_str(), 0755);
  uint64_t size = mib * 1048576;
  MakeFile(root + "/big.bin", size);
  printf("file: %llu MiB on 127.0.0.1, %d rounds\n", static_cast<unsigned long long>(mib), rounds);

  std::string servers = TARV_TEST_SERVERS_DIR;
  pid_t http_pid = -1, ftp_pid = -1;
  int http_port = StartNginx(root, dir, http_pid);
  const char* http_name = "HTTP (nginx)";
  if (http_port == 0) {
    http_name = "HTTP (test server)";
    http_port = StartServer(
        {servers + "/http_server.py", "--root", root, "--port-file", dir + "/http.port"},
        dir + "/http.port", http_pid);
  }
  int ftp_port =
      StartServer({servers + "/ftp_server.py", "--root", root, "--port-file", dir + "/ftp.port"},
                  dir + "/ftp.port", ftp_pid);
  int rc = 0;
  if (http_port == 0 || ftp_port == 0) {
    printf("a test server did not start\n");
    rc = 1;
  } else {
    Bench(http_name, "http://127.0.0.1:" + std::to_string(http_port) + "/big.bin", dir, size,
          rounds);
    Bench("FTP", "ftp://127.0.0.1:" + std::to_string(ftp_port) + "/big.bin", dir, size, rounds);
  }
  for (pid_t pid : {http_pid, ftp_pid}) {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
  unlink((root + "/big.bin").c_str());
  TarvUtil::DeleteDirectoryTree(TarvUtil::FromFsPath(dir));
  return rc;
}
