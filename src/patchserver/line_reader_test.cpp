#include "patchserver/line_reader.h"

#include <gtest/gtest.h>

namespace {

// Every line with the end flag after it, until the flag is set.
std::vector<std::pair<std::string, int>> AllLines(const std::string& text) {
  TarvDataBufferMemoryDynamic buffer;
  buffer.Write(text.data(), static_cast<uint32_t>(text.size()));
  buffer.SetPosition(0);
  TarvLineReader reader(&buffer);
  std::vector<std::pair<std::string, int>> out;
  for (int i = 0; i < 20; ++i) {
    std::string line = "junk";
    reader.ReadLine(line);
    out.emplace_back(line, reader.EndFlag());
    if (reader.EndFlag() != 0) break;
  }
  return out;
}

TEST(LineReader, TerminatorsAndEndFlag) {
  using Lines = std::vector<std::pair<std::string, int>>;
  const int kEnd = DB_END_OF_DATA;
  const std::pair<std::string, Lines> cases[] = {
      {"", {{"", kEnd}}},
      {"abc", {{"abc", kEnd}}},
      {"abc\n", {{"abc", 0}, {"", kEnd}}},
      {"a\r\nb\n\rc\rd\ne", {{"a", 0}, {"b", 0}, {"c", 0}, {"d", 0}, {"e", kEnd}}},
      // Two equal terminator bytes are two line ends around an empty line.
      {"a\r\rb", {{"a", 0}, {"", 0}, {"b", kEnd}}},
      {"a\n\nb", {{"a", 0}, {"", 0}, {"b", kEnd}}},
      {"a\r\n\r\nb", {{"a", 0}, {"", 0}, {"b", kEnd}}},
      {"a\n\r\n\rb", {{"a", 0}, {"", 0}, {"b", kEnd}}},
      {"\r\r", {{"", 0}, {"", 0}, {"", kEnd}}},
      {"a\r\n\n", {{"a", 0}, {"", 0}, {"", kEnd}}},
      {std::string("x\0y\n", 4), {{std::string("x\0y", 3), 0}, {"", kEnd}}},
  };
  for (const auto& [text, lines] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(AllLines(text), lines);
  }
}

// A buffer whose reads fail with another code keeps that code as the flag.
TEST(LineReader, EndFlagKeepsTheFirstFailure) {
  TarvDataBufferFile unopened(L"/nonexistent/folder/file", TarvDataBufferFile::MODE_READ);
  TarvLineReader reader(&unopened);
  std::string line;
  reader.ReadLine(line);
  EXPECT_EQ(reader.EndFlag(), DB_NOT_OPEN);
  reader.ReadLine(line);
  EXPECT_EQ(reader.EndFlag(), DB_NOT_OPEN);
  EXPECT_EQ(line, "");
}

}  // namespace
