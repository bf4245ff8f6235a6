#include "follower.h"

#include <algorithm>
#include <utility>

namespace difference {

Follower::Follower(size_t size, Step step) : size_(size), step_(std::move(step)) {
  if (size >= kThreadFrom) thread_ = std::thread([this] { Run(); });
}

Follower::Follower(const unsigned char* base, size_t size, Consume consume)
    : Follower(size,
               [base, consume = std::move(consume), done = size_t{0}](size_t written) mutable {
                 consume(base + done, written - done);
                 return done = written;
               }) {}

Follower::~Follower() {
  if (thread_.joinable()) {
    abandoned_.store(true, std::memory_order_release);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finishing_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
}

void Follower::Work(size_t end) {
  if (end <= asked_) return;
  asked_ = end;
  done_.store(step_(end), std::memory_order_release);
}

void Follower::Advance(size_t end) {
  if (!thread_.joinable()) {
    Work(end);
    return;
  }
  written_.store(end, std::memory_order_release);
  if (end - woken_at_ >= kStep || end == size_) {
    woken_at_ = end;
    std::lock_guard<std::mutex> lock(mutex_);
    wake_.notify_one();
  }
}

void Follower::WaitFor(size_t end) {
  if (Done() >= end || !thread_.joinable()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  waiting_for_done_ = true;
  wake_.notify_one();  // it may be asleep short of a wake-up step
  progressed_.wait(lock, [&] { return Done() >= end || finishing_; });
  waiting_for_done_ = false;
}

void Follower::Finish() {
  Advance(size_);
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finishing_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void Follower::Run() {
  for (;;) {
    if (abandoned_.load(std::memory_order_acquire)) return;
    const size_t written = written_.load(std::memory_order_acquire);
    if (written > asked_) {
      Work(std::min(written, asked_ + kStep));
      std::lock_guard<std::mutex> lock(mutex_);
      if (waiting_for_done_) progressed_.notify_one();
      continue;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (abandoned_.load(std::memory_order_acquire) ||
        (finishing_ && written_.load(std::memory_order_acquire) == asked_)) {
      progressed_.notify_all();
      return;
    }
    wake_.wait(lock,
               [&] { return finishing_ || written_.load(std::memory_order_acquire) > asked_; });
  }
}

}  // namespace difference
