// What only Windows has: a file another program holds open without sharing
// is the "file in use" case (EBUSY) for every call that meets it, and paths
// longer than MAX_PATH work through the long-path form.
#include <gtest/gtest.h>
#include <windows.h>
// windows.h names the system's ReplaceFileW so; the file layer's is meant.
#undef ReplaceFile

#include <cerrno>
#include <string>

#include "data/file_io.h"
#include "data/file_util.h"
#include "data/windows_path.h"
#include "support/test_support.h"

namespace TarvFile {
namespace {

// Holds the file open as a game would: no sharing at all.
class HeldFile {
 public:
  explicit HeldFile(const std::string& path)
      : m_handle(CreateFileW(WindowsPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~HeldFile() {
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  }
  bool held() const { return m_handle != INVALID_HANDLE_VALUE; }

 private:
  HANDLE m_handle;
};

TEST(FileLayerWindows, FileInUseTable) {
  struct Case {
    const char* name;
    bool (*call)(const std::string& path);
  };
  const Case kCases[] = {
      {"unlink", [](const std::string& p) { return Unlink(p); }},
      {"replace", [](const std::string& p) { return ReplaceFile(p, "new"); }},
      {"open for reading", [](const std::string& p) { return OpenForReading(p) >= 0; }},
      {"read whole",
       [](const std::string& p) {
         std::string bytes;
         return ReadWholeFile(p, 100, &bytes) == ReadResult::kOk;
       }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    tarvtest::ScopedTempDir dir;
    tarvtest::WriteFile(dir.Sub("game.exe"), "running");
    HeldFile held(dir.Sub("game.exe"));
    ASSERT_TRUE(held.held());
    errno = 0;
    EXPECT_FALSE(c.call(dir.Sub("game.exe")));
    EXPECT_EQ(errno, EBUSY);
  }
}

TEST(FileLayerWindows, PathsBeyondMaxPath) {
  tarvtest::ScopedTempDir dir;
  std::string deep = dir.path();
  while (deep.size() < 300) deep += "/" + std::string(40, 'd');
  ASSERT_TRUE(TarvUtil::MakeDirectory(TarvUtil::FromFsPath(deep)));
  const std::string file = deep + "/file.bin";
  ASSERT_GT(file.size(), static_cast<size_t>(MAX_PATH));
  ASSERT_TRUE(ReplaceFile(file, "deep bytes"));
  std::string bytes;
  EXPECT_EQ(ReadWholeFile(file, 100, &bytes), ReadResult::kOk);
  EXPECT_EQ(bytes, "deep bytes");
  EXPECT_TRUE(
      TarvUtil::DeleteDirectoryTree(TarvUtil::FromFsPath(dir.path() + "/" + std::string(40, 'd'))));
}

TEST(FileLayerWindows, PathFormTable) {
  struct Case {
    std::string in;
    std::wstring out;
  };
  const Case kCases[] = {
      {"C:/Games/Tarv/a.dat", L"\\\\?\\C:\\Games\\Tarv\\a.dat"},
      {"C:\\Games\\\xc3\xa4.dat", L"\\\\?\\C:\\Games\\\u00e4.dat"},
      {"//server/share/x", L"\\\\?\\UNC\\server\\share\\x"},
      {"relative/name", L"relative\\name"},
      {"C:/Games/../x", L"C:\\Games\\..\\x"},  // the long form takes no ".."
      {"\\\\?\\C:\\already", L"\\\\?\\C:\\already"},
  };
  for (const Case& c : kCases) EXPECT_EQ(WindowsPath(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace TarvFile
