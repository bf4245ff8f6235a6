#include "data/data_buffer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include "data/file_io.h"
#include "data/file_util.h"
#include "support/test_support.h"

namespace {

using Mode = TarvDataBufferFile::Mode;

std::wstring W(const std::string& s) { return TarvUtil::FromFsPath(s); }

// Captures what the code writes to std::cout while `fn` runs.
std::string CaptureStdout(const std::function<void()>& fn) {
  testing::internal::CaptureStdout();
  fn();
  return testing::internal::GetCapturedStdout();
}

TEST(FileBuffer, OpenModes) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("ten"), "0123456789");
  struct Case {
    const char* name;
    int mode;
    bool open;
    uint32_t size;
    const char* content_after;  // after writing "AB" at position 0
  } cases[] = {
      {"ten", Mode::MODE_READ, true, 10, "0123456789"},
      {"ten", Mode::MODE_WRITE, true, 0, "AB"},
      {"ten", Mode::MODE_UPDATE, true, 10, "AB23456789"},
      {"ten", Mode::MODE_READWRITE, true, 10, "AB23456789"},
      {"missing", Mode::MODE_READ, false, 0, nullptr},
      {"missing", Mode::MODE_WRITE, true, 0, "AB"},
      {"missing", Mode::MODE_UPDATE, true, 0, "AB"},
      {"missing", Mode::MODE_READWRITE, false, 0, nullptr},
      {"", Mode::MODE_READ, false, 0, nullptr},  // the folder itself
  };
  for (const auto& c : cases) {
    tarvtest::WriteFile(dir.Sub("ten"), "0123456789");
    TarvFile::Unlink(dir.Sub("missing"));
    std::string path = *c.name ? dir.Sub(c.name) : dir.path();
    {
      TarvDataBufferFile buf(W(path), c.mode);
      SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(c.mode));
      EXPECT_EQ(buf.IsOpen(), c.open);
      EXPECT_EQ(buf.GetSize(), c.size);
      EXPECT_EQ(buf.GetPosition(), 0u);
      DataBufferResult w = buf.Write("AB", 2);
      if (!c.open) {
        EXPECT_EQ(w, DB_NOT_OPEN);
        char x;
        EXPECT_EQ(buf.Read(&x, 1), DB_NOT_OPEN);
        EXPECT_EQ(buf.SetSize(1), DB_NOT_OPEN);
        EXPECT_EQ(buf.SetPosition(1), DB_NOT_OPEN);
        continue;
      }
      EXPECT_EQ(w, c.mode == Mode::MODE_READ ? DB_WRONG_MODE : DB_OK);
      char x;
      bool readable = c.mode == Mode::MODE_READ || c.mode == Mode::MODE_READWRITE;
      EXPECT_EQ(buf.Read(&x, 0), readable ? DB_OK : DB_WRONG_MODE);
    }
    if (c.content_after) {
      EXPECT_EQ(tarvtest::ReadFile(dir.Sub(c.name)), c.content_after);
    }
  }
}

TEST(FileBuffer, ShortReadIsAnIoErrorButDeliversWhatThereWas) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("four"), "abcd");
  TarvDataBufferFile buf(W(dir.Sub("four")), Mode::MODE_READ);
  char out[10] = {};
  EXPECT_EQ(buf.Read(out, 10), DB_IO_ERROR);
  EXPECT_EQ(std::string(out, 4), "abcd");
  EXPECT_EQ(buf.GetPosition(), 4u);
}

TEST(FileBuffer, ReadWriteSwitchesDirectionAtThePosition) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("f"), "0123456789");
  {
    TarvDataBufferFile buf(W(dir.Sub("f")), Mode::MODE_READWRITE);
    char out[3];
    ASSERT_EQ(buf.Read(out, 3), DB_OK);
    EXPECT_EQ(buf.Write("xy", 2), DB_OK);  // lands where the read ended
    EXPECT_EQ(buf.GetPosition(), 5u);
    ASSERT_EQ(buf.Read(out, 2), DB_OK);
    EXPECT_EQ(std::string(out, 2), "56");
    EXPECT_EQ(buf.Write("ZZZZZZ", 6), DB_OK);  // grows the file
    EXPECT_EQ(buf.GetSize(), 13u);
  }
  EXPECT_EQ(tarvtest::ReadFile(dir.Sub("f")), "012xy56ZZZZZZ");
}

TEST(FileBuffer, FailedReopenBehavesAsWithoutFile) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("f"), "0123456789");
  TarvDataBufferFile buf(W(dir.Sub("f")), Mode::MODE_READWRITE);
  ASSERT_TRUE(TarvFile::Unlink(dir.Sub("f")));  // the reopen cannot find it
  EXPECT_EQ(buf.Write("x", 1), DB_NOT_OPEN);
  char c;
  EXPECT_EQ(buf.Read(&c, 1), DB_NOT_OPEN);
  EXPECT_EQ(buf.GetSize(), 0u);
}

TEST(FileBuffer, SetSizeCutsAndExtendsAndClampsThePosition) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("f"), "0123456789");
  TarvDataBufferFile buf(W(dir.Sub("f")), Mode::MODE_UPDATE);
  ASSERT_EQ(buf.SetPosition(8), DB_OK);
  ASSERT_EQ(buf.SetSize(2), DB_OK);
  EXPECT_EQ(buf.GetPosition(), 2u);
  EXPECT_EQ(buf.GetSize(), 2u);
  ASSERT_EQ(buf.SetSize(5), DB_OK);
  EXPECT_EQ(buf.GetPosition(), 2u);
  buf.Flush();
  EXPECT_EQ(tarvtest::ReadFile(dir.Sub("f")), std::string("01\0\0\0", 5));
  // A position beyond the end is allowed; writing there fills with zeros.
  ASSERT_EQ(buf.SetPosition(7), DB_OK);
  ASSERT_EQ(buf.Write("E", 1), DB_OK);
  EXPECT_EQ(buf.GetSize(), 8u);
  buf.Flush();
  EXPECT_EQ(tarvtest::ReadFile(dir.Sub("f")), std::string("01\0\0\0\0\0E", 8));
}

TEST(FileBuffer, UnknownModePrintsOneLine) {
  tarvtest::ScopedTempDir dir;
  std::string out = CaptureStdout([&] {
    TarvDataBufferFile buf(W(dir.Sub("x")), 7);
    EXPECT_FALSE(buf.IsOpen());
    EXPECT_EQ(buf.Write("a", 1), DB_NOT_OPEN);
  });
  EXPECT_EQ(out, "TarvDataBufferFile> unknown access mode 7\n");
  EXPECT_FALSE(tarvtest::FileExists(dir.Sub("x")));
}

TEST(FileBuffer, SizesBeyondThirtyTwoBitsAreRefusedNotWrapped) {
  tarvtest::ScopedTempDir dir;
  std::string path = dir.Sub("big");
  tarvtest::WriteFile(path, "");
  std::filesystem::resize_file(path, (1ULL << 32) + 10);  // sparse where the file system allows
  TarvDataBufferFile big(W(path), Mode::MODE_READ);
  EXPECT_FALSE(big.IsOpen());
  TarvDataBufferFile edge(W(dir.Sub("edge")), Mode::MODE_WRITE);
  ASSERT_EQ(edge.SetPosition(0xFFFFFFFEu), DB_OK);
  EXPECT_EQ(edge.Write("abc", 3), DB_IO_ERROR);
  EXPECT_EQ(edge.GetPosition(), 0xFFFFFFFEu);
}

TEST(FileBuffer, NonAsciiPathsWork) {
  tarvtest::ScopedTempDir dir;
  tarvtest::MakeDirs(dir.Sub("Spi\xc3\xa9l"));
  {
    TarvDataBufferFile buf(W(dir.Sub("Spi\xc3\xa9l\\\xc3\xbc.dat")), Mode::MODE_WRITE);
    ASSERT_TRUE(buf.IsOpen());
    EXPECT_EQ(buf.Write("ok", 2), DB_OK);
  }
  EXPECT_EQ(tarvtest::ReadFile(dir.Sub("Spi\xc3\xa9l/\xc3\xbc.dat")), "ok");
}

TEST(MemoryBuffers, DynamicAndStaticFollowTheirRules) {
  TarvDataBufferMemoryDynamic dyn;
  EXPECT_EQ(dyn.GetSize(), 0u);
  // A refused seek leaves the position at the end (0), so the write lands at 0.
  EXPECT_EQ(dyn.SetPosition(3), DB_END_OF_DATA);
  EXPECT_EQ(dyn.GetPosition(), 0u);
  EXPECT_EQ(dyn.Write("hello", 5), DB_OK);
  EXPECT_EQ(dyn.GetSize(), 5u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(dyn.Data()), 5), "hello");
  ASSERT_EQ(dyn.SetPosition(1), DB_OK);
  char out[10] = {};
  EXPECT_EQ(dyn.Read(out, 10), DB_END_OF_DATA);
  EXPECT_EQ(std::string(out), "ello");
  EXPECT_EQ(dyn.GetPosition(), 5u);
  EXPECT_EQ(dyn.SetSize(8), DB_OK);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(dyn.Data()), 8),
            std::string("hello\0\0\0", 8));
  EXPECT_EQ(dyn.SetSize(2), DB_OK);
  EXPECT_EQ(dyn.GetPosition(), 2u);

  // A cap: up to it everything is taken, one byte past it nothing is.
  TarvDataBufferMemoryDynamic capped(6);
  EXPECT_EQ(capped.Write("hello", 5), DB_OK);
  EXPECT_EQ(capped.Write("!?", 2), DB_BUFFER_FULL);
  EXPECT_EQ(capped.GetSize(), 5u);
  EXPECT_EQ(capped.Write("!", 1), DB_OK);
  EXPECT_EQ(capped.SetSize(7), DB_BUFFER_FULL);
  EXPECT_EQ(capped.SetSize(6), DB_OK);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(capped.Data()), 6), "hello!");

  char memory[4] = {'a', 'b', 'c', 'd'};
  TarvDataBufferMemoryStatic fixed(memory, 4);
  EXPECT_EQ(fixed.SetSize(10), DB_WRONG_MODE);
  EXPECT_EQ(fixed.GetSize(), 4u);
  ASSERT_EQ(fixed.SetPosition(2), DB_OK);
  EXPECT_EQ(fixed.Write("XYZ", 3), DB_BUFFER_FULL);  // what fitted was written
  EXPECT_EQ(std::string(memory, 4), "abXY");
  EXPECT_EQ(fixed.SetPosition(9), DB_END_OF_DATA);
  EXPECT_EQ(fixed.GetPosition(), 4u);
  ASSERT_EQ(fixed.SetPosition(0), DB_OK);
  EXPECT_EQ(fixed.Read(out, 10), DB_END_OF_DATA);
  EXPECT_EQ(fixed.GetPosition(), 4u);
}

TEST(MemoryBuffers, OwnedStaticMemoryIsFreedThroughTheBase) {
  void* memory = malloc(16);
  std::unique_ptr<TarvDataBuffer> buf(new TarvDataBufferMemoryStatic(memory, 16, true));
  EXPECT_EQ(buf->Write("0123456789abcdef", 16), DB_OK);
  // The sanitizer build reports a leak or a double free if ownership is wrong.
}

TEST(MemoryBuffers, DynamicGrowthKeepsEveryByte) {
  TarvDataBufferMemoryDynamic dyn;
  std::string expected = tarvtest::RandomBytes(300000, 5);
  for (size_t i = 0; i < expected.size(); i += 16384) {
    size_t n = std::min<size_t>(16384, expected.size() - i);
    ASSERT_EQ(dyn.Write(expected.data() + i, static_cast<uint32_t>(n)), DB_OK);
  }
  ASSERT_EQ(dyn.GetSize(), expected.size());
  EXPECT_EQ(memcmp(dyn.Data(), expected.data(), expected.size()), 0);
}

}  // namespace
