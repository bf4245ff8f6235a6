#include "ui/download_display.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/messages.h"

namespace TarvPatch {
namespace {

constexpr uint64_t kKb = 1024;

TEST(DownloadEstimateTest, KilobytesMinutesAndText) {
  struct Case {
    uint64_t received, expected;
    double elapsed;
    uint32_t doneKb, totalKb, minutes;
    const char* text;
  };
  const Case cases[] = {
      // 40960 kB left at 10240/60 kB/s: 4 minutes.
      {10240 * kKb, 51200 * kKb, 60, 10240, 51200, 4,
       "Download Progress 10240 kB of 51200 kB, 4 min remaining"},
      // 59.999... minutes truncates to 59.
      {1000 * kKb, 61000 * kKb, 60, 1000, 61000, 59,
       "Download Progress 1000 kB of 61000 kB, 59 min remaining"},
      // 97.15625 minutes: 1 hour 37 minutes.
      {512 * kKb, 100000 * kKb, 30, 512, 100000, 97,
       "Download Progress 512 kB of 100000 kB, 1 hr 37 min remaining"},
      // Exactly 60, 61 and 125 minutes (1 kB/s: 3600, 3660, 7500 kB left).
      {60 * kKb, 3660 * kKb, 60, 60, 3660, 60,
       "Download Progress 60 kB of 3660 kB, 60 min remaining"},
      {60 * kKb, 3720 * kKb, 60, 60, 3720, 61,
       "Download Progress 60 kB of 3720 kB, 1 hr 1 min remaining"},
      {60 * kKb, 7560 * kKb, 60, 60, 7560, 125,
       "Download Progress 60 kB of 7560 kB, 2 hr 5 min remaining"},
      {60 * kKb, 3600 * kKb, 60, 60, 3600, 59,
       "Download Progress 60 kB of 3600 kB, 59 min remaining"},
      // No whole kilobyte yet: the rate is 0 and the estimate 0.
      {1023, 51200 * kKb, 60, 0, 51200, 0, "Download Progress 0 kB of 51200 kB, 0 min remaining"},
      // The clock has not moved yet.
      {10240 * kKb, 51200 * kKb, 0, 10240, 51200, 0,
       "Download Progress 10240 kB of 51200 kB, 0 min remaining"},
      // Partial kilobytes are cut, not rounded; 2 kB left at 1 kB/s.
      {2047, 4095, 1, 1, 3, 0, "Download Progress 1 kB of 3 kB, 2 s remaining"},
      // All done.
      {51200 * kKb, 51200 * kKb, 60, 51200, 51200, 0,
       "Download Progress 51200 kB of 51200 kB, 0 s remaining"},
      // Under 2 minutes the seconds count: 27 MB left at 1.5 MB/s.
      {13 * kKb * 1024, 40 * kKb * 1024, 13.0 / 1.5, 13312, 40960, 0,
       "Download Progress 13312 kB of 40960 kB, 18 s remaining"},
      // 119 s and 120 s left at 1 kB/s: seconds, then minutes again.
      {60 * kKb, 179 * kKb, 60, 60, 179, 1, "Download Progress 60 kB of 179 kB, 119 s remaining"},
      {60 * kKb, 180 * kKb, 60, 60, 180, 2, "Download Progress 60 kB of 180 kB, 2 min remaining"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const DownloadEstimate e = EstimateDownload(c.received, c.expected, c.elapsed);
    EXPECT_EQ(e.doneKb, c.doneKb);
    EXPECT_EQ(e.totalKb, c.totalKb);
    EXPECT_EQ(e.minutes, c.minutes);
    EXPECT_EQ(FormatDownloadText(e).ToStdString(), c.text);
  }
}

TEST(DownloadEstimateTest, TextInEachLanguageTakesItsNumbersInOrder) {
  using TarvMessages::Language;
  struct Case {
    Language language;
    uint32_t minutes;
    const char* text;
  };
  const Case cases[] = {
      {Language::kGerman, 61, "Downloadfortschritt 60 kB von 3720 kB, noch 1 Std. 1 Min."},
      {Language::kGerman, 59, "Downloadfortschritt 60 kB von 3720 kB, noch 59 Min."},
      {Language::kFrench, 125, "T\u00e9l\u00e9chargement 60 ko sur 3720 ko, 2 h 5 min restantes"},
      {Language::kFrench, 60, "T\u00e9l\u00e9chargement 60 ko sur 3720 ko, 60 min restantes"},
      {Language::kEnglish, 0, "Download Progress 60 kB of 3720 kB, 0 min remaining"},
  };
  const Case seconds[] = {
      {Language::kGerman, 0, "Downloadfortschritt 60 kB von 3720 kB, noch 45 Sek."},
      {Language::kFrench, 0, "T\u00e9l\u00e9chargement 60 ko sur 3720 ko, 45 s restantes"},
      {Language::kEnglish, 0, "Download Progress 60 kB of 3720 kB, 45 s remaining"},
  };
  for (const Case& c : seconds) {
    SCOPED_TRACE(c.text);
    TarvMessages::SetThreadLanguage(c.language);
    EXPECT_EQ(FormatDownloadText({60, 3720, 0, true, 45}).utf8_string(), c.text);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TarvMessages::SetThreadLanguage(c.language);
    EXPECT_EQ(FormatDownloadText({60, 3720, c.minutes}).utf8_string(), c.text);
  }
  TarvMessages::SetThreadLanguage(Language::kEnglish);
}

TEST(DownloadEstimateTest, NumbersBeyondThirtyTwoBitsWrapInsteadOfFailing) {
  // A size of 2^42 + 5 kB is 5 kB as a 32-bit kilobyte count.
  const uint64_t expected = (uint64_t{1} << 52) + 5 * kKb;
  const DownloadEstimate e = EstimateDownload(kKb, expected, 1);
  EXPECT_EQ(e.totalKb, 5u);
  EXPECT_EQ(e.doneKb, 1u);
  EXPECT_EQ(e.minutes, 0u);  // 4 kB at 1 kB/s
  // More received than expected: the unsigned difference is huge, yet the
  // estimate is a number, not a crash.
  const DownloadEstimate over = EstimateDownload(10 * kKb, 5 * kKb, 1e-9);
  EXPECT_EQ(over.doneKb, 10u);
}

// Records what the display writes.
class RecordingView : public DownloadView {
 public:
  void SetGaugeRange(uint32_t range) override { ranges.push_back(range); }
  void SetGaugeValue(uint32_t value) override { gauge.push_back(value); }
  void SetStatusLine(const wxString& text) override { status.push_back(text.ToStdString()); }
  std::vector<uint32_t> ranges;
  std::vector<uint32_t> gauge;
  std::vector<std::string> status;
};

DownloadStatus Downloading(uint64_t received, uint64_t expected) {
  return {DownloadState::kDownloading, received, expected,
          expected ? static_cast<uint32_t>(received * 100 / expected) : 0};
}

TEST(DownloadDisplayTest, FollowsTheDownloadUntilItIsComplete) {
  DownloadDisplay display;
  RecordingView view;

  // No session: the gauge rests at 0 and the status line is left alone.
  display.Rest(view);
  EXPECT_EQ(view.gauge, (std::vector<uint32_t>{0}));
  EXPECT_TRUE(view.status.empty());

  // A server without a size: the gauge follows the percentage, no text.
  view = {};
  display.BeginSession(view);
  EXPECT_EQ(view.ranges, (std::vector<uint32_t>{100}));
  display.Tick(Downloading(5000, 0), 5, view);
  EXPECT_EQ(view.gauge, (std::vector<uint32_t>{0}));
  EXPECT_TRUE(view.status.empty());

  view = {};
  display.Tick(Downloading(10240 * kKb, 51200 * kKb), 60, view);
  EXPECT_EQ(view.gauge, (std::vector<uint32_t>{20}));
  EXPECT_EQ(view.status,
            (std::vector<std::string>{"Download Progress 10240 kB of 51200 kB, 4 min remaining"}));
  EXPECT_EQ(display.Owner(), GaugeOwner::kDownload);

  // 100 %: the text is shown, then cleared, and the gauge passes to the
  // session's later phases.
  view = {};
  display.Tick(Downloading(51200 * kKb, 51200 * kKb), 61, view);
  EXPECT_EQ(view.gauge, (std::vector<uint32_t>{100}));
  ASSERT_EQ(view.status.size(), 2u);
  EXPECT_EQ(view.status.back(), "");
  EXPECT_EQ(display.Owner(), GaugeOwner::kSessionPhases);
}

// After the hand-over the display writes nothing while the session runs,
// whatever it reads, and gets the gauge back only with a new session. A
// session that downloads nothing (a repair: the status stays "not started"
// at 0 %) never moves the gauge through the display either: its phases step
// it between the timer's ticks.
TEST(DownloadDisplayTest, TheGaugeReturnsToTheDisplayOnlyWithANewSession) {
  struct Case {
    const char* name;
    bool downloaded;  // a whole download was read before `status`
    DownloadStatus status;
    GaugeOwner owner;  // after the reading
  };
  const Case cases[] = {
      {"a later download of the run", true, Downloading(1 * kKb, 51200 * kKb),
       GaugeOwner::kSessionPhases},
      {"unpacking",
       true,
       {DownloadState::kUnpacking, 2 * kKb, 2 * kKb, 100},
       GaugeOwner::kSessionPhases},
      {"applying",
       true,
       {DownloadState::kApplying, 2 * kKb, 2 * kKb, 100},
       GaugeOwner::kSessionPhases},
      {"nothing downloaded yet", true, {}, GaugeOwner::kSessionPhases},
      {"a repair, which downloads nothing", false, {}, GaugeOwner::kDownload},
      {"a repair applying", false, {DownloadState::kApplying, 0, 0, 0}, GaugeOwner::kDownload},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DownloadDisplay display;
    RecordingView view;
    display.BeginSession(view);
    if (c.downloaded) {
      display.Tick(Downloading(2 * kKb, 2 * kKb), 1, view);
      ASSERT_EQ(display.Owner(), GaugeOwner::kSessionPhases);
    }

    view = {};
    display.Tick(c.status, 2, view);
    display.Tick(c.status, 2.5, view);
    EXPECT_TRUE(view.gauge.empty());
    EXPECT_TRUE(view.status.empty());
    // The session ends: the gauge rests at 0.
    display.Rest(view);
    EXPECT_EQ(view.gauge, (std::vector<uint32_t>{0}));
    EXPECT_EQ(display.Owner(), c.owner);

    // The next session's download shows again, as a percentage.
    view = {};
    display.BeginSession(view);
    EXPECT_EQ(view.ranges, (std::vector<uint32_t>{100}));
    EXPECT_EQ(display.Owner(), GaugeOwner::kDownload);
    display.Tick(Downloading(1 * kKb, 4 * kKb), 3, view);
    EXPECT_EQ(view.gauge, (std::vector<uint32_t>{25}));
    EXPECT_EQ(view.status.size(), 1u);
  }
}

TEST(DownloadDisplayTest, UnfinishedDownloadKeepsItsLastText) {
  DownloadDisplay display;
  RecordingView view;
  display.Tick(Downloading(512 * kKb, 100000 * kKb), 30, view);
  ASSERT_EQ(view.status.size(), 1u);
  EXPECT_EQ(view.status[0], "Download Progress 512 kB of 100000 kB, 1 hr 37 min remaining");
  // The session ends without reaching 100 %: only the gauge is reset.
  view = {};
  display.Rest(view);
  EXPECT_EQ(view.gauge, (std::vector<uint32_t>{0}));
  EXPECT_TRUE(view.status.empty());
  EXPECT_EQ(display.Owner(), GaugeOwner::kDownload);
}

TEST(DownloadDisplayTest, PercentBeyondHundredEndsTheDisplay) {
  DownloadDisplay display;
  RecordingView view;
  // A server that sent more than it said.
  display.Tick(Downloading(3 * kKb, 2 * kKb), 1, view);
  EXPECT_EQ(view.gauge, (std::vector<uint32_t>{150}));
  EXPECT_EQ(view.status.back(), "");
  EXPECT_EQ(display.Owner(), GaugeOwner::kSessionPhases);
}

}  // namespace
}  // namespace TarvPatch
