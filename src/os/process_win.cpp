// Windows side of the child programs: CreateProcessW from a quoted command
// line, the window hidden, standard input from NUL, and only the handles
// the child is meant to have (its three standard ones and a passed pipe)
// inherited, through an explicit handle list. A descriptor passed on (a
// handle value here) is handed over as the C runtime of the child expects
// it (the lpReserved2 block), so that it opens there as descriptor 3.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwctype>

#include "diag/system_error.h"
#include "diag/text_encoding.h"
#include "os/process.h"

namespace OS {
namespace {

// The exit code TerminateProcess gives, seen as the kill "signal"; beyond
// 255, so no program's own exit status can be mistaken for it.
constexpr DWORD kKilledExitCode = 0x4B1D0009;
constexpr int kKillSignal = 9;
constexpr int kFaultSignal = 11;
constexpr int kAbnormalSignal = 6;

std::wstring Wide(const std::string& utf8) { return TarvText::FromUtf8(utf8); }

std::wstring UpperName(const std::wstring& entry) {
  std::wstring name = entry.substr(0, entry.find(L'=', 1));
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
  return name;
}

// This process's environment with `extra` replacing entries of the same
// name (names compare without regard to case, as Windows compares them),
// as the double-zero-terminated block CreateProcessW takes.
std::wstring EnvironmentBlock(const std::vector<std::string>& extra) {
  std::vector<std::wstring> added;
  for (const auto& e : extra) added.push_back(Wide(e));
  std::vector<std::wstring> entries;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* e = block; e != nullptr && *e != L'\0'; e += std::wcslen(e) + 1) {
    std::wstring entry(e);
    bool replaced = std::any_of(added.begin(), added.end(), [&](const std::wstring& x) {
      return UpperName(x) == UpperName(entry);
    });
    if (!replaced) entries.push_back(entry);
  }
  if (block != nullptr) FreeEnvironmentStringsW(block);
  entries.insert(entries.end(), added.begin(), added.end());
  std::wstring out;
  for (const auto& e : entries) out += e + L'\0';
  out += L'\0';
  return out;
}

HANDLE OpenInheritable(const wchar_t* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// An inheritable copy of one of our standard handles; null when there is
// none (a program without a console).
HANDLE InheritedStandard(DWORD which) {
  HANDLE own = GetStdHandle(which);
  HANDLE copy = nullptr;
  if (own == nullptr || own == INVALID_HANDLE_VALUE) return nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

// The handles the child gets, closed here once it has them.
struct ChildHandles {
  HANDLE std[3] = {nullptr, nullptr, nullptr};
  HANDLE passed = nullptr;
  ~ChildHandles() {
    for (HANDLE h : std) {
      if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    if (passed != nullptr) CloseHandle(passed);
  }
  std::vector<HANDLE> List() const {
    std::vector<HANDLE> list;
    for (HANDLE h : {std[0], std[1], std[2], passed}) {
      if (h != nullptr && std::find(list.begin(), list.end(), h) == list.end()) list.push_back(h);
    }
    return list;
  }
};

bool OpenStream(const std::string& path, DWORD which, HANDLE* out, std::string* failed) {
  if (path.empty()) {
    *out = InheritedStandard(which);
    return true;
  }
  *out = OpenInheritable(Wide(path).c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  if (*out != INVALID_HANDLE_VALUE) return true;
  *out = nullptr;
  *failed =
      which == STD_OUTPUT_HANDLE ? "redirecting standard output" : "redirecting standard error";
  return false;
}

// The C runtime's hand-over of descriptors 0 to 3: a count, one flag byte
// per descriptor (open; a pipe or a device), then the handles.
std::vector<BYTE> RuntimeDescriptors(const ChildHandles& handles) {
  constexpr BYTE kOpen = 0x01, kPipe = 0x08, kDevice = 0x40;
  const int count = 4;
  std::vector<BYTE> block(sizeof(int) + count * (1 + sizeof(HANDLE)), 0);
  std::memcpy(block.data(), &count, sizeof count);
  HANDLE all[count] = {handles.std[0], handles.std[1], handles.std[2], handles.passed};
  for (int i = 0; i < count; ++i) {
    HANDLE h = all[i] != nullptr ? all[i] : INVALID_HANDLE_VALUE;
    const DWORD kind = h != INVALID_HANDLE_VALUE ? GetFileType(h) : FILE_TYPE_UNKNOWN;
    BYTE flags = h != INVALID_HANDLE_VALUE ? kOpen : 0;
    if (kind == FILE_TYPE_PIPE) flags |= kPipe;
    if (kind == FILE_TYPE_CHAR) flags |= kDevice;
    block[sizeof(int) + i] = flags;
    std::memcpy(block.data() + sizeof(int) + count + i * sizeof(HANDLE), &h, sizeof h);
  }
  return block;
}

// An attribute list that limits inheritance to `list`.
class HandleListAttribute {
 public:
  explicit HandleListAttribute(std::vector<HANDLE> list) : m_list(std::move(list)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    m_bytes.resize(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_bytes.data());
    m_ok =
        !m_list.empty() && InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, m_list.data(),
                                  m_list.size() * sizeof(HANDLE), nullptr, nullptr);
    if (m_ok) m_attributes = attributes;
  }
  ~HandleListAttribute() {
    if (m_attributes != nullptr) DeleteProcThreadAttributeList(m_attributes);
  }
  HandleListAttribute(const HandleListAttribute&) = delete;
  HandleListAttribute& operator=(const HandleListAttribute&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return m_attributes; }

 private:
  std::vector<HANDLE> m_list;
  std::vector<BYTE> m_bytes;
  LPPROC_THREAD_ATTRIBUTE_LIST m_attributes = nullptr;
  bool m_ok = false;
};

}  // namespace

Process::~Process() {
  if (m_handle != nullptr) CloseHandle(static_cast<HANDLE>(m_handle));
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
  ChildHandles handles;
  std::string failed;
  handles.std[0] = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  if (handles.std[0] == INVALID_HANDLE_VALUE) failed = "redirecting standard input";
  if (failed.empty()) OpenStream(m_stdoutPath, STD_OUTPUT_HANDLE, &handles.std[1], &failed);
  if (failed.empty()) OpenStream(m_stderrPath, STD_ERROR_HANDLE, &handles.std[2], &failed);
  if (failed.empty() && m_passedFd >= 0) {
    // On Windows a descriptor of ours is a handle value (see Pipe).
    HANDLE own = LongToHandle(m_passedFd);
    if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &handles.passed, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
      failed = "passing a descriptor";
    }
  }
  if (!failed.empty()) {
    if (error) *error = failed + ": " + TarvDiag::SystemErrorText(GetLastError());
    return false;
  }

  std::vector<std::wstring> wide_argv;
  for (const auto& a : argv) wide_argv.push_back(Wide(a));
  std::wstring command_line = QuotedCommandLine(wide_argv);
  std::wstring environment = EnvironmentBlock(extra_env);
  std::vector<BYTE> descriptors = RuntimeDescriptors(handles);
  HandleListAttribute inherit(handles.List());

  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  startup.StartupInfo.hStdInput = handles.std[0];
  startup.StartupInfo.hStdOutput = handles.std[1];
  startup.StartupInfo.hStdError = handles.std[2];
  startup.StartupInfo.cbReserved2 = static_cast<WORD>(descriptors.size());
  startup.StartupInfo.lpReserved2 = descriptors.data();
  startup.lpAttributeList = inherit.get();
  // Without a console of our own the child gets none either, so that no
  // console window flashes up; with one it writes to ours.
  DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP |
                (GetConsoleWindow() == nullptr ? CREATE_NO_WINDOW : 0) |
                (inherit.get() != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
  std::wstring folder = Wide(working_dir);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(Wide(argv[0]).c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                      environment.data(), folder.empty() ? nullptr : folder.c_str(),
                      &startup.StartupInfo, &info)) {
    if (error) *error = TarvDiag::SystemErrorText(GetLastError());
    return false;
  }
  CloseHandle(info.hThread);
  if (m_handle != nullptr) CloseHandle(static_cast<HANDLE>(m_handle));
  m_handle = info.hProcess;
  m_pid = static_cast<ProcessId>(info.dwProcessId);
  m_exited = false;
  m_exitCode = -1;
  m_signal = 0;
  return true;
}

bool Process::Reap(bool block) {
  if (m_exited) return true;
  HANDLE handle = static_cast<HANDLE>(m_handle);
  if (WaitForSingleObject(handle, block ? INFINITE : 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!GetExitCodeProcess(handle, &code)) return false;
  m_exited = true;
  if (code <= 255) {
    m_exitCode = static_cast<int>(code);
  } else if (code == kKilledExitCode) {
    m_signal = kKillSignal;
  } else {
    // Exit statuses beyond a byte are the system's: an exception such as an
    // access violation ended the child, which Linux reports as a signal.
    m_signal =
        code == static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION) ? kFaultSignal : kAbnormalSignal;
  }
  return true;
}

Process::WaitResult Process::Wait(int timeout_ms) {
  if (m_pid <= 0 || m_handle == nullptr) return WaitResult::kFailed;
  if (m_exited) return WaitResult::kExited;
  DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
  DWORD result = WaitForSingleObject(static_cast<HANDLE>(m_handle), wait);
  if (result == WAIT_TIMEOUT) return WaitResult::kTimedOut;
  if (result != WAIT_OBJECT_0) return WaitResult::kFailed;
  return Reap(false) ? WaitResult::kExited : WaitResult::kFailed;
}

bool Process::Terminate() {
  if (m_pid <= 0 || m_handle == nullptr) return false;
  if (m_exited) return true;
  TerminateProcess(static_cast<HANDLE>(m_handle), kKilledExitCode);
  return Reap(true);
}

void KillProcess(ProcessId pid) {
  if (pid <= 0) return;
  HANDLE handle = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
  if (handle == nullptr) return;
  TerminateProcess(handle, kKilledExitCode);
  CloseHandle(handle);
}

int KilledSignal() { return kKillSignal; }

}  // namespace OS
