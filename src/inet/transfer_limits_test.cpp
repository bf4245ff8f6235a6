// Resuming, cancelling, stalls, the address's time and size caps, each
// against the scriptable test servers, with what the server saw as evidence.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "inet/transfer.h"
#include "servers/test_servers.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using TarvInet::TransferCause;
using TarvInet::TransferControl;
using TarvInet::TransferFailure;
using tarvtest::FtpOptions;
using tarvtest::FtpTestServer;
using tarvtest::HttpRoute;
using tarvtest::HttpTestServer;

std::string Contents(TarvDataBufferMemoryDynamic& b) {
  return std::string(reinterpret_cast<const char*>(b.Data()), b.GetSize());
}

// The server logs an answer's bytes once it is over, which may be a moment
// after the client has all it asked for.
void WaitAnswered(const HttpTestServer& server, const std::string& path, int count) {
  for (int i = 0; i < 200 && server.CountAnswered(path) < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class TransferLimitsTest : public testing::Test {
 protected:
  TransferLimitsTest() : pause_("TARV_INET_RETRY_PAUSE_MS", "10") {
    tarvtest::WriteFile(http_.root() + "/f.bin", data_);
    tarvtest::WriteFile(http_.root() + "/other.bin", other_);
    tarvtest::WriteFile(http_.root() + "/short.bin", short_);
  }
  std::string File(const char* name) { return http_.root() + "/" + name; }

  tarvtest::ScopedEnv pause_;
  HttpTestServer http_;
  std::string data_ = tarvtest::RandomBytes(200000, 21);
  std::string other_ = tarvtest::RandomBytes(200000, 22);
  std::string short_ = tarvtest::RandomBytes(30000, 23);
};

TEST_F(TransferLimitsTest, HttpResumesACutDownloadOnlyWhileTheFileIsTheSame) {
  const uint64_t half = 100000;
  HttpRoute changed{.file = File("other.bin"), .etag = "\"v2\""};
  HttpRoute shrunk{.file = File("short.bin")};
  HttpRoute whole{.ranges = false};
  struct Case {
    const char* name;
    HttpRoute route;
    std::string expected;  // the buffer afterwards
    int requests;          // the server saw
    const char* if_range;  // of the second request; null: no Range asked
    bool whole_again;      // the server sent the whole file again
  } cases[] = {
      // Cut at 50 %: one Range request for the rest, If-Range the ETag.
      {"etag",
       {.file = File("f.bin"), .cut_after = half, .cut_first = 1, .etag = "\"v1\""},
       data_,
       2,
       "\"v1\"",
       false},
      // Without ETag the Last-Modified is the condition.
      {"modified",
       {.file = File("f.bin"),
        .cut_after = half,
        .cut_first = 1,
        .etag = "",
        .last_modified = "Tue, 01 Dec 2026 10:00:00 GMT"},
       data_,
       2,
       "Tue, 01 Dec 2026 10:00:00 GMT",
       false},
      // The file changed between attempts: the condition fails, the server
      // sends the new file whole and the download starts over at 0.
      {"changed",
       {.file = File("f.bin"),
        .cut_after = half,
        .cut_first = 1,
        .etag = "\"v1\"",
        .later_from = 2,
        .later = {changed}},
       other_,
       2,
       "\"v1\"",
       true},
      // The file shrank under the same ETag: 416, then a whole new start.
      {"shrunk",
       {.file = File("f.bin"),
        .cut_after = half,
        .cut_first = 1,
        .etag = "\"v1\"",
        .later_from = 2,
        .later = {shrunk}},
       short_,
       3,
       "\"v1\"",
       true},
      // A server without ranges answers 200: the body replaces the part.
      {"no_ranges",
       {.file = File("f.bin"),
        .cut_after = half,
        .cut_first = 1,
        .etag = "\"v1\"",
        .later_from = 2,
        .later = {whole}},
       data_,
       2,
       "\"v1\"",
       true},
      // Nothing to make the request conditional on: no Range at all.
      {"no_validator",
       {.file = File("f.bin"), .cut_after = half, .cut_first = 1, .etag = "", .last_modified = ""},
       data_,
       2,
       nullptr,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = std::string("/") + c.name;
    http_.SetRoute(path, c.route);
    TarvDataBufferMemoryDynamic buffer;
    InetResult result = INET_FAILED;
    tarvtest::CaptureStdoutLines([&] { result = TarvInet::Fetch(http_.Url(c.name), &buffer, 0); });
    EXPECT_EQ(result, INET_OK);
    EXPECT_TRUE(Contents(buffer) == c.expected);
    auto requests = http_.Requests();
    ASSERT_EQ(http_.CountRequests(path), c.requests);
    int ranged = 0;
    for (const auto& r : requests) {
      if (r.path != path) continue;
      ranged += r.headers.count("range");
      if (r.headers.count("range")) {
        EXPECT_EQ(r.headers.at("range"), "bytes=" + std::to_string(half) + "-");
        EXPECT_EQ(r.headers.at("if-range"), c.if_range);
      }
    }
    EXPECT_EQ(ranged, c.if_range ? 1 : 0);
    WaitAnswered(http_, path, c.requests);
    uint64_t sent = http_.BytesSent(path);
    if (!c.whole_again) {
      // Nothing is fetched twice: at most 1 % more than the file.
      EXPECT_LE(sent, data_.size() * 101 / 100);
    } else {
      EXPECT_GE(sent, half + c.expected.size());
    }
  }
}

TEST_F(TransferLimitsTest, CancelStopsATransferAndAPauseAtOnce) {
  tarvtest::ScopedEnv long_pause("TARV_INET_RETRY_PAUSE_MS", "60000");
  http_.SetRoute("/slow", {.file = File("f.bin"), .throttle = 20000});
  http_.SetRoute("/flaky", {.status = 500, .body = "<html>500</html>"});
  http_.SetRoute("/silent", {.never_answer = true});
  for (const char* name : {"slow", "flaky", "silent"}) {
    SCOPED_TRACE(name);
    std::atomic<bool> stop{false};
    TransferControl control;
    control.cancelled = [&] { return stop.load(); };
    TarvDataBufferMemoryDynamic buffer;
    TransferFailure failure;
    InetResult result = INET_FAILED;
    Clock::time_point stopped;
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      stopped = Clock::now();
      stop = true;
    });
    tarvtest::CaptureStdoutLines(
        [&] { result = TarvInet::Fetch(http_.Url(name), &buffer, 0, control, &failure); });
    double after = SecondsSince(stopped);
    canceller.join();
    EXPECT_EQ(result, INET_CANCELLED);
    EXPECT_EQ(failure.cause, TransferCause::kCancelled);
    // Within the second libcurl's progress call may take, plus slack for a
    // loaded machine.
    EXPECT_LT(after, 2.0);
    EXPECT_EQ(http_.CountRequests(std::string("/") + name), 1);
  }
}

TEST_F(TransferLimitsTest, AStalledServerFailsItsAttemptsUntilTheAddressTimeIsUp) {
  tarvtest::ScopedEnv stall("TARV_INET_STALL_SECONDS", "2");
  tarvtest::ScopedEnv budget("TARV_INET_ADDRESS_SECONDS", "5");
  http_.SetRoute("/silent", {.never_answer = true});
  TarvDataBufferMemoryDynamic buffer;
  TransferFailure failure;
  InetResult result = INET_FAILED;
  auto start = Clock::now();
  auto lines = tarvtest::CaptureStdoutLines([&] {
    result = TarvInet::Fetch(http_.Url("silent"), &buffer, 0, TransferControl{}, &failure);
  });
  EXPECT_EQ(result, INET_FAILED);
  EXPECT_EQ(failure.cause, TransferCause::kTimeUp);
  EXPECT_GE(SecondsSince(start), 4.5);
  // Two stalls of 2 s and a last attempt cut at the 5 s mark, not eleven.
  EXPECT_EQ(http_.CountRequests("/silent"), 3);
  EXPECT_EQ(lines.back(), "TarvInet> giving up after 5 seconds");
}

// Half a minute at the real stall limit; run once, not again in the
// sanitizer build.
TEST_F(TransferLimitsTest, AOneBytePerSecondTrickleFailsItsAttemptWithin35Seconds) {
  if (tarvtest::Sanitized()) GTEST_SKIP() << "long; run in the normal build";
  tarvtest::ScopedEnv stall("TARV_INET_STALL_SECONDS", nullptr);
  http_.SetRoute("/trickle", {.file = File("f.bin"),
                              .etag = "\"t\"",
                              .throttle = 1,
                              .later_from = 2,
                              .later = {{.throttle = 0}}});
  TarvDataBufferMemoryDynamic buffer;
  TransferFailure failure;
  InetResult result = INET_FAILED;
  auto start = Clock::now();
  auto lines = tarvtest::CaptureStdoutLines([&] {
    result = TarvInet::Fetch(http_.Url("trickle"), &buffer, 0, TransferControl{}, &failure);
  });
  double elapsed = SecondsSince(start);
  EXPECT_EQ(result, INET_OK);
  EXPECT_TRUE(Contents(buffer) == data_);
  ASSERT_EQ(http_.CountRequests("/trickle"), 2);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("InternetReadFile returned 28 with actualByteCount=", 0), 0u)
      << lines[0];
  // The first attempt ended at the stall limit; the second, resumed, took
  // a moment.
  EXPECT_LT(elapsed, 35.0);
  EXPECT_GE(elapsed, 25.0);
}

TEST_F(TransferLimitsTest, ABodyPastItsSizeIsCutAndNotTriedAgain) {
  http_.SetRoute("/endless", {.endless = true});
  // The size query sees a length; the download gets an endless body.
  http_.SetRoute(
      "/announced",
      {.length = 100000, .endless = true, .later_from = 2, .later = {{.no_length = true}}});
  for (const char* name : {"endless", "announced"}) {
    SCOPED_TRACE(name);
    std::string url = http_.Url(name);
    TransferControl control;
    control.sizeLimit = 100000;
    if (std::string(name) == "announced") {
      uint64_t size = 0;
      ASSERT_EQ(TarvInet::QuerySize(url, size), INET_OK);
      control.sizeLimit = size;
    }
    TarvDataBufferMemoryDynamic buffer;
    TransferFailure failure;
    InetResult result = INET_FAILED;
    auto lines = tarvtest::CaptureStdoutLines(
        [&] { result = TarvInet::Fetch(url, &buffer, 0, control, &failure); });
    EXPECT_EQ(result, INET_FAILED);
    EXPECT_EQ(failure.cause, TransferCause::kTooLong);
    EXPECT_LE(buffer.GetSize(), 100000u);
    EXPECT_EQ(lines, std::vector<std::string>{"InternetReadFile> more than 100000 bytes"});
  }
  EXPECT_EQ(http_.CountRequests("/endless"), 1);
  EXPECT_EQ(http_.CountRequests("/announced"), 2);
}

TEST_F(TransferLimitsTest, CausesOfFailedTransfers) {
  http_.SetRoute("/missing", {.status = 404, .body = "<html>404</html>"});
  struct Case {
    std::string url;
    TransferCause cause;
    int status;
  } cases[] = {
      {http_.Url("missing"), TransferCause::kHttpStatus, 404},
      {"http://127.0.0.1:" + std::to_string(tarvtest::UnusedLoopbackPort()) + "/x",
       TransferCause::kRefused, 0},
      {"http://no-such-host.invalid/x", TransferCause::kHostNotFound, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    TarvDataBufferMemoryDynamic buffer;
    TransferFailure failure;
    tarvtest::CaptureStdoutLines(
        [&] { TarvInet::Fetch(c.url, &buffer, 0, TransferControl{}, &failure); });
    EXPECT_EQ(failure.cause, c.cause);
    EXPECT_EQ(failure.httpStatus, c.status);
  }
  HttpTestServer untrusted(HttpTestServer::Tls::kSelfSigned);
  tarvtest::WriteFile(untrusted.root() + "/x", "x");
  TarvDataBufferMemoryDynamic buffer;
  TransferFailure failure;
  tarvtest::CaptureStdoutLines(
      [&] { TarvInet::Fetch(untrusted.Url("x"), &buffer, 0, TransferControl{}, &failure); });
  EXPECT_EQ(failure.cause, TransferCause::kCertificate);
}

TEST_F(TransferLimitsTest, FtpStartsOverWhenTheFileGotShorter) {
  FtpTestServer ftp;
  tarvtest::WriteFile(ftp.root() + "/f.bin", short_);
  TarvDataBufferMemoryDynamic buffer;
  std::string stale = data_.substr(0, 50000);  // more than the file holds now
  buffer.Write(stale.data(), static_cast<uint32_t>(stale.size()));
  InetResult result = INET_FAILED;
  auto lines =
      tarvtest::CaptureStdoutLines([&] { result = TarvInet::Fetch(ftp.Url("f.bin"), &buffer, 0); });
  EXPECT_EQ(result, INET_OK);
  EXPECT_TRUE(Contents(buffer) == short_);
  EXPECT_EQ(lines, std::vector<std::string>{"TarvFTP::GetFileAtPath> \"f.bin\" is shorter than "
                                            "the 50000 bytes received; starting over."});
  // One attempt: the size told the client, which then fetched it whole.
  EXPECT_EQ(ftp.CountCommands("USER"), 1);
  EXPECT_EQ(ftp.CountCommands("REST 50000"), 0);
  EXPECT_EQ(ftp.CountCommands("RETR f.bin"), 1);
}

TEST_F(TransferLimitsTest, FtpCancelDuringAThrottledTransfer) {
  FtpTestServer ftp({.throttle = 20000});
  tarvtest::WriteFile(ftp.root() + "/f.bin", data_);
  std::atomic<bool> stop{false};
  TransferControl control;
  control.cancelled = [&] { return stop.load(); };
  TarvDataBufferMemoryDynamic buffer;
  InetResult result = INET_FAILED;
  Clock::time_point stopped;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stopped = Clock::now();
    stop = true;
  });
  tarvtest::CaptureStdoutLines(
      [&] { result = TarvInet::Fetch(ftp.Url("f.bin"), &buffer, 0, control); });
  double after = SecondsSince(stopped);
  canceller.join();
  EXPECT_EQ(result, INET_CANCELLED);
  EXPECT_LT(after, 2.0);
  EXPECT_LT(buffer.GetSize(), data_.size());
  EXPECT_EQ(ftp.CountCommands("RETR f.bin"), 1);
}

TEST(ParseRateTest, Forms) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t rate;
  } cases[] = {
      {"1M", true, 1048576},
      {"500K", true, 512000},
      {"500k", true, 512000},
      {"2g", true, 2147483648},
      {"1000", true, 1000},
      {"0", false, 0},
      {"", false, 0},
      {"M", false, 0},
      {"1.5M", false, 0},
      {"1MB", false, 0},
      {"-1", false, 0},
      {"99999999999999999999", false, 0},
      {"9007199254740993K", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t rate = 0;
    EXPECT_EQ(TarvInet::ParseRate(c.text, &rate), c.ok);
    if (c.ok) {
      EXPECT_EQ(rate, c.rate);
    }
  }
}

}  // namespace
