#include "ui/terminal_front_end.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <wx/init.h>

#include <nlohmann/json.hpp>

#include "os/messages.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

using Style = TerminalFrontEnd::Style;

// A front end writing into a file, read back whole.
class Output {
 public:
  Output() : m_path(m_dir.Sub("out")) {
    m_fd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  ~Output() { close(m_fd); }
  int fd() const { return m_fd; }
  std::string Text() const { return tarvtest::ReadFile(m_path); }
  // The session log file the front end records in.
  SessionLog& Log() { return m_log; }
  std::string Logged() const { return tarvtest::ReadFile(m_logPath); }

 private:
  tarvtest::ScopedTempDir m_dir;
  std::string m_path;
  std::string m_logPath = m_dir.Sub("session.log");
  SessionLog m_log{m_logPath};
  int m_fd = -1;
};

// A reading of the download in `state`; the front end ignores the percentage.
DownloadStatus Bytes(uint64_t done, uint64_t total, DownloadState state) {
  return {state, done, total, 0};
}

// ReportStep asks the toolkit which thread calls it.
class TerminalFrontEndTest : public ::testing::Test {
  wxInitializer m_toolkit;
};

TEST_F(TerminalFrontEndTest, EachStyleShowsTheSessionsLinesAndBoxes) {
  TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
  struct Case {
    Style style;
    const char* expected;
  };
  const Case cases[] = {
      {Style::kPlain,
       "Summary\nSearching for patches...\nnote\nbad\nFiles In Use: in use. close them\n"
       "Patching...\n\nPatching completed.\n"},
      {Style::kTerminal,
       "Summary\nSearching for patches...\n\x1b[90mnote\x1b[0m\n\x1b[31mbad\x1b[0m\n"
       "\x1b[31mFiles In Use: in use. close them\x1b[0m\nPatching...\n\nPatching completed.\n"},
      {Style::kJson, nullptr},  // the session log's lines, the result in the last
  };
  // Whatever the style, the session log records the same; the JSON style
  // writes those lines too, with the session's result at the end.
  const std::string lines =
      "{\"level\":0,\"text\":\"Searching for patches...\"}\n"
      "{\"level\":1,\"text\":\"note\"}\n"
      "{\"level\":2,\"text\":\"bad\"}\n"
      "{\"box\":{\"caption\":\"Files In Use\",\"text\":\"in use.\\nclose them\"}}\n"
      "{\"level\":0,\"text\":\"Patching...\\n\"}\n"
      "{\"level\":0,\"text\":\"Patching completed.\"}\n";
  const std::string logged = lines + "{\"event\":\"finished\"}\n";
  const std::string json = lines + "{\"event\":\"finished\",\"result\":\"completed\"}\n";
  for (const Case& c : cases) {
    Output out;
    TerminalFrontEnd front(c.style, out.fd(), out.Log());
    EXPECT_FALSE(front.WaitFinished(0));
    front.ShowPreamble("Summary");
    front.ReportMessage(0, "Searching for patches...");
    front.ReportMessage(1, "note");
    front.ReportMessage(2, "bad");
    front.ShowMessageBox("in use.\nclose them", "Files In Use");
    front.ReportMessage(0, "Patching...\n");
    front.ReportMessage(0, "Patching completed.");
    front.PostThreadFinished();
    EXPECT_TRUE(front.WaitFinished(0));
    EXPECT_TRUE(front.Completed());
    EXPECT_EQ(out.Text(), c.expected != nullptr ? c.expected : json);
    EXPECT_EQ(out.Logged(), logged);
  }
}

TEST_F(TerminalFrontEndTest, AnAbortedSessionIsNotCompleted) {
  Output out;
  TerminalFrontEnd front(Style::kJson, out.fd());
  front.ReportMessage(0, "Patching aborted.");
  front.PostThreadFinished();
  EXPECT_FALSE(front.Completed());
  EXPECT_EQ(out.Text(),
            "{\"level\":0,\"text\":\"Patching aborted.\"}\n"
            "{\"event\":\"finished\",\"result\":\"aborted\"}\n");
}

TEST_F(TerminalFrontEndTest, ProgressKeepsEachStylesPace) {
  TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
  struct Case {
    Style style;
    const char* expected;
  };
  // Readings at 100 s (download starts), 100.5 s, 106 s, then a log line,
  // then applying.
  const Case cases[] = {
      {Style::kPlain,
       "0% 0.00 of 2.00 MB, 0.00 MB/s, --:-- left\n"
       "50% 1.00 of 2.00 MB, 0.17 MB/s, 0:06 left\n"
       "Unpacking patch file...\n"},
      {Style::kTerminal,
       "0% 0.00 of 2.00 MB, 0.00 MB/s, --:-- left"
       "\r\x1b[K1% 0.03 of 2.00 MB, 0.05 MB/s, 0:40 left"
       "\r\x1b[K50% 1.00 of 2.00 MB, 0.17 MB/s, 0:06 left"
       "\r\x1b[KUnpacking patch file...\n50% 1.00 of 2.00 MB, 0.17 MB/s, 0:06 left"
       "\r\x1b[KApplying: 2 of 4"
       "\r\x1b[K"},
      {Style::kJson,
       "{\"progress\":{\"done\":0,\"state\":\"downloading\",\"total\":2000000}}\n"
       "{\"progress\":{\"done\":1000000,\"state\":\"downloading\",\"total\":2000000}}\n"
       "{\"level\":0,\"text\":\"Unpacking patch file...\"}\n"
       "{\"progress\":{\"done\":2,\"state\":\"applying\",\"total\":4}}\n"},
  };
  for (const Case& c : cases) {
    Output out;
    TerminalFrontEnd front(c.style, out.fd());
    front.ShowProgress(Bytes(0, 2'000'000, DownloadState::kNotStarted), 99);
    front.ShowProgress(Bytes(0, 2'000'000, DownloadState::kDownloading), 100);
    front.ShowProgress(Bytes(25'000, 2'000'000, DownloadState::kDownloading), 100.5);
    front.ShowProgress(Bytes(1'000'000, 2'000'000, DownloadState::kDownloading), 106);
    front.ReportMessage(0, "Unpacking patch file...");
    front.ReportTotal(4);
    EXPECT_TRUE(front.ReportStep());
    EXPECT_TRUE(front.ReportStep());
    front.ShowProgress(Bytes(2'000'000, 2'000'000, DownloadState::kApplying), 120);
    front.ClearProgress();
    EXPECT_EQ(out.Text(), c.expected);
  }
}

TEST_F(TerminalFrontEndTest, CancelSilencesTheSessionAndStopsIt) {
  struct Case {
    Style style;
    const char* expected;
  };
  const Case cases[] = {
      {Style::kPlain, "before\nCancelled; cleaning up.\n"},
      {Style::kTerminal,
       "before\n12% 0.13 of 1.00 MB, 0.13 MB/s, 0:07 left\r\x1b[KCancelled; cleaning up.\n"},
      {Style::kJson, "{\"level\":0,\"text\":\"before\"}\n{\"event\":\"cancelled\"}\n"},
  };
  for (const Case& c : cases) {
    Output out;
    TerminalFrontEnd front(c.style, out.fd(), out.Log());
    front.ReportMessage(0, "before");
    front.ShowProgress(Bytes(0, 1'000'000, DownloadState::kDownloading), 10);
    if (c.style == Style::kTerminal)
      front.ShowProgress(Bytes(125'000, 1'000'000, DownloadState::kDownloading), 11);
    // A signal handler raises the flag first; the main thread then cancels.
    front.CancelFlag()->store(true);
    EXPECT_FALSE(front.ReportStep());
    front.ReportMessage(2, "after the cancel");
    front.Cancel("Cancelled; cleaning up.");
    front.Cancel("twice");
    front.ShowMessageBox("text", "caption");
    front.ShowProgress(Bytes(500'000, 1'000'000, DownloadState::kDownloading), 12);
    front.ReportMessage(0, "Patching completed.");
    front.PostThreadFinished();
    EXPECT_TRUE(front.Cancelled());
    EXPECT_FALSE(front.Completed());
    std::string text = out.Text();
    if (c.style == Style::kPlain) {
      // The first reading of the download is printed at once.
      const std::string first = "0% 0.00 of 1.00 MB, 0.00 MB/s, --:-- left\n";
      ASSERT_NE(text.find(first), std::string::npos) << text;
      text.erase(text.find(first), first.size());
    }
    if (c.style == Style::kJson) {
      const std::string first =
          "{\"progress\":{\"done\":0,\"state\":\"downloading\",\"total\":1000000}}\n";
      ASSERT_NE(text.find(first), std::string::npos) << text;
      text.erase(text.find(first), first.size());
    }
    if (c.style == Style::kTerminal) {
      const std::string first = "0% 0.00 of 1.00 MB, 0.00 MB/s, --:-- left\r\x1b[K";
      ASSERT_NE(text.find(first), std::string::npos) << text;
      text.erase(text.find(first), first.size());
    }
    EXPECT_EQ(text, c.expected);
    // The log keeps the events after the cancel, the lines and boxes not.
    EXPECT_EQ(out.Logged(),
              "{\"level\":0,\"text\":\"before\"}\n{\"event\":\"cancelled\"}\n"
              "{\"event\":\"finished\"}\n");
  }
}

}  // namespace
}  // namespace TarvPatch
