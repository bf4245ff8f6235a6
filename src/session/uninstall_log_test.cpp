#include "session/uninstall_log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "data/file_faults.h"
#include "data/file_util.h"
#include "e2e/uninstall_log_reader.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

namespace unins = tarvtest::unins;
using tarvtest::ReadFile;
using tarvtest::WriteFile;

// The final record every fixture log ends with: exactly 28 bytes.
unins::Record FinalRecord() { return unins::Filler(0x81, 28, 'F'); }

// Earlier records of `total` bytes in pieces of at most 1000 bytes.
std::vector<unins::Record> Records(size_t total) {
  std::vector<unins::Record> out;
  char fill = 'a';
  while (total > 0) {
    size_t n = std::min<size_t>(total, 1000);
    if (total - n < 10 && total - n > 0) n = total - 10;
    out.push_back(unins::Filler(0x20, n, fill++));
    total -= n;
  }
  out.push_back(FinalRecord());
  return out;
}

std::wstring Wide(const std::string& s) { return TarvUtil::FromFsPath(s); }

struct Installation {
  tarvtest::ScopedTempDir dir;
  std::string root = dir.Sub("inst");
  std::string log = root + "/unins000.dat";
  std::string copy = root + "/unins000_temp.dat";
  explicit Installation(const std::string& bytes) { WriteFile(log, bytes); }
};

// Checks the updated log against the old one with the independent reader.
void ExpectAppended(const std::string& before, const std::string& after, const std::string& root,
                    const std::vector<std::wstring>& added) {
  const unins::Log old_log = unins::Parse(before);
  const unins::Log log = unins::Parse(after);
  ASSERT_EQ(log.error, "");
  ASSERT_EQ(log.count, old_log.count + static_cast<int32_t>(added.size()));
  EXPECT_EQ(int64_t{log.end_offset} - old_log.end_offset,
            static_cast<int64_t>(after.size()) - static_cast<int64_t>(before.size()));
  const size_t kept = old_log.records.size() - 1;
  for (size_t i = 0; i < kept; ++i) EXPECT_EQ(log.records[i].Bytes(), old_log.records[i].Bytes());
  for (size_t i = 0; i < added.size(); ++i) {
    bool ok = false;
    EXPECT_EQ(unins::DeletePath(log.records[kept + i], &ok),
              root + "\\" + TarvUtil::ToNarrow(added[i]));
    EXPECT_TRUE(ok) << "record " << kept + i;
  }
  EXPECT_EQ(log.records.back().Bytes(), FinalRecord().Bytes());
  // Every full block before the one holding the start of the final record
  // is carried over unchanged.
  size_t stream = 0;
  for (uint32_t n : old_log.block_sizes) stream += n;
  const size_t full = 448 + 4108 * ((stream - 28) / 4096);
  EXPECT_EQ(after.substr(0, 324), before.substr(0, 324));
  EXPECT_EQ(after.substr(332, 112), before.substr(332, 112));
  EXPECT_EQ(after.substr(448, full - 448), before.substr(448, full - 448));
}

std::vector<std::wstring> Names(size_t count, size_t length) {
  std::vector<std::wstring> out;
  for (size_t i = 0; i < count; ++i) {
    std::wstring name = L"Data\\n" + std::to_wstring(i) + L"_";
    name.resize(std::max(name.size(), length), L'z');
    out.push_back(name);
  }
  return out;
}

TEST(UninstallLog, AppendsDeleteRecordsBeforeTheFinalRecord) {
  struct Case {
    const char* name;
    size_t old_bytes;  // record bytes before the final record
    std::function<std::vector<std::wstring>(size_t root_length)> added;
    std::vector<uint32_t> blocks;  // expected block sizes, empty: not checked
  };
  const Case cases[] = {
      // 72 + a 40-character path (record 52) + 28 = 152.
      {"one block of 100 bytes, 40-character path",
       72,
       [](size_t root) { return std::vector<std::wstring>{std::wstring(40 - root - 1, L'p')}; },
       {152}},
      {"300-character path",
       500,
       [](size_t root) {
         return std::vector<std::wstring>{L"D\\" + std::wstring(300 - root - 3, L'q')};
       },
       {}},
      {"path of 70000 characters",
       10,
       [](size_t) { return std::vector<std::wstring>{std::wstring(70000, L'r')}; },
       {}},
      {"enough files to pass 4096 bytes", 3000, [](size_t) { return Names(40, 60); }, {}},
      {"old log with full blocks", 9000, [](size_t) { return Names(3, 10); }, {}},
      {"old last block exactly full", 4096 - 28, [](size_t) { return Names(1, 5); }, {}},
      // Stream of 4116 bytes: the last block holds 20, the final record
      // starts 8 bytes before the end of the full block.
      {"final record spans the last two blocks", 4088, [](size_t) { return Names(2, 5); }, {}},
      {"new records end exactly at a block end",
       0,
       [](size_t root) { return std::vector<std::wstring>{std::wstring(4082 - root - 1, L's')}; },
       {4096, 28}},
      {"non-ASCII name through the 8-bit table",
       100,
       [](size_t) { return std::vector<std::wstring>{L"Maps\\caf\u00e9 \u20ac\u4e2d.map"}; },
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string before = unins::Build(Records(c.old_bytes));
    Installation inst(before);
    chmod(inst.log.c_str(), 0640);
    const auto added = c.added(inst.root.size());
    std::string error;
    ASSERT_TRUE(UpdateUninstallLog(Wide(inst.root), added, &error)) << error;
    const std::string after = ReadFile(inst.log);
    ExpectAppended(before, after, inst.root, added);
    if (!c.blocks.empty()) {
      EXPECT_EQ(unins::Parse(after).block_sizes, c.blocks);
    }
    EXPECT_FALSE(tarvtest::FileExists(inst.copy));
    struct stat st;
    ASSERT_EQ(stat(inst.log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
  }
}

TEST(UninstallLog, CompactStringForms) {
  struct Case {
    size_t length;
    uint8_t tag;
    size_t data_size;
  };
  for (const Case& c : {Case{0, 0, 2}, Case{252, 252, 254}, Case{253, 0xFD, 257},
                        Case{300, 0xFD, 304}, Case{65535, 0xFD, 65539}, Case{65536, 0xFE, 65542}}) {
    const std::string record = MakeDeleteFileRecord(std::string(c.length, 'x'));
    ASSERT_EQ(record.size(), 10 + c.data_size) << c.length;
    EXPECT_EQ(unins::Get32(record, 6), c.data_size) << c.length;
    EXPECT_EQ(static_cast<uint8_t>(record[10]), c.tag) << c.length;
    EXPECT_EQ(static_cast<uint8_t>(record.back()), 0xFF);
    EXPECT_EQ(record.substr(0, 6), std::string("\x82\0\0\0\0\0", 6));
  }
}

TEST(UninstallLog, NoAddedFilesTouchesNothing) {
  for (const std::string& bytes : {unins::Build(Records(100)), std::string("not a log")}) {
    Installation inst(bytes);
    struct stat before_stat, after_stat;
    ASSERT_EQ(stat(inst.log.c_str(), &before_stat), 0);
    std::string error;
    EXPECT_TRUE(UpdateUninstallLog(Wide(inst.root), {}, &error));
    ASSERT_EQ(stat(inst.log.c_str(), &after_stat), 0);
    EXPECT_EQ(ReadFile(inst.log), bytes);
    EXPECT_EQ(before_stat.st_ino, after_stat.st_ino);
    EXPECT_FALSE(tarvtest::FileExists(inst.copy));
  }
}

// Builds a log whose block data is cut as given (sizes), from one stream of
// filler bytes, with valid CRCs: lets a test break exactly one rule.
std::string CustomBlocks(const std::vector<uint32_t>& sizes) {
  std::string log = unins::Build({FinalRecord()}).substr(0, 448);
  for (uint32_t n : sizes) {
    const std::string data(n, 'k');
    log += unins::Le(n, 4) + unins::Le(~n, 4) + unins::Le(unins::Crc32(data), 4) + data;
  }
  return log;
}

TEST(UninstallLog, RefusesABrokenLogAndLeavesItByteIdentical) {
  const std::string good = unins::Build(Records(6000));  // blocks 4096 and 1932
  auto flip = [](std::string s, size_t at) {
    s[at] ^= 0x40;
    return s;
  };
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"cut inside the header", good.substr(0, 300)},
      {"header only", good.substr(0, 448)},
      {"cut inside a block header", good.substr(0, 448 + 7)},
      {"cut inside a full block", good.substr(0, 448 + 12 + 2000)},
      {"cut inside the last block", good.substr(0, good.size() - 1)},
      {"trailing bytes", good + "xyz"},
      {"header CRC broken", flip(good, 100)},
      {"record count changed without its CRC", flip(good, 324)},
      {"byte flipped in the first block", flip(good, 448 + 12 + 50)},
      {"byte flipped in the last block", flip(good, good.size() - 40)},
      {"block CRC field broken", flip(good, 448 + 8)},
      {"size complement wrong", flip(good, 448 + 5)},
      {"fewer than 28 bytes of records", CustomBlocks({27})},
      {"empty last block only", CustomBlocks({0})},
      {"short block before the last", CustomBlocks({100, 100})},
      {"block larger than 4096", CustomBlocks({5000})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installation inst(c.bytes);
    std::string error;
    EXPECT_FALSE(UpdateUninstallLog(Wide(inst.root), Names(3, 20), &error));
    EXPECT_NE(error, "");
    EXPECT_TRUE(ReadFile(inst.log) == c.bytes) << "log changed";
    EXPECT_FALSE(tarvtest::FileExists(inst.copy));
  }
}

TEST(UninstallLog, RefusesAMissingLogOrAFolder) {
  tarvtest::ScopedTempDir dir;
  tarvtest::MakeDirs(dir.Sub("inst"));
  std::string error;
  EXPECT_FALSE(UpdateUninstallLog(Wide(dir.Sub("inst")), Names(1, 5), &error));
  EXPECT_FALSE(tarvtest::FileExists(dir.Sub("inst/unins000.dat")));
  tarvtest::MakeDirs(dir.Sub("inst/unins000.dat"));
  EXPECT_FALSE(UpdateUninstallLog(Wide(dir.Sub("inst")), Names(1, 5), &error));
  EXPECT_FALSE(tarvtest::FileExists(dir.Sub("inst/unins000_temp.dat")));
}

TEST(UninstallLog, LeftoverCopyIsReplacedAndALinkNeverFollowed) {
  const std::string before = unins::Build(Records(500));
  Installation inst(before);
  WriteFile(inst.dir.Sub("outside"), "precious");
  ASSERT_EQ(symlink(inst.dir.Sub("outside").c_str(), inst.copy.c_str()), 0);
  std::string error;
  ASSERT_TRUE(UpdateUninstallLog(Wide(inst.root), Names(2, 8), &error)) << error;
  EXPECT_EQ(ReadFile(inst.dir.Sub("outside")), "precious");
  ExpectAppended(before, ReadFile(inst.log), inst.root, Names(2, 8));
}

// Runs the update in a child whose file size limit makes writing the copy
// fail part-way (EFBIG), as a full disk would.
TEST(UninstallLog, WriteFailureLeavesTheLogByteIdentical) {
  const std::string before = unins::Build(Records(9000));
  for (rlim_t limit : {rlim_t{0}, rlim_t{100}, rlim_t{448}, rlim_t{5000}, rlim_t{before.size()}}) {
    SCOPED_TRACE(limit);
    Installation inst(before);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit rl{limit, limit};
      setrlimit(RLIMIT_FSIZE, &rl);
      std::string error;
      _exit(UpdateUninstallLog(Wide(inst.root), Names(30, 40), &error) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_TRUE(ReadFile(inst.log) == before) << "log changed";
    EXPECT_FALSE(tarvtest::FileExists(inst.copy));
  }
}

TEST(UninstallLog, ConsecutiveUpdatesStayValid) {
  const std::string first = unins::Build(Records(3900));
  Installation inst(first);
  std::string before = first;
  for (int step = 0; step < 5; ++step) {
    const auto added = Names(7 + step * 11, 30 + step * 50);
    std::string error;
    ASSERT_TRUE(UpdateUninstallLog(Wide(inst.root), added, &error)) << error;
    const std::string after = ReadFile(inst.log);
    ExpectAppended(before, after, inst.root, added);
    before = after;
  }
  EXPECT_EQ(unins::Parse(before).end_offset, before.size());
}

// Each file call of an update failed in turn: the log stays byte for byte as
// it was, the copy is gone, and the reason names the system's error.
TEST(UninstallLog, EveryFailedFileCallLeavesTheLogAsItWas) {
  using TarvFile::Call;
  struct Case {
    Call call;
    uint64_t nth;
    int err;
  } cases[] = {
      {Call::kOpen, 1, EACCES},    // the log
      {Call::kUnlink, 1, EACCES},  // a leftover copy
      {Call::kOpen, 2, ENOSPC},    // the copy
      {Call::kWrite, 1, ENOSPC},  {Call::kWrite, 2, EIO},     {Call::kWrite, 3, ENOSPC},
      {Call::kFsync, 1, EIO},     {Call::kRename, 1, EACCES},
  };
  const std::string before = unins::Build(Records(6000));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.call)) + " #" + std::to_string(c.nth));
    Installation inst(before);
    std::string error;
    {
      TarvFile::ScopedFault fault(c.call, c.nth, c.err);
      EXPECT_FALSE(UpdateUninstallLog(Wide(inst.root), Names(3, 20), &error));
    }
    EXPECT_NE(error.find(std::strerror(c.err)), std::string::npos) << error;
    EXPECT_EQ(ReadFile(inst.log), before);
    EXPECT_EQ(tarvtest::SnapshotTree(inst.root).size(), 1u) << "a copy was left";
  }
}

}  // namespace
}  // namespace TarvPatch
