// OS::Mutex: a recursive process-local mutex that survives a dead owner (the
// next locker gets it), and that detects an unlock by a thread that does not
// own it. Failures are thrown as OSException. Any thread may use it.
#pragma once

#include <boost/noncopyable.hpp>
#include <memory>

namespace OS {

class Mutex : private boost::noncopyable {
 public:
  // Throws OSException("Failed to create the mutex").
  Mutex();
  // A failed destroy is written to the system log as
  // "Failed to close the mutex handle" (a destructor does not throw).
  virtual ~Mutex();

  // Waits without limit; the owning thread may lock again. A mutex whose
  // owner thread ended while holding it is taken over. Throws OSException
  // with an empty message when the wait itself fails.
  void Lock();
  // Throws OSException("Failed to release the mutex") on a thread that does
  // not own it, and an empty message on any other failure.
  void Unlock();

 private:
  // The system's mutex, defined by the platform file (mutex_posix.cpp).
  struct Native;
  std::unique_ptr<Native> m_native;
};

// Holds the mutex for the lifetime of the object.
class MutexLock : private boost::noncopyable {
 public:
  explicit MutexLock(Mutex* mutex) : m_mutex(mutex) { m_mutex->Lock(); }
  // An unlock that fails here (the lock was released by other means) is
  // written to the system log; a destructor does not throw.
  virtual ~MutexLock();

 private:
  Mutex* m_mutex;
};

}  // namespace OS
