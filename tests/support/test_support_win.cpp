// The Windows side of the test helpers: folders through std::filesystem,
// programs started with CreateProcessW (their output drained by one thread
// per pipe), the environment through the C runtime, which keeps the
// process's own block in step, and the reference MD5 from CNG.
#include <windows.h>
// after windows.h, whose types it uses
#include <bcrypt.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace tarvtest {
namespace fs = std::filesystem;

namespace {

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

fs::path PathOf(const std::string& utf8) { return fs::path(Wide(utf8)); }

std::string Utf8(const fs::path& p) { return Narrow(p.generic_wstring()); }

// One argument as CommandLineToArgvW reads it back: quoted when it holds a
// blank or a quote, backslashes doubled only before a quote.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, L'\\');
  return out + L"\"";
}

void Drain(HANDLE pipe, std::string* into) {
  char buf[65536];
  DWORD n = 0;
  while (::ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0) into->append(buf, n);
  CloseHandle(pipe);
}

void SetVariable(const std::string& name, const char* value) {
  // An empty value removes a variable in _putenv_s; SetEnvironmentVariable
  // keeps an empty one, as setenv does.
  _putenv_s(name.c_str(), value ? value : "");
  SetEnvironmentVariableW(Wide(name).c_str(), value ? Wide(value).c_str() : nullptr);
}

}  // namespace

ScopedTempDir::ScopedTempDir() {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  std::random_device rd;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    fs::path candidate = base / ("tarvtest-" + std::to_string(rd()));
    if (fs::create_directory(candidate, ec)) path_ = Utf8(candidate);
  }
  if (path_.empty()) ADD_FAILURE() << "cannot make a temporary folder in " << Utf8(base);
}

void MakeDirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(PathOf(path), ec);
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(PathOf(path), ec));
}

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  std::error_code ec;
  // Read-only files are removed too, as on a POSIX folder one may write.
  for (auto it = fs::recursive_directory_iterator(PathOf(path), ec); !ec && it != fs::end(it);
       it.increment(ec))
    SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
  fs::remove_all(PathOf(path), ec);
}

std::vector<std::pair<std::string, std::string>> SnapshotTree(const std::string& root) {
  std::vector<std::pair<std::string, std::string>> out;
  std::error_code ec;
  fs::path base = PathOf(root);
  for (auto it = fs::recursive_directory_iterator(base, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    std::string rel = Utf8(fs::relative(it->path(), base));
    if (it->is_symlink()) {
      out.emplace_back(rel, "->" + Utf8(fs::read_symlink(it->path(), ec)));
    } else if (it->is_directory()) {
      out.emplace_back(rel + "/", "");
    } else {
      out.emplace_back(rel, ReadFile(Utf8(it->path())));
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env) {
  RunResult r;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out_read, out_write, err_read, err_write;
  if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return r;
  if (!CreatePipe(&err_read, &err_write, &inherit, 0)) return r;
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);

  std::wstring cmd;
  for (const auto& a : argv) cmd += (cmd.empty() ? L"" : L" ") + Quote(Wide(a));
  std::wstring env;
  if (LPWCH block = GetEnvironmentStringsW()) {
    for (LPWCH p = block; *p; p += wcslen(p) + 1) env.append(p).push_back(L'\0');
    FreeEnvironmentStringsW(block);
  }
  for (const auto& e : extra_env) env.append(Wide(e)).push_back(L'\0');
  env.push_back(L'\0');

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in;
  si.hStdOutput = out_write;
  si.hStdError = err_write;
  PROCESS_INFORMATION pi{};
  std::wstring program = Wide(argv.empty() ? std::string() : argv[0]);
  BOOL ok =
      CreateProcessW(program.c_str(), cmd.data(), nullptr, nullptr, TRUE,
                     CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, env.data(), nullptr, &si, &pi);
  DWORD error = GetLastError();
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
  if (!ok) {
    CloseHandle(out_read);
    CloseHandle(err_read);
    r.err = "spawn failed: error " + std::to_string(error);
    return r;
  }
  std::thread err_thread(Drain, err_read, &r.err);
  Drain(out_read, &r.out);
  err_thread.join();
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  r.exit_code = static_cast<int>(code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return r;
}

ScopedEnv::ScopedEnv(const std::string& name, const char* value) : name_(name) {
  if (const char* old = getenv(name.c_str())) old_ = old;
  SetVariable(name, value);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value)
    : ScopedEnv(name, value.c_str()) {}

ScopedEnv::ScopedEnv(const std::string& name, const std::string* value)
    : ScopedEnv(name, value ? value->c_str() : nullptr) {}

ScopedEnv::~ScopedEnv() { SetVariable(name_, old_ ? old_->c_str() : nullptr); }

std::string Md5Hex(const std::string& data) {
  unsigned char out[16] = {};
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_MD5_ALGORITHM, nullptr, 0) == 0 &&
            BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
            BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                           static_cast<ULONG>(data.size()), 0) == 0 &&
            BCryptFinishHash(hash, out, sizeof out, 0) == 0;
  if (hash) BCryptDestroyHash(hash);
  if (alg) BCryptCloseAlgorithmProvider(alg, 0);
  if (!ok) ADD_FAILURE() << "CNG's MD5 failed";
  std::string hex;
  for (unsigned char b : out) {
    hex += "0123456789abcdef"[b >> 4];
    hex += "0123456789abcdef"[b & 15];
  }
  return hex;
}

}  // namespace tarvtest
