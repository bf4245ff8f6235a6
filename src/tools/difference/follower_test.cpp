// The follower of a buffer that is written front to back: whatever the
// sizes of the writer's steps, on its own thread or the writer's, every byte
// reaches the step once and in order, how far it is done never goes back
// nor past what was written, and a follower dropped halfway stops.
#include "follower.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

TEST(FollowerTest, EveryByteOnceInOrderWhateverTheSteps) {
  struct Case {
    const char* name;
    size_t size;
    size_t writer_step;
    bool lagging;  // the step keeps the last three bytes until the end (as the filter does)
  } cases[] = {
      {"small, on the writer's thread", 5000, 7, false},
      {"small, lagging", 5000, 1, true},
      {"large, byte steps at the start then large", 3u << 20, 1, false},
      {"large, odd steps", 3u << 20, 65537, false},
      {"large, lagging", 3u << 20, 4099, true},
      {"large, one step", 3u << 20, 3u << 20, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string data = tarvtest::RandomBytes(c.size, 3);
    std::string seen;
    std::vector<size_t> dones;  // what the step returned, in order
    size_t handed = 0;
    difference::Follower follower(c.size, [&](size_t written) {
      const size_t done =
          c.lagging && written < c.size ? std::max(handed, written > 3 ? written - 3 : 0) : written;
      seen.append(data, handed, done - handed);
      handed = done;
      dones.push_back(done);
      return done;
    });
    size_t written = 0, last_done = 0;
    while (written < c.size) {
      // Byte steps for the first 100 bytes, then the case's step.
      written = std::min(c.size, written + (written < 100 ? 1 : c.writer_step));
      follower.Advance(written);
      const size_t done = follower.Done();
      ASSERT_GE(done, last_done);
      ASSERT_LE(done, written);
      last_done = done;
      if (written > 1000 && written % 7 == 0) {
        follower.WaitFor(written - 1000);
        ASSERT_GE(follower.Done(), written - 1000);
      }
    }
    follower.Finish();
    EXPECT_EQ(follower.Done(), c.size);
    EXPECT_TRUE(seen == data);
    EXPECT_TRUE(std::is_sorted(dones.begin(), dones.end()));
  }
}

TEST(FollowerTest, ReadingFollowerGetsTheBuffer) {
  const std::string data = tarvtest::RandomBytes(2u << 20, 4);
  std::string seen;
  difference::Follower follower(
      reinterpret_cast<const unsigned char*>(data.data()), data.size(),
      [&](const unsigned char* p, size_t n) { seen.append(reinterpret_cast<const char*>(p), n); });
  for (size_t end = 0; end < data.size();)
    follower.Advance(end = std::min(data.size(), end + 9999));
  follower.Finish();
  EXPECT_TRUE(seen == data);
}

// Dropped before its end (a damaged difference), the follower neither
// waits for bytes that never come nor works through what is left.
TEST(FollowerTest, DroppedHalfwayStops) {
  std::atomic<size_t> steps{0};
  {
    difference::Follower follower(64u << 20, [&](size_t written) {
      ++steps;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return written;
    });
    follower.Advance(32u << 20);  // 128 steps of work
    follower.WaitFor(1);
  }
  const size_t after = steps.load();
  EXPECT_GE(after, 1u);
  EXPECT_LT(after, 16u);
}

}  // namespace
