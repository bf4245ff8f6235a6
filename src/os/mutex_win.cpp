// The kernel mutex: an unnamed Windows mutex object, recursive by nature,
// handed to the next waiter when its owner thread ends (WAIT_ABANDONED), and
// refusing a release by a thread that does not own it (ERROR_NOT_OWNER).
#include <windows.h>

#include "diag/system_log.h"
#include "os/mutex.h"
#include "os/os_exception.h"

namespace OS {

struct Mutex::Native {
  HANDLE handle = nullptr;
};

Mutex::Mutex() : m_native(new Native) {
  m_native->handle = CreateMutexW(nullptr, FALSE, nullptr);
  if (m_native->handle == nullptr) throw OSException("Failed to create the mutex");
}

Mutex::~Mutex() {
  if (!CloseHandle(m_native->handle)) SystemLogA("Failed to close the mutex handle");
}

void Mutex::Lock() {
  // WAIT_ABANDONED hands over a mutex whose owner ended while holding it:
  // the data it guarded is the caller's to judge, the mutex is usable.
  if (WaitForSingleObject(m_native->handle, INFINITE) == WAIT_FAILED) throw OSException("");
}

void Mutex::Unlock() {
  if (ReleaseMutex(m_native->handle)) return;
  if (GetLastError() == ERROR_NOT_OWNER) throw OSException("Failed to release the mutex");
  throw OSException("");
}

MutexLock::~MutexLock() {
  try {
    m_mutex->Unlock();
  } catch (const OSException& e) {
    SystemLogA("MutexLock> %s", e.what());
  }
}

}  // namespace OS
