#include <pthread.h>

#include <cerrno>

#include "diag/system_log.h"
#include "os/mutex.h"
#include "os/os_exception.h"

namespace OS {

struct Mutex::Native {
  pthread_mutex_t mutex;
};

Mutex::Mutex() : m_native(new Native) {
  pthread_mutexattr_t attr;
  bool ok = pthread_mutexattr_init(&attr) == 0;
  ok = ok && pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0;
  ok = ok && pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0;
  ok = ok && pthread_mutex_init(&m_native->mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  if (!ok) throw OSException("Failed to create the mutex");
}

Mutex::~Mutex() {
  if (pthread_mutex_destroy(&m_native->mutex) != 0) SystemLogA("Failed to close the mutex handle");
}

void Mutex::Lock() {
  int rc = pthread_mutex_lock(&m_native->mutex);
  if (rc == EOWNERDEAD) {
    // The previous owner ended while holding it: the data it guarded is the
    // caller's to judge, the mutex itself is usable again.
    pthread_mutex_consistent(&m_native->mutex);
    return;
  }
  if (rc != 0) throw OSException("");
}

void Mutex::Unlock() {
  int rc = pthread_mutex_unlock(&m_native->mutex);
  if (rc == 0) return;
  if (rc == EPERM) throw OSException("Failed to release the mutex");
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
