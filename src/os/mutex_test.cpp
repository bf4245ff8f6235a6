#include "os/mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "os/os_exception.h"

namespace {

TEST(Mutex, RecursiveOnTheOwnerThread) {
  OS::Mutex m;
  m.Lock();
  m.Lock();
  m.Unlock();
  m.Unlock();
  // Free again: another thread gets it at once.
  std::thread([&] {
    m.Lock();
    m.Unlock();
  }).join();
}

TEST(Mutex, UnlockByANonOwnerThrows) {
  OS::Mutex m;
  std::string message = "none";
  m.Lock();
  std::thread([&] {
    try {
      m.Unlock();
    } catch (const OSException& e) {
      message = e.what();
    }
  }).join();
  EXPECT_EQ(message, "Failed to release the mutex");
  m.Unlock();
  // Unlocking a free mutex is the same fault.
  EXPECT_THROW(m.Unlock(), OSException);
}

TEST(Mutex, AThreadThatEndsHoldingItLeavesItUsable) {
  OS::Mutex m;
  std::thread([&] { m.Lock(); }).join();
  std::atomic<bool> got{false};
  std::thread([&] {
    m.Lock();
    got = true;
    m.Unlock();
  }).join();
  EXPECT_TRUE(got);
}

TEST(Mutex, ScopedLockGuardsACounter) {
  OS::Mutex m;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      OS::MutexLock lock(&m);
      ++counter;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

TEST(OSException, DescriptionIsACopyOfTheMessage) {
  OSException e("Failed to create the mutex");
  OSException copy = e;
  EXPECT_STREQ(copy.what(), "Failed to create the mutex");
  EXPECT_EQ(e.Describe(), "Failed to create the mutex");
  EXPECT_STREQ(OSException("").what(), "");
}

}  // namespace
