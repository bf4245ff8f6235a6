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
#include <vector>

#include "support/test_support.h"

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

void MakeDirs(const std::string& path) {
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    cur = path.substr(0, pos);
    if (!cur.empty()) mkdir(cur.c_str(), 0755);
  }
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

}  // namespace tarvtest
