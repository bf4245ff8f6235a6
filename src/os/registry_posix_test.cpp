#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "diag/text_encoding.h"
#include "os/registry.h"
#include "support/test_support.h"

namespace OS {
namespace {

// Points both hives into a temporary folder for one test.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = dir_.Sub("machine/registry.conf");
    user_ = dir_.Sub("user/registry.conf");
    setenv("OBELK_MACHINE_REGISTRY", machine_.c_str(), 1);
    setenv("OBELK_USER_REGISTRY", user_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("OBELK_MACHINE_REGISTRY");
    unsetenv("OBELK_USER_REGISTRY");
  }

  tarvtest::ScopedTempDir dir_;
  std::string machine_;
  std::string user_;
};

TEST_F(RegistryTest, HivePathsHonourTheEnvironment) {
  EXPECT_EQ(RegistryHivePath(RegistryHive::kMachine), machine_);
  EXPECT_EQ(RegistryHivePath(RegistryHive::kUser), user_);
  unsetenv("OBELK_MACHINE_REGISTRY");
  unsetenv("OBELK_USER_REGISTRY");
  EXPECT_EQ(RegistryHivePath(RegistryHive::kMachine), "/etc/obelk/registry.conf");
  std::string old_config = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(RegistryHivePath(RegistryHive::kUser), "/cfg/obelk/registry.conf");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(RegistryHivePath(RegistryHive::kUser),
            std::string(getenv("HOME")) + "/.config/obelk/registry.conf");
  if (!old_config.empty()) setenv("XDG_CONFIG_HOME", old_config.c_str(), 1);
}

TEST_F(RegistryTest, WrittenValuesReadBackWithTypeAndSize) {
  RegistryKey key;
  std::string error;
  ASSERT_TRUE(key.Create(RegistryHive::kMachine, L"Software\\Obelk\\Tarv", &error)) << error;
  ASSERT_TRUE(key.SetDword(L"LanguageID", 2, &error)) << error;
  ASSERT_TRUE(key.SetString(L"InstallPath", L"  /games/Tarv \"x\" $HOME\\n\n\t;#", &error));
  ASSERT_TRUE(key.SetValue(L"Short", RegistryValue::Binary({2, 0}), &error)) << error;

  std::string text = tarvtest::ReadFile(machine_);
  EXPECT_NE(text.find("[Software/Obelk/Tarv]"), std::string::npos) << text;
  EXPECT_NE(text.find("LanguageID=dword:00000002"), std::string::npos) << text;
  EXPECT_NE(text.find("Short=hex:02,00"), std::string::npos) << text;

  // Another object, another spelling of the key and of the value names.
  RegistryKey reader;
  ASSERT_TRUE(reader.Open(RegistryHive::kMachine, L"SOFTWARE\\obelk\\TARV",
                          RegistryKey::Access::kRead, &error))
      << error;
  uint32_t number = 0;
  EXPECT_TRUE(reader.QueryDword(L"languageid", &number));
  EXPECT_EQ(number, 2u);
  std::wstring path;
  EXPECT_TRUE(reader.QueryString(L"INSTALLPATH", &path));
  EXPECT_EQ(path, L"  /games/Tarv \"x\" $HOME\\n\n\t;#");
  // Exactly four bytes make a number; two do not, and neither does a string.
  EXPECT_FALSE(reader.QueryDword(L"Short", &number));
  EXPECT_FALSE(reader.QueryDword(L"InstallPath", &number));
  EXPECT_FALSE(reader.QueryString(L"LanguageID", &path));
  EXPECT_FALSE(reader.QueryDword(L"Missing", &number));
  // The user hive is a different file.
  EXPECT_FALSE(reader.Open(RegistryHive::kUser, L"Software\\Obelk\\Tarv",
                           RegistryKey::Access::kRead, &error));
}

TEST_F(RegistryTest, HiveWrittenByHandIsRead) {
  tarvtest::WriteFile(user_,
                      "[TarvLauncher]\nInstalled=dword:00000001\nTwo=hex(4):02,00\n"
                      "Four=hex:01,00,00,00\nBad=dword:1\n");
  RegistryKey key;
  ASSERT_TRUE(key.Open(RegistryHive::kUser, L"tarvlauncher", RegistryKey::Access::kRead));
  struct Case {
    const wchar_t* name;
    bool ok;
    uint32_t number;
  };
  for (const Case& c : {Case{L"Installed", true, 1}, Case{L"Two", false, 0}, Case{L"Four", true, 1},
                        Case{L"Bad", false, 0}}) {
    uint32_t number = 0;
    EXPECT_EQ(key.QueryDword(c.name, &number), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(number, c.number) << c.name;
    }
  }
  RegistryValue value;
  std::string error;
  EXPECT_FALSE(key.QueryValue(L"Bad", &value, &error));
  EXPECT_NE(error.find("malformed"), std::string::npos);
}

// The hive's lines split at '\n'.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Whether every line of `before` is a whole line of `after`, in order.
bool KeptInOrder(const std::string& before, const std::string& after) {
  const std::vector<std::string> old_lines = Lines(before), new_lines = Lines(after);
  size_t at = 0;
  for (const std::string& line : old_lines) {
    while (at < new_lines.size() && new_lines[at] != line) ++at;
    if (at == new_lines.size()) return false;
    ++at;
  }
  return true;
}

// Lines of other programs the parser does not take (Latin-1 text, words
// without "=", a header left open, a line that looks like our stand-in) are
// kept byte for byte around the values the patcher writes; the hive stays
// readable and writable.
TEST_F(RegistryTest, LinesOtherProgramsWroteAreKeptAroundOurWrites) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"Latin-1 in another key", "[SOFTWARE/Other]\nPath=/games/T\xe4rv\nKeep=1\n"},
      {"Latin-1 in the game's key",
       "[SOFTWARE/Obelk/Tarv]\nInstallPath=/games/T\xe4rv\nLanguageID=dword:00000001\n"},
      {"a Latin-1 key header", "[SOFTWARE/Caf\xe9]\nA=1\n[SOFTWARE/Obelk/Tarv]\nB=2\n"},
      {"words without a value", "[SOFTWARE/Other]\nKeep=1\nstray words without a value\n"},
      {"an unclosed key header", "[SOFTWARE/Other\nKeep=1\n"},
      {"a line like a stand-in", "#tarv-kept-line~0\n\xff\xfe odd\n[SOFTWARE/Other]\nK=1\n"},
      {"no line break at the end", "[SOFTWARE/Other]\nKeep=1\nlast words"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tarvtest::WriteFile(machine_, c.bytes);
    std::string path, error;
    EXPECT_TRUE(CheckRegistryHive(RegistryHive::kMachine, &path, &error)) << error;
    RegistryKey key;
    ASSERT_TRUE(key.Create(RegistryHive::kMachine, L"SOFTWARE\\Obelk\\Tarv", &error)) << error;
    ASSERT_TRUE(key.SetString(L"Version", L"1.1", &error)) << error;
    ASSERT_TRUE(key.SetDword(L"Patched", 1, &error)) << error;
    const std::string after = tarvtest::ReadFile(machine_);
    EXPECT_TRUE(KeptInOrder(c.bytes, after)) << after;
    RegistryKey reader;
    ASSERT_TRUE(reader.Open(RegistryHive::kMachine, L"SOFTWARE\\Obelk\\Tarv",
                            RegistryKey::Access::kRead, &error))
        << error;
    std::wstring version;
    EXPECT_TRUE(reader.QueryString(L"Version", &version));
    EXPECT_EQ(version, L"1.1");
    ASSERT_TRUE(key.DeleteValue(L"Patched", &error)) << error;
    EXPECT_TRUE(KeptInOrder(c.bytes, tarvtest::ReadFile(machine_)));
  }
}

// A hive that is no text at all is never written: Create and the setters
// fail, its keys count as absent, and the file stays byte for byte.
TEST_F(RegistryTest, AHiveThatIsNoTextIsNeverWritten) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* reason;
  };
  const Case cases[] = {
      {"an image", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), "is not text"},
      {"one NUL in a hive", std::string("[SOFTWARE/Other]\nKeep=1\0\n", 25), "is not text"},
      {"larger than 4 MiB", std::string(kMaxHiveBytes + 1, '#'), "larger than 4 MiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tarvtest::WriteFile(machine_, c.bytes);
    std::string path, error;
    EXPECT_FALSE(CheckRegistryHive(RegistryHive::kMachine, &path, &error));
    EXPECT_EQ(path, machine_);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    RegistryKey key;
    EXPECT_FALSE(key.Create(RegistryHive::kMachine, L"SOFTWARE\\Obelk\\Tarv"));
    EXPECT_FALSE(key.Open(RegistryHive::kMachine, L"SOFTWARE\\Other", RegistryKey::Access::kRead));
    EXPECT_TRUE(tarvtest::ReadFile(machine_) == c.bytes);
  }
  // Comments, blank lines and values without a key header are plain text.
  tarvtest::WriteFile(machine_, "; a comment\n\n# another\nTop=1\n[A] ; note\n  B = 2\n");
  std::string path;
  EXPECT_TRUE(CheckRegistryHive(RegistryHive::kMachine, &path));
  unlink(machine_.c_str());
  EXPECT_TRUE(CheckRegistryHive(RegistryHive::kMachine, &path));
}

// Masking and restoring alone give the text back, whatever it holds.
// A hive path that names a FIFO or a device is refused at once, without
// blocking in open or read.
TEST_F(RegistryTest, AHiveThatIsNotARegularFileIsRefused) {
  tarvtest::MakeDirs(dir_.Sub("machine"));
  ASSERT_EQ(mkfifo(machine_.c_str(), 0600), 0);
  std::string path, error;
  EXPECT_FALSE(CheckRegistryHive(RegistryHive::kMachine, &path, &error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  RegistryKey key;
  EXPECT_FALSE(key.Create(RegistryHive::kMachine, L"SOFTWARE\\Obelk\\Tarv"));
  setenv("OBELK_MACHINE_REGISTRY", "/dev/zero", 1);
  EXPECT_FALSE(CheckRegistryHive(RegistryHive::kMachine, &path, &error));
  EXPECT_FALSE(key.Open(RegistryHive::kMachine, L"", RegistryKey::Access::kRead));
  const std::string folder = dir_.Sub("folder/registry.conf");
  tarvtest::MakeDirs(folder);
  setenv("OBELK_MACHINE_REGISTRY", folder.c_str(), 1);
  EXPECT_FALSE(CheckRegistryHive(RegistryHive::kMachine, &path, &error));
  EXPECT_EQ(path, folder);
  EXPECT_FALSE(key.Create(RegistryHive::kMachine, L"SOFTWARE\\Obelk\\Tarv"));
}

TEST_F(RegistryTest, AnEmptyKeyOutlivesItsCreator) {
  {
    RegistryKey key;
    ASSERT_TRUE(key.Create(RegistryHive::kMachine, L"Software\\Obelk\\Tarv"));
  }
  RegistryKey again;
  EXPECT_TRUE(
      again.Open(RegistryHive::kMachine, L"software\\obelk\\tarv", RegistryKey::Access::kWrite));
  EXPECT_FALSE(again.Open(RegistryHive::kMachine, L"software\\obelk\\tarv\\sub",
                          RegistryKey::Access::kRead));
  // Creating the key again under another spelling adds no second key.
  RegistryKey other;
  ASSERT_TRUE(other.Create(RegistryHive::kMachine, L"SOFTWARE\\OBELK\\TARV"));
  ASSERT_TRUE(other.SetDword(L"IsPatching", 1));
  std::string text = tarvtest::ReadFile(machine_);
  EXPECT_EQ(text.find("OBELK"), std::string::npos) << text;
}

TEST_F(RegistryTest, AHiveThatCannotBeWrittenReportsTheFailure) {
  // A folder path that runs through a regular file can never be created.
  tarvtest::WriteFile(dir_.Sub("plain"), "x");
  std::string blocked = dir_.Sub("plain/obelk/registry.conf");
  setenv("OBELK_USER_REGISTRY", blocked.c_str(), 1);
  RegistryKey key;
  std::string error;
  EXPECT_FALSE(key.Create(RegistryHive::kUser, L"TarvLauncher", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(tarvtest::FileExists(blocked));
}

TEST_F(RegistryTest, WritesKeepTheFileModeAndLeaveNoTemporaryFile) {
  RegistryKey key;
  ASSERT_TRUE(key.Create(RegistryHive::kMachine, L"K"));
  ASSERT_EQ(chmod(machine_.c_str(), 0640), 0);
  ASSERT_TRUE(key.SetString(L"S", L"x"));
  struct stat info;
  ASSERT_EQ(stat(machine_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  auto tree = tarvtest::SnapshotTree(dir_.Sub("machine"));
  ASSERT_EQ(tree.size(), 2u);  // the hive and its lock file
  EXPECT_EQ(tree[0].first, "registry.conf");
  EXPECT_EQ(tree[1].first, "registry.conf.lock");
}

TEST_F(RegistryTest, AHiveThatIsALinkIsWrittenAtItsTarget) {
  tarvtest::WriteFile(dir_.Sub("elsewhere/record.conf"), "[K]\nA=dword:00000001\n");
  tarvtest::MakeDirs(dir_.Sub("machine"));
  ASSERT_EQ(symlink(dir_.Sub("elsewhere/record.conf").c_str(), machine_.c_str()), 0);
  RegistryKey key;
  ASSERT_TRUE(key.Open(RegistryHive::kMachine, L"K", RegistryKey::Access::kWrite));
  ASSERT_TRUE(key.SetDword(L"B", 2));
  struct stat info;
  ASSERT_EQ(lstat(machine_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  std::string text = tarvtest::ReadFile(dir_.Sub("elsewhere/record.conf"));
  EXPECT_NE(text.find("A=dword:00000001"), std::string::npos) << text;
  EXPECT_NE(text.find("B=dword:00000002"), std::string::npos) << text;
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
  {
    RegistryKey key;
    ASSERT_TRUE(key.Create(RegistryHive::kMachine, L"K"));
  }
  constexpr int kWriters = 4;
  constexpr int kValues = 25;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([w] {
      RegistryKey key;
      if (!key.Open(RegistryHive::kMachine, L"K", RegistryKey::Access::kWrite)) return;
      for (int i = 0; i < kValues; ++i) {
        key.SetDword(L"v" + std::to_wstring(w) + L"_" + std::to_wstring(i), w * 100 + i);
      }
    });
  }
  for (auto& t : writers) t.join();
  RegistryKey reader;
  ASSERT_TRUE(reader.Open(RegistryHive::kMachine, L"K", RegistryKey::Access::kRead));
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kValues; ++i) {
      uint32_t number = 0;
      ASSERT_TRUE(reader.QueryDword(L"v" + std::to_wstring(w) + L"_" + std::to_wstring(i), &number))
          << w << " " << i;
      EXPECT_EQ(number, static_cast<uint32_t>(w * 100 + i));
    }
  }
}

// Access follows the file system: another user may read a 0644 hive but not
// open it for writing, and may not read a 0600 one. Needs root to switch user.
TEST_F(RegistryTest, AccessFollowsFilePermissions) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  {
    RegistryKey key;
    ASSERT_TRUE(key.Create(RegistryHive::kMachine, L"Software\\Obelk\\Tarv"));
    ASSERT_TRUE(key.SetDword(L"LanguageID", 1));
  }
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir_.Sub("machine").c_str(), 0755), 0);
  struct Case {
    mode_t mode;
    RegistryKey::Access access;
    bool ok;
  };
  for (const Case& c : {Case{0644, RegistryKey::Access::kRead, true},
                        Case{0644, RegistryKey::Access::kWrite, false},
                        Case{0600, RegistryKey::Access::kRead, false}}) {
    ASSERT_EQ(chmod(machine_.c_str(), c.mode), 0);
    pid_t child = fork();
    if (child == 0) {
      if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(3);
      RegistryKey key;
      bool ok = key.Open(RegistryHive::kMachine, L"Software\\Obelk\\Tarv", c.access);
      uint32_t number = 0;
      if (ok && c.access == RegistryKey::Access::kRead) ok = key.QueryDword(L"LanguageID", &number);
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.ok ? 0 : 1) << std::oct << c.mode;
  }
}

}  // namespace
}  // namespace OS
