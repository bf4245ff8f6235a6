#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os/process.h"

extern char** environ;

namespace OS {
namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& x : extra) replaced |= x.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> CStrings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  out.reserve(v.size() + 1);
  for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

Process::~Process() {
  if (m_pidfd >= 0) close(m_pidfd);
}

void Process::RedirectOutput(const std::string& stdout_path, const std::string& stderr_path) {
  m_stdoutPath = stdout_path;
  m_stderrPath = stderr_path;
}

bool Process::Start(const std::vector<std::string>& argv, std::string* error,
                    const std::string& working_dir, const std::vector<std::string>& extra_env) {
  if (argv.empty() || argv[0].empty()) {
    if (error) *error = "no program given";
    return false;
  }
  // Every step of the preparation is checked: a child started with a
  // missing redirection or signal setting would behave differently from
  // what the caller asked for.
  int rc = 0;
  const char* failed = nullptr;
  auto check = [&](int result, const char* what) {
    if (rc == 0 && result != 0) {
      rc = result;
      failed = what;
    }
  };
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  const bool have_actions = posix_spawn_file_actions_init(&actions) == 0;
  const bool have_attr = posix_spawnattr_init(&attr) == 0;
  if (!have_actions || !have_attr) check(ENOMEM, "preparing the start");
  const int kOut = O_WRONLY | O_CREAT | O_TRUNC;
  if (have_actions) {
    check(posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0),
          "redirecting standard input");
    if (!m_stdoutPath.empty()) {
      check(posix_spawn_file_actions_addopen(&actions, 1, m_stdoutPath.c_str(), kOut, 0644),
            "redirecting standard output");
    }
    if (!m_stderrPath.empty()) {
      check(posix_spawn_file_actions_addopen(&actions, 2, m_stderrPath.c_str(), kOut, 0644),
            "redirecting standard error");
    }
    if (!working_dir.empty()) {
      check(posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str()),
            "setting the working folder");
    }
    int keep_from = 3;
    if (m_passedFd >= 0) {
      check(posix_spawn_file_actions_adddup2(&actions, m_passedFd, 3), "passing a descriptor");
      keep_from = 4;
    }
    check(posix_spawn_file_actions_addclosefrom_np(&actions, keep_from),
          "closing inherited descriptors");
  }
  if (have_attr) {
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    check(posix_spawnattr_setsigmask(&attr, &none), "clearing the signal mask");
    check(posix_spawnattr_setsigdefault(&attr, &all), "resetting signal handlers");
    check(posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
          "setting the start flags");
  }

  std::vector<std::string> env = MergedEnvironment(extra_env);
  std::vector<char*> cargv = CStrings(argv), cenv = CStrings(env);
  pid_t pid = -1;
  if (rc == 0) rc = posix_spawn(&pid, cargv[0], &actions, &attr, cargv.data(), cenv.data());
  if (have_actions) posix_spawn_file_actions_destroy(&actions);
  if (have_attr) posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    // A failed start keeps the system's reason alone, as callers show it.
    if (error) *error = failed ? std::string(failed) + ": " + strerror(rc) : strerror(rc);
    return false;
  }
  m_pid = pid;
  m_exited = false;
  m_exitCode = -1;
  m_signal = 0;
  if (m_pidfd >= 0) close(m_pidfd);
  m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  return true;
}

bool Process::Reap(bool block) {
  if (m_exited) return true;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(m_pid, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != m_pid) return false;
  m_exited = true;
  if (WIFEXITED(status)) {
    m_exitCode = WEXITSTATUS(status);
  } else {
    m_signal = WTERMSIG(status);
  }
  if (m_pidfd >= 0) {
    close(m_pidfd);
    m_pidfd = -1;
  }
  return true;
}

Process::WaitResult Process::Wait(int timeout_ms) {
  if (m_pid <= 0) return WaitResult::kFailed;
  if (m_exited) return WaitResult::kExited;
  if (timeout_ms < 0) return Reap(true) ? WaitResult::kExited : WaitResult::kFailed;
  int64_t deadline = NowMs() + timeout_ms;
  while (!Reap(false)) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return WaitResult::kTimedOut;
    if (m_pidfd >= 0) {
      pollfd p = {m_pidfd, POLLIN, 0};
      poll(&p, 1, static_cast<int>(left));
    } else {
      usleep(static_cast<useconds_t>(std::min<int64_t>(left, 10) * 1000));
    }
  }
  return WaitResult::kExited;
}

bool Process::Terminate() {
  if (m_pid <= 0) return false;
  if (m_exited) return true;
  if (m_pidfd >= 0) {
    syscall(SYS_pidfd_send_signal, m_pidfd, SIGKILL, nullptr, 0);
  } else {
    kill(m_pid, SIGKILL);
  }
  return Reap(true);
}

void KillProcess(ProcessId pid) {
  if (pid > 0) kill(pid, SIGKILL);
}

int KilledSignal() { return SIGKILL; }

}  // namespace OS
