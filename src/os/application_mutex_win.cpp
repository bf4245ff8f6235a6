// The game's application mutex as the game itself makes it: a named kernel
// mutex that is never waited on. A shared open creates or opens it with the
// default security; an exclusive open creates it with an empty DACL, so that
// while this process holds it nobody else can open it, and gives up when it
// existed already (another program of the installation has it open). The
// system drops the mutex when its last holder closes it or ends.
#include <windows.h>

#include <mutex>

#include "diag/assertion.h"
#include "os/application_mutex.h"

namespace TarvUtil {
namespace {

std::mutex g_lock;
HANDLE g_handle = nullptr;
bool g_exclusive = false;

// The kernel's object names end at MAX_PATH; the long form keeps a long
// installation folder's name distinct within that.
std::wstring ObjectName(const std::wstring& folder) {
  std::string name = ApplicationMutexFileName(ApplicationMutexName(folder));
  return std::wstring(name.begin(), name.end());  // ASCII by construction
}

HANDLE OpenShared(const std::wstring& name) { return CreateMutexW(nullptr, FALSE, name.c_str()); }

HANDLE OpenExclusive(const std::wstring& name) {
  // An empty (present, not defaulted) DACL grants nobody any access.
  alignas(DWORD) BYTE acl_bytes[sizeof(ACL)];
  ACL* acl = reinterpret_cast<ACL*>(acl_bytes);
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeAcl(acl, sizeof acl_bytes, ACL_REVISION) ||
      !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
  HANDLE handle = CreateMutexW(&attributes, FALSE, name.c_str());
  if (handle != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(handle);
    return nullptr;
  }
  return handle;
}

}  // namespace

std::string ApplicationMutexDirectory() {
  // Kernel object names live in the session's namespace, not in a folder.
  return std::string();
}

bool OpenApplicationMutex(const std::wstring& folder, bool exclusive) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_handle != nullptr) {
    AssertFailed(!exclusive || g_exclusive,
                 "TarvUtil::OpenApplicationMutex> unable to open mutex for exclusive access; "
                 "already open for sharing");
    return true;
  }
  const std::wstring name = ObjectName(folder);
  HANDLE handle = exclusive ? OpenExclusive(name) : OpenShared(name);
  if (handle == nullptr) return false;
  g_handle = handle;
  g_exclusive = exclusive;
  return true;
}

void CloseApplicationMutex() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_handle == nullptr) return;
  CloseHandle(g_handle);
  g_handle = nullptr;
  g_exclusive = false;
}

}  // namespace TarvUtil
