// Linux side of the crash dump. Everything the signal path needs (file names,
// the alternate stack, the unwinder) is prepared at set-up, so that the
// writer itself only formats into fixed buffers and calls open/write/close.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <boost/stacktrace/safe_dump_to.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "diag/crash_dump.h"
#include "diag/text_encoding.h"

namespace TarvDiag {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr size_t kPathBytes = 4096;
constexpr size_t kAltStackBytes = size_t{256} * 1024;

char g_dump_path[kPathBytes];      // name relative to the current folder
char g_fallback_path[kPathBytes];  // the same name in the temporary folder
std::wstring g_dump_name;
volatile sig_atomic_t g_armed = 0;
volatile sig_atomic_t g_written = 0;

// What the recorder saw of the fault; zero when the dump is written without
// a signal.
volatile sig_atomic_t g_signal = 0;
uintptr_t g_fault_address = 0;
uintptr_t g_fault_pc = 0;

struct sigaction g_previous[sizeof kFatalSignals / sizeof kFatalSignals[0]];

// Fixed-size text assembled without the allocator.
class DumpText {
 public:
  void Add(const char* text) {
    while (*text && m_used < sizeof m_bytes) m_bytes[m_used++] = *text++;
  }
  void AddHex(uintptr_t value) {
    char digits[2 * sizeof value + 1];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[value & 15];
      value >>= 4;
    } while (value);
    while (n > 0 && m_used < sizeof m_bytes) m_bytes[m_used++] = digits[--n];
  }
  void AddDecimal(long value) {
    char digits[24];
    int n = 0;
    bool negative = value < 0;
    unsigned long v = negative ? -static_cast<unsigned long>(value) : value;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    if (negative) Add("-");
    while (n > 0 && m_used < sizeof m_bytes) m_bytes[m_used++] = digits[--n];
  }
  void WriteTo(int fd) const { WriteAll(fd, m_bytes, m_used); }
  static void WriteAll(int fd, const char* bytes, size_t count) {
    while (count > 0) {
      ssize_t n = write(fd, bytes, count);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      bytes += n;
      count -= static_cast<size_t>(n);
    }
  }

 private:
  char m_bytes[16384];
  size_t m_used = 0;
};

// Opens the dump file: the fixed name in the current folder (replacing an
// older file of that name), else a new file of that name in the temporary
// folder, which other users may share, so an existing name is never reused.
int OpenDumpFile() {
  const int kFlags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_CREAT;
  int fd = open(g_dump_path, kFlags | O_TRUNC, 0600);
  if (fd < 0 && g_fallback_path[0]) fd = open(g_fallback_path, kFlags | O_EXCL, 0600);
  return fd;
}

void CopyModuleMap(int fd) {
  int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps < 0) return;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(maps, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    DumpText::WriteAll(fd, chunk, static_cast<size_t>(n));
  }
  close(maps);
}

void WriteDump(int fd) {
  static DumpText text;  // too large for an alternate stack; used once
  text.Add("TARV CRASH DUMP 1\nversion ");
  text.Add(kPatcherVersion);
  text.Add("\npid ");
  text.AddDecimal(getpid());
  text.Add("\nsignal ");
  text.AddDecimal(g_signal);
  text.Add("\nfault-address ");
  text.AddHex(g_fault_address);
  text.Add("\n");
  if (g_signal) {
    text.Add("pc ");
    text.AddHex(g_fault_pc);
    text.Add("\n");
  }
  // 64 frames and the terminating null that the unwinder stores.
  void* frames[65];
  size_t count = boost::stacktrace::safe_dump_to(frames, sizeof frames);
  for (size_t i = 0; i < count && frames[i]; ++i) {
    text.Add("frame ");
    text.AddHex(reinterpret_cast<uintptr_t>(frames[i]));
    text.Add("\n");
  }
  text.Add("maps\n");
  text.WriteTo(fd);
  CopyModuleMap(fd);
}

size_t SignalIndex(int sig) {
  for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i) {
    if (kFatalSignals[i] == sig) return i;
  }
  return 0;
}

void ChainToPrevious(int sig, siginfo_t* info, void* context) {
  const struct sigaction& previous = g_previous[SignalIndex(sig)];
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(sig, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(sig);
  }
  // No hook, or it returned: end through the signal's own default action.
  signal(sig, SIG_DFL);
  raise(sig);
}

void FatalSignalRecorder(int sig, siginfo_t* info, void* context) {
  if (!g_written) {
    g_signal = sig;
    g_fault_address = info ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;
#if defined(__x86_64__)
    if (context) g_fault_pc = static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP];
#elif defined(__aarch64__)
    if (context) g_fault_pc = static_cast<ucontext_t*>(context)->uc_mcontext.pc;
#endif
    WriteCrashDump();
  }
  ChainToPrevious(sig, info, context);
}

// A fault caused by running out of stack can only be handled on a stack of
// its own.
void InstallAlternateStack() {
  void* memory =
      mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  stack_t stack = {};
  stack.ss_sp = memory;
  stack.ss_size = kAltStackBytes;
  if (sigaltstack(&stack, nullptr) != 0) munmap(memory, kAltStackBytes);
}

void InstallRecorder() {
  InstallAlternateStack();
  struct sigaction action = {};
  action.sa_sigaction = FatalSignalRecorder;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i) {
    sigaction(kFatalSignals[i], &action, &g_previous[i]);
  }
}

bool CopyPath(const std::string& path, char* out) {
  if (path.size() >= kPathBytes) return false;
  memcpy(out, path.c_str(), path.size() + 1);
  return true;
}

std::string FallbackFolder() {
  for (const char* name : {"TEMP", "TMPDIR"}) {
    const char* value = getenv(name);
    if (value && *value) return value;
  }
  return "/tmp";
}

}  // namespace

std::wstring CrashDumpName() { return g_dump_name; }

bool CrashDumpWritten() { return g_written != 0; }

bool DebuggerAttached() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return atol(line.c_str() + 10) != 0;
  }
  return false;
}

}  // namespace TarvDiag

bool SetUpCrashDump(const std::wstring& base_name, void (*enable_fatal_handling)()) {
  using namespace TarvDiag;
  if (DebuggerAttached()) return false;
  time_t now = time(nullptr);
  std::tm local = {};
  localtime_r(&now, &local);
  std::wstring name = CrashDumpFileName(base_name, local);
  std::string narrow = TarvText::ToUtf8(name);
  if (name.empty() || narrow.find('/') != std::string::npos) return false;
  if (!CopyPath(narrow, g_dump_path) ||
      !CopyPath(FallbackFolder() + "/" + narrow, g_fallback_path)) {
    return false;
  }
  g_dump_name = name;
  // The first unwind loads the unwinder's tables; do it here, not in a
  // signal handler.
  void* warm[4];
  boost::stacktrace::safe_dump_to(warm, sizeof warm);
  if (enable_fatal_handling) enable_fatal_handling();
  InstallRecorder();
  g_armed = 1;
  return true;
}

void WriteCrashDump() {
  using namespace TarvDiag;
  if (!g_armed || g_written) return;
  g_written = 1;
  int fd = OpenDumpFile();
  if (fd < 0) return;
  WriteDump(fd);
  fsync(fd);
  close(fd);
}
