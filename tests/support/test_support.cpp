#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

extern char** environ;

namespace tarvtest {

ScopedTempDir::ScopedTempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/tarvtest-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    ADD_FAILURE() << "mkdtemp failed: " << strerror(errno);
  }
  path_ = buf.data();
}

ScopedTempDir::~ScopedTempDir() { RemoveTree(path_); }

std::string ScopedTempDir::Sub(const std::string& relative) const { return path_ + "/" + relative; }

void MakeDirs(const std::string& path) {
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    cur = path.substr(0, pos);
    if (!cur.empty()) mkdir(cur.c_str(), 0755);
  }
}

void WriteFile(const std::string& path, const std::string& bytes) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeDirs(path.substr(0, slash));
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    ADD_FAILURE() << "cannot write " << path << ": " << strerror(errno);
    return;
  }
  if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    ADD_FAILURE() << "short write to " << path;
  }
  fclose(f);
}

std::string ReadFile(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    ADD_FAILURE() << "cannot read " << path << ": " << strerror(errno);
    return "";
  }
  std::string out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR* d = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
      closedir(d);
      for (const auto& n : names) RemoveTree(path + "/" + n);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

static void Walk(const std::string& root, const std::string& rel,
                 std::vector<std::pair<std::string, std::string>>* out) {
  DIR* d = opendir((root + "/" + rel).c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  for (const auto& n : names) {
    std::string r = rel.empty() ? n : rel + "/" + n;
    std::string full = root + "/" + r;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t len = readlink(full.c_str(), target, sizeof target);
      out->emplace_back(r, "->" + std::string(target, len > 0 ? len : 0));
    } else if (S_ISDIR(st.st_mode)) {
      out->emplace_back(r + "/", "");
      Walk(root, r, out);
    } else {
      out->emplace_back(r, ReadFile(full));
    }
  }
}

std::vector<std::pair<std::string, std::string>> SnapshotTree(const std::string& root) {
  std::vector<std::pair<std::string, std::string>> out;
  Walk(root, "", &out);
  std::sort(out.begin(), out.end());
  return out;
}

std::string SourceDir() {
  const char* v = getenv("TARV_SOURCE_DIR");
  return v && *v ? v : TARV_SOURCE_DIR_DEFAULT;
}

std::string BinDir() {
  const char* v = getenv("TARV_BIN_DIR");
  return v && *v ? v : TARV_BIN_DIR_DEFAULT;
}

static void DrainPipes(int out_fd, int err_fd, RunResult* r) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open_count = 2;
  char buf[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r->out : r->err).append(buf, n);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env) {
  RunResult r;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const auto& e : extra_env) env.push_back(e);
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&fa);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    r.err = std::string("spawn failed: ") + strerror(rc);
    return r;
  }
  DrainPipes(out_pipe[0], err_pipe[0], &r);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

ScopedEnv::ScopedEnv(const std::string& name, const char* value) : name_(name) {
  if (const char* old = getenv(name.c_str())) old_ = old;
  if (value != nullptr) {
    setenv(name.c_str(), value, 1);
  } else {
    unsetenv(name.c_str());
  }
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value)
    : ScopedEnv(name, value.c_str()) {}

ScopedEnv::ScopedEnv(const std::string& name, const std::string* value)
    : ScopedEnv(name, value ? value->c_str() : nullptr) {}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::string s(n, '\0');
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v = rng();
    memcpy(&s[i], &v, 8);
  }
  for (; i < n; ++i) s[i] = static_cast<char>(rng());
  return s;
}

std::string CodeLike(size_t functions, size_t grown, unsigned seed) {
  uint32_t state = seed;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  // Each function: items of 3 filler bytes or a branch to another function.
  std::vector<std::vector<uint32_t>> bodies(functions);  // item: 0 filler, else target + 1
  for (auto& body : bodies) {
    size_t items = 20 + next() % 40;
    for (size_t i = 0; i < items; ++i)
      body.push_back(next() % 4 == 0 ? 1 + next() % static_cast<uint32_t>(functions / 2) : 0);
  }
  std::vector<size_t> starts(functions);
  size_t pos = 0;
  for (size_t f = 0; f < functions; ++f) {
    starts[f] = pos;
    if (f == functions / 2) pos += grown;
    for (uint32_t item : bodies[f]) pos += item ? 5 : 3;
  }
  std::string out;
  state = seed * 7 + 1;  // the same filler in both versions
  for (size_t f = 0; f < functions; ++f) {
    if (f == functions / 2) out += RandomBytes(grown, seed + 1);
    for (uint32_t item : bodies[f]) {
      if (item == 0) {
        for (int k = 0; k < 3; ++k) out += static_cast<char>(0x40 + next() % 64);
        continue;
      }
      auto rel = static_cast<uint32_t>(starts[item - 1] - (out.size() + 5));
      out += static_cast<char>(item % 2 ? 0xE8 : 0xE9);
      for (int k = 0; k < 4; ++k) out += static_cast<char>(rel >> (8 * k));
    }
  }
  return out;
}

std::string Md5Hex(const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), out, &len, EVP_md5(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < len; ++i) {
    hex += "0123456789abcdef"[out[i] >> 4];
    hex += "0123456789abcdef"[out[i] & 15];
  }
  return hex;
}

bool Sanitized() {
  const char* value = getenv("TARV_SANITIZED");
  return value != nullptr && *value != '\0';
}

}  // namespace tarvtest
