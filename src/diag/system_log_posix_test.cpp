#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "diag/system_log.h"
#include "diag/text_encoding.h"
#include "support/test_support.h"

namespace {

std::string Probe() { return tarvtest::BinDir() + "/system_log_probe"; }

// Decodes UTF-16LE (no surrogates needed here) into a wide string.
std::wstring FromUtf16Le(const std::string& bytes) {
  std::wstring out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(bytes[i]) |
                  (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return out;
}

// Starts the probe with a console-pipe listener: the FIFO is made for the
// child's pid after fork and before the child runs any of its code, which is
// what a listener that starts the program suspended does.
std::string ListenToProbe(const std::vector<std::string>& args, const std::string& runtime_dir,
                          const std::string& stdout_path = "") {
  int go[2];
  EXPECT_EQ(pipe(go), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(go[1]);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(99);
    if (!stdout_path.empty()) {
      int out = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(97);
      close(out);
    }
    setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(98);
  }
  close(go[0]);
  std::string fifo = runtime_dir + "/" + std::to_string(pid) + "cout";
  EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  // Our own writer end keeps reads from seeing end-of-file before the child
  // has opened the pipe.
  int keep = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_GE(rd, 0);
  EXPECT_EQ(write(go[1], "g", 1), 1);
  close(go[1]);
  std::string data;
  char buf[65536];
  int status = 0;
  bool exited = false;
  for (;;) {
    pollfd p = {rd, POLLIN, 0};
    poll(&p, 1, 50);
    ssize_t n;
    while ((n = read(rd, buf, sizeof buf)) > 0) data.append(buf, n);
    if (exited) break;
    exited = waitpid(pid, &status, WNOHANG) == pid;
  }
  close(keep);
  close(rd);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return data;
}

TEST(SystemLog, WithoutListenerStandardOutputKeepsEightBitLines) {
  struct Case {
    const char* mode;
    std::string expected;
  } cases[] = {
      {"one", "parm: -a\n"},
      // Cut at the 4096-character buffer: the break takes the last place.
      {"long", std::string(4094, 'x') + "\n"},
  };
  tarvtest::ScopedTempDir dir;
  for (const auto& c : cases) {
    auto r = tarvtest::Run({Probe(), c.mode}, {"XDG_RUNTIME_DIR=" + dir.path()});
    EXPECT_EQ(r.exit_code, 0) << c.mode;
    EXPECT_EQ(r.out, c.expected) << c.mode;
  }
}

TEST(SystemLog, ListenerReceivesUtf16LeLines) {
  tarvtest::ScopedTempDir dir;
  std::string data = ListenToProbe({Probe(), "one"}, dir.path());
  EXPECT_EQ(data.size(), 18u);
  EXPECT_EQ(FromUtf16Le(data), L"parm: -a\n");
}

// Only the trace writes into the listener's pipe: 8-bit output of the
// program and of the programs it starts stays on standard output.
TEST(SystemLog, ListenerGetsOnlyTheTrace) {
  tarvtest::ScopedTempDir dir;
  std::string data = ListenToProbe({Probe(), "mixed"}, dir.path(), dir.Sub("stdout"));
  EXPECT_EQ(FromUtf16Le(data), L"parm: -a\n");
  EXPECT_EQ(data.size(), 18u);
  EXPECT_EQ(tarvtest::ReadFile(dir.Sub("stdout")), "raw \xe4 bytes\nfrom a child\n");
}

// The pipe's name in a shared folder can be taken by anyone: a regular
// file (or a link to one) planted there must not receive the trace, which
// then stays on standard output.
TEST(SystemLog, OnlyAFifoIsTakenForTheListener) {
  for (const bool as_link : {false, true}) {
    tarvtest::ScopedTempDir dir;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const std::string out_path = dir.Sub("stdout");
    pid_t pid = fork();
    if (pid == 0) {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) != 1) _exit(99);
      int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(97);
      setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
      execl(Probe().c_str(), Probe().c_str(), "one", static_cast<char*>(nullptr));
      _exit(98);
    }
    close(go[0]);
    const std::string planted = dir.Sub(std::to_string(pid) + "cout");
    const std::string target = dir.Sub("target");
    tarvtest::WriteFile(as_link ? target : planted, "");
    if (as_link) {
      ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);
    }
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(tarvtest::ReadFile(as_link ? target : planted), "") << as_link;
    EXPECT_EQ(tarvtest::ReadFile(out_path), "parm: -a\n") << as_link;
  }
}

TEST(SystemLog, ConcurrentWritersGiveWholeLinesOnThePipe) {
  tarvtest::ScopedTempDir dir;
  const int kLines = 300;
  std::string data = ListenToProbe({Probe(), "threads", std::to_string(kLines)}, dir.path());
  ASSERT_EQ(data.size() % 2, 0u);
  std::wstring text = FromUtf16Le(data);
  std::map<int, std::set<int>> seen;
  size_t start = 0;
  for (size_t nl; (nl = text.find(L'\n', start)) != std::wstring::npos; start = nl + 1) {
    std::wstring line = text.substr(start, nl - start);
    int t = -1, i = -1;
    ASSERT_EQ(swscanf(line.c_str(), L"thread %d line %d", &t, &i), 2) << TarvText::ToUtf8(line);
    std::wstring expected = L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i) +
                            L" \u00e4\u20ac " + std::wstring(40, L'a' + t);
    EXPECT_EQ(line, expected);
    seen[t].insert(i);
  }
  EXPECT_EQ(start, text.size()) << "a partial line at the end";
  ASSERT_EQ(seen.size(), 4u);
  for (auto& [t, lines] : seen) EXPECT_EQ(lines.size(), static_cast<size_t>(kLines)) << t;
}

TEST(SystemLog, WideFormatTakesWideStringsAndCharacters) {
  // In-process: capture standard output through a pipe.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int saved = dup(STDOUT_FILENO);
  dup2(fds[1], STDOUT_FILENO);
  SystemLogW(L"%s|%c|%hs|%d%%", L"wide \u00fc", L'Z', "narrow", 42);
  SystemLogA("%s=%u", "x", 7u);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(fds[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, n);
  close(fds[0]);
  EXPECT_EQ(out, "wide \xc3\xbc|Z|narrow|42%\nx=7\n");
}

}  // namespace
