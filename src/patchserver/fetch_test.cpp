#include "patchserver/fetch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "patchserver/patch_server_task.h"
#include "patchserver/patch_task_test_support.h"

namespace {

using TarvInet::TransferCause;
using TarvPatch::FetchKind;
using TarvPatch::FetchOptions;
using tarvtest::PatchTaskTest;
using tarvtest::RecordingTask;
using tarvtest::W;

// A task whose cancel check the test controls.
class CancellableTask : public RecordingTask {
 public:
  bool TransferCancelled() override { return cancelled.load(); }
  std::atomic<bool> cancelled{false};
};

// A file of `size` bytes that takes no room (all zeros).
void MakeSparse(const std::string& path, uint64_t size) {
  tarvtest::WriteFile(path, "");
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
}

// One fetch of `kind`: a text, or a file downloaded into `download`.
bool FetchOne(PatchServerTask& task, FetchKind kind, const std::wstring& address,
              const std::wstring& download, FetchOptions* options) {
  if (kind == FetchKind::kObject || kind == FetchKind::kArchive) {
    std::wstring where;
    return task.FetchFile(address, kind, download, &where, options);
  }
  std::string text;
  return task.FetchText(address, kind, &text, options);
}

// Each kind stops at its own cap, over the network and from a folder alike:
// the cap itself passes, one byte more fails as too long.
TEST_F(PatchTaskTest, EveryKindOfFetchStopsAtItsCap) {
  struct Case {
    const char* name;
    FetchKind kind;
    uint64_t cap;
    uint64_t given;  // the caller's cap; 0 for the kind's own
  } cases[] = {
      {"catalogue", FetchKind::kCatalogue, 4u << 20, 0},
      {"signature", FetchKind::kSignature, 1u << 20, 0},
      {"manifest", FetchKind::kManifest, 64u << 20, 0},
      {"object", FetchKind::kObject, 5000, 5000},
      {"archive", FetchKind::kArchive, 7000, 7000},
      {"short-catalogue", FetchKind::kCatalogue, 3000, 3000},
  };
  RecordingTask task;
  for (const Case& c : cases) {
    for (const uint64_t size : {c.cap, c.cap + 1}) {
      const std::string name = std::string(c.name) + "-" + std::to_string(size);
      MakeSparse(http_.root() + "/" + name, size);
      for (const std::string& address : {http_.Url(name), http_.root() + "/" + name}) {
        SCOPED_TRACE(address);
        FetchOptions options;
        options.max_bytes = c.given;
        const bool ok = FetchOne(task, c.kind, W(address), W(temp_.Sub("download")), &options);
        EXPECT_EQ(ok, size == c.cap);
        if (!ok) {
          EXPECT_EQ(options.failure.cause, TransferCause::kTooLong);
        }
        std::error_code ec;
        const uint64_t kept = std::filesystem::file_size(temp_.Sub("download"), ec);
        EXPECT_LE(ec ? 0 : kept, c.cap);
      }
    }
  }
  // Past a cap the transfer is not tried again: the next answer is as long.
  EXPECT_EQ(http_.CountRequests("/manifest-" + std::to_string((64u << 20) + 1)), 1);
}

// A cancel ends a throttled transfer of every kind within about a second.
TEST_F(PatchTaskTest, ACancelEndsEveryKindOfFetch) {
  tarvtest::WriteFile(http_.root() + "/body", tarvtest::RandomBytes(512 << 10, 3));
  http_.SetRoute("/slow", {.file = http_.root() + "/body", .throttle = 32 << 10});
  for (const FetchKind kind : {FetchKind::kCatalogue, FetchKind::kSignature, FetchKind::kManifest,
                               FetchKind::kObject, FetchKind::kArchive}) {
    SCOPED_TRACE(static_cast<int>(kind));
    CancellableTask task;
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      task.cancelled = true;
    });
    const auto began = std::chrono::steady_clock::now();
    FetchOptions options;
    const bool ok = FetchOne(task, kind, W(http_.Url("slow")), W(temp_.Sub("slow.part")), &options);
    canceller.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_FALSE(ok);
    EXPECT_EQ(options.failure.cause, TransferCause::kCancelled);
    EXPECT_LT(seconds, 3.0);
  }
}

// The player's speed cap holds the catalogue as it holds an archive: a
// search for patches is no way around --limit-rate.
TEST_F(PatchTaskTest, TheSpeedCapHoldsTheCatalogue) {
  const std::string padding(160 << 10, '\n');
  tarvtest::WriteFile(http_.root() + "/srv/patches.txt",
                      tarvtest::Catalogue("1.0", "1.1") + padding);
  RecordingTask task;
  task.SetDownloadLimit(64 << 10);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_TRUE(task.FindPatches({W(http_.Url("srv"))}));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  // 160 KiB at 64 KiB/s: about two and a half seconds; loosely.
  EXPECT_GT(seconds, 1.5);
}

}  // namespace
