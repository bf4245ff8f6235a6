#include "ui/session_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "ui/session_output.h"

namespace TarvPatch {
namespace {

std::vector<nlohmann::json> ReadLines(const std::string& path) {
  std::istringstream in(tarvtest::ReadFile(path));
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

TEST(SessionLogTest, WritesOneObjectPerLineAndAppends) {
  tarvtest::ScopedTempDir dir;
  const std::string path = dir.Sub("session.log");
  tarvtest::WriteFile(path, "{\"event\":\"earlier\"}\n");
  SessionLog log(path);
  ASSERT_TRUE(log.IsActive());
  log.Line(2, wxString::FromUTF8("Datei \"a\\b\"\nzweite Zeile \xc3\xa9\t"));
  log.Box("Files In Use", "Unable to patch");
  log.Event("finished");
  // Each line is on disk before the next call: nothing waits in a buffer.
  const std::vector<nlohmann::json> lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0]["event"], "earlier");
  EXPECT_EQ(lines[1]["level"], 2);
  EXPECT_EQ(lines[1]["text"], "Datei \"a\\b\"\nzweite Zeile \xc3\xa9\t");
  EXPECT_EQ(lines[2]["box"]["caption"], "Files In Use");
  EXPECT_EQ(lines[2]["box"]["text"], "Unable to patch");
  EXPECT_EQ(lines[3], nlohmann::json({{"event", "finished"}}));
}

TEST(SessionLogTest, LinesFromSeveralThreadsStayWhole) {
  tarvtest::ScopedTempDir dir;
  const std::string path = dir.Sub("session.log");
  {
    SessionLog log(path);
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&log, t] {
        for (int i = 0; i < 200; ++i) log.Line(t, wxString(std::string(100 + i, 'a' + t)));
      });
    }
    for (auto& thread : threads) thread.join();
  }
  const std::vector<nlohmann::json> lines = ReadLines(path);  // throws on a torn line
  ASSERT_EQ(lines.size(), 800u);
  for (const auto& line : lines) {
    const std::string text = line["text"];
    EXPECT_EQ(text, std::string(text.size(), 'a' + line["level"].get<int>()));
  }
}

TEST(SessionLogTest, InactiveOrUnwritableLogIsQuiet) {
  SessionLog none("");
  EXPECT_FALSE(none.IsActive());
  none.Line(0, "nothing");
  SessionLog missing("/nonexistent-folder/session.log");
  EXPECT_FALSE(missing.IsActive());
  missing.Event("finished");
}

// Records what the display receives, as "line L text", "box caption: text"
// and "event name".
class RecordingDisplay : public OutputDisplay {
 public:
  void ShowLine(int level, const wxString& text) override {
    shown.push_back("line " + std::to_string(level) + " " + ToUtf8(text));
  }
  void ShowBox(const wxString& caption, const wxString& text) override {
    shown.push_back("box " + ToUtf8(caption) + ": " + ToUtf8(text));
  }
  void ShowEvent(const std::string& name) override { shown.push_back("event " + name); }
  std::vector<std::string> shown;
};

// Runs a script of steps against one SessionOutput:
//   "0:text"  a line of that level       "box:text"  a box with caption "C"
//   "event:x" an event                   "cancel"    the confirmed cancel
//   "silence" the cancel without event   "flag"      the signal handler's flag
//   "ask-no:a,b" / "ask-yes:a,b"  a question; lines "a" and "b" (level 0)
//                                 arrive while it is open
void RunScript(SessionOutput& output, const std::vector<std::string>& script) {
  for (const std::string& step : script) {
    const std::string rest = step.substr(step.find(':') + 1);
    if (step == "cancel") {
      output.Cancel();
    } else if (step == "silence") {
      output.Silence();
    } else if (step == "flag") {
      output.CancelFlag()->store(true);
    } else if (step.starts_with("box:")) {
      output.Box("C", wxString::FromUTF8(rest));
    } else if (step.starts_with("event:")) {
      output.Event(rest);
    } else if (step.starts_with("ask-")) {
      const bool yes = step.starts_with("ask-yes");
      const bool answered = output.Ask("C", "Q?", [&] {
        for (size_t at = 0; at < rest.size();) {
          const size_t comma = std::min(rest.find(',', at), rest.size());
          output.Line(0, wxString::FromUTF8(rest.substr(at, comma - at)));
          at = comma + 1;
        }
        return yes;
      });
      EXPECT_EQ(answered, yes);
    } else {
      output.Line(std::stoi(step), wxString::FromUTF8(rest));
    }
  }
}

TEST(SessionOutputTest, TheLogAndTheDisplayReceiveWhatTheRuleLets) {
  struct Case {
    const char* name;
    std::vector<std::string> script;
    std::vector<std::string> log;    // the log file's lines
    std::vector<std::string> shown;  // the display's
  };
  const Case cases[] = {
      {"every level goes both ways, in order",
       {"0:a", "1:b", "2:c", "7:d", "box:e", "event:finished"},
       {R"({"level":0,"text":"a"})", R"({"level":1,"text":"b"})", R"({"level":2,"text":"c"})",
        R"({"level":7,"text":"d"})", R"({"box":{"caption":"C","text":"e"}})",
        R"({"event":"finished"})"},
       {"line 0 a", "line 1 b", "line 2 c", "line 7 d", "box C: e", "event finished"}},
      {"after a cancel only events reach the log, and nothing the display",
       {"2:before", "cancel", "0:a", "2:b", "box:c", "event:finished", "cancel"},
       {R"({"level":2,"text":"before"})", R"({"event":"cancelled"})", R"({"event":"finished"})"},
       {"line 2 before", "event cancelled"}},
      {"the signal's flag silences at once; the cancel is recorded after",
       {"0:a", "flag", "1:b", "box:c", "cancel", "event:finished"},
       {R"({"level":0,"text":"a"})", R"({"event":"cancelled"})", R"({"event":"finished"})"},
       {"line 0 a", "event cancelled"}},
      {"a silenced session records no cancel",
       {"silence", "0:a", "event:finished"},
       {R"({"event":"finished"})"},
       {}},
      {"lines held by a question answered No follow it in order",
       {"0:a", "ask-no:b,c", "1:d"},
       {R"({"level":0,"text":"a"})", R"({"box":{"caption":"C","text":"Q?"}})",
        R"({"level":0,"text":"b"})", R"({"level":0,"text":"c"})", R"({"level":1,"text":"d"})"},
       {"line 0 a", "line 0 b", "line 0 c", "line 1 d"}},
      {"lines held by a question answered Yes are dropped with the cancel",
       {"0:a", "ask-yes:b,c", "cancel", "2:d"},
       {R"({"level":0,"text":"a"})", R"({"box":{"caption":"C","text":"Q?"}})",
        R"({"event":"cancelled"})"},
       {"line 0 a", "event cancelled"}},
      {"a question answered Yes and a silenced session",
       {"ask-yes:b", "silence", "0:c"},
       {R"({"box":{"caption":"C","text":"Q?"}})"},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tarvtest::ScopedTempDir dir;
    const std::string path = dir.Sub("session.log");
    SessionLog log(path);
    RecordingDisplay display;
    SessionOutput output(log, display);
    RunScript(output, c.script);
    std::vector<std::string> logged;
    for (const nlohmann::json& line : ReadLines(path)) logged.push_back(line.dump());
    EXPECT_EQ(logged, c.log);
    EXPECT_EQ(display.shown, c.shown);
  }
}

// A box shown while a question is open is not held: the box a worker
// waits for must not wait for the player's answer.
TEST(SessionOutputTest, ABoxDuringAQuestionIsShownAtOnce) {
  tarvtest::ScopedTempDir dir;
  SessionLog log(dir.Sub("session.log"));
  RecordingDisplay display;
  SessionOutput output(log, display);
  output.Ask("C", "Q?", [&] {
    output.Line(0, "held");
    output.Box("Files In Use", "in use");
    EXPECT_EQ(display.shown, (std::vector<std::string>{"box Files In Use: in use"}));
    return false;
  });
  EXPECT_EQ(display.shown, (std::vector<std::string>{"box Files In Use: in use", "line 0 held"}));
}

// Without a log file the display still receives everything.
TEST(SessionOutputTest, WithoutALogFileTheDisplayStillShows) {
  SessionLog none("");
  RecordingDisplay display;
  SessionOutput output(none, display);
  RunScript(output, {"0:a", "box:b", "event:finished"});
  EXPECT_EQ(display.shown, (std::vector<std::string>{"line 0 a", "box C: b", "event finished"}));
}

}  // namespace
}  // namespace TarvPatch
