#include "ui/session_log.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

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

}  // namespace
}  // namespace TarvPatch
