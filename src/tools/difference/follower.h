// Work that follows a buffer on a thread of its own while the buffer is
// still being written front to back: the writer says how far the buffer is
// written, the follower works up to there (turns the output back from the
// branch filter, digests it, filters an input ahead of its reader). The
// whole then takes the time of the slowest stage rather than the sum.
//
// Small buffers are worked on the writer's thread (a thread costs more
// than it saves there).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>

namespace difference {

class Follower {
 public:
  // Works on the buffer up to `written` as far as it can and returns how
  // far it is done (never less than before, at most `written`; all of it
  // when `written` is the whole size).
  using Step = std::function<size_t(size_t written)>;
  // Gets every byte once, in order.
  using Consume = std::function<void(const unsigned char* data, size_t n)>;

  // `size`: how large the buffer will be (decides whether a thread is worth
  // it).
  Follower(size_t size, Step step);
  // A follower that only reads: every byte of `base` goes to `consume`.
  Follower(const unsigned char* base, size_t size, Consume consume);
  ~Follower();
  Follower(const Follower&) = delete;
  Follower& operator=(const Follower&) = delete;

  // The bytes before `end` are written. Never less than before.
  void Advance(size_t end);
  // How far the follower is done.
  size_t Done() const { return done_.load(std::memory_order_acquire); }
  // Waits until the follower is done up to `end` (at most what was
  // advanced to).
  void WaitFor(size_t end);
  // Advances to the whole size and waits until the follower is done.
  void Finish();

 private:
  void Run();
  void Work(size_t end);

  static constexpr size_t kThreadFrom = size_t{1} << 20;
  // The follower is woken after this many new bytes, and works on at most
  // this many between two looks at the writer's position.
  static constexpr size_t kStep = size_t{256} << 10;

  const size_t size_;
  Step step_;
  std::atomic<size_t> written_{0};
  std::atomic<size_t> done_{0};
  size_t asked_ = 0;                    // what the step was last given (the follower's own)
  size_t woken_at_ = 0;                 // the writer's own
  bool finishing_ = false;              // under mutex_
  bool waiting_for_done_ = false;       // under mutex_
  std::atomic<bool> abandoned_{false};  // gone before its end: stop at once
  std::mutex mutex_;
  std::condition_variable wake_, progressed_;
  std::thread thread_;
};

}  // namespace difference
