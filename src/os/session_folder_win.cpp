// Windows side of the session folder: a folder with a random name whose
// DACL, set at creation and not inherited from the temporary folder, lets
// in only the current user (and the system), so that another account
// sharing the temporary folder can neither read nor plant anything in it.
#include <windows.h>
// After windows.h, which they need.
#include <bcrypt.h>
#include <sddl.h>

#include <cstdio>
#include <mutex>
#include <set>
#include <string>

#include "data/file_util.h"
#include "os/session_folder.h"

namespace TarvUtil {
namespace {

struct Held {
  std::mutex mutex;
  std::set<std::wstring> paths;
};

Held& HeldFolders() {
  static Held* held = new Held;  // outlives every static destructor
  return *held;
}

// The current user's account as SDDL text ("S-1-5-21-..."); empty when the
// token cannot be read.
std::wstring UserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  std::wstring text;
  wchar_t* sid = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
    text = sid;
    LocalFree(sid);
  }
  CloseHandle(token);
  return text;
}

// Holds a security descriptor whose DACL ("D:P": not inherited from the
// parent) gives full access to this user and the system only, for files and
// folders below as well. The user's own account rather than the owner: an
// elevated copy's new folders belong to the Administrators group.
class PrivateSecurity {
 public:
  PrivateSecurity() {
    const std::wstring user = UserSid();
    const std::wstring dacl = L"D:P(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)";
    if (user.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                            dacl.c_str(), SDDL_REVISION_1, &m_descriptor, nullptr)) {
      m_descriptor = nullptr;
    }
    m_attributes = {sizeof m_attributes, m_descriptor, FALSE};
  }
  ~PrivateSecurity() {
    if (m_descriptor != nullptr) LocalFree(m_descriptor);
  }
  PrivateSecurity(const PrivateSecurity&) = delete;
  PrivateSecurity& operator=(const PrivateSecurity&) = delete;
  SECURITY_ATTRIBUTES* get() { return m_descriptor != nullptr ? &m_attributes : nullptr; }

 private:
  PSECURITY_DESCRIPTOR m_descriptor = nullptr;
  SECURITY_ATTRIBUTES m_attributes;
};

std::wstring RandomSuffix() {
  static const wchar_t kDigits[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6] = {};
  BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  std::wstring suffix;
  for (unsigned char b : bytes) suffix += kDigits[b % 36];
  return suffix;
}

bool IsFolder(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

bool SessionFolder::Create(const std::wstring& parent) {
  Remove();
  if (parent.empty() || !IsFolder(parent)) return false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring path = JoinPath(parent, L"tarv-" + RandomSuffix());
    if (CreateExclusiveFolder(path)) {
      m_path = path;
      std::lock_guard<std::mutex> lock(HeldFolders().mutex);
      HeldFolders().paths.insert(m_path);
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

void SessionFolder::Remove() {
  if (m_path.empty()) return;
  {
    std::lock_guard<std::mutex> lock(HeldFolders().mutex);
    HeldFolders().paths.erase(m_path);
  }
  DeleteDirectoryTree(m_path);
  m_path.clear();
}

void RemoveSessionFoldersNow() {
  std::lock_guard<std::mutex> lock(HeldFolders().mutex);
  for (const std::wstring& path : HeldFolders().paths) DeleteDirectoryTree(path);
  HeldFolders().paths.clear();
}

bool CreateExclusiveFile(const std::wstring& path) {
  PrivateSecurity security;
  if (security.get() == nullptr) return false;
  // CREATE_NEW fails on any existing name, a link included, and never
  // follows one.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, security.get(), CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

bool CreateExclusiveFolder(const std::wstring& path) {
  PrivateSecurity security;
  return !path.empty() && security.get() != nullptr &&
         CreateDirectoryW(path.c_str(), security.get()) != 0;
}

}  // namespace TarvUtil
