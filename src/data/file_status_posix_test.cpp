#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "data/file_io.h"
#include "data/file_status.h"
#include "data/mapped_file.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using TarvFile::FileStatus;
using TarvFile::FileType;
using tarvtest::ScopedTempDir;
using tarvtest::WriteFile;

// A folder with one of each kind of entry the callers tell apart.
class FileStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir.Sub("file"), "12345");
    fs::permissions(dir.Sub("file"), fs::perms(0640));
    WriteFile(dir.Sub("tool"), "#!/bin/sh\n");
    fs::permissions(dir.Sub("tool"), fs::perms(0755));
    fs::create_directory(dir.Sub("folder"));
    fs::create_symlink("file", dir.Sub("link"));
    fs::create_symlink("nowhere", dir.Sub("dangling"));
    fs::create_hard_link(dir.Sub("file"), dir.Sub("hard"));
  }
  ScopedTempDir dir;
};

// What each look reports for each kind of entry, links followed or not.
TEST_F(FileStatusTest, KindSizeAndModeOfEachEntry) {
  struct Row {
    const char* name;
    bool follow;
    bool found;
    FileType type;
    uint64_t size;  // checked for regular files
    uint32_t mode;  // checked when not 0
  };
  const Row rows[] = {
      {"file", false, true, FileType::kRegular, 5, 0640},
      {"file", true, true, FileType::kRegular, 5, 0640},
      {"tool", true, true, FileType::kRegular, 10, 0755},
      {"folder", false, true, FileType::kFolder, 0, 0},
      {"link", false, true, FileType::kLink, 0, 0},
      {"link", true, true, FileType::kRegular, 5, 0640},
      {"dangling", false, true, FileType::kLink, 0, 0},
      {"dangling", true, false, FileType::kOther, 0, 0},
      {"missing", false, false, FileType::kOther, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + (row.follow ? " followed" : " itself"));
    const std::string path = dir.Sub(row.name);
    FileStatus st;
    errno = 0;
    const bool found =
        row.follow ? TarvFile::StatusOf(path, &st) : TarvFile::StatusOfEntry(path, &st);
    ASSERT_EQ(found, row.found);
    EXPECT_EQ(TarvFile::EntryExists(path),
              !row.follow ? row.found : row.name != std::string("missing"));
    if (!found) {
      EXPECT_EQ(errno, ENOENT);
      continue;
    }
    EXPECT_EQ(st.type, row.type);
    if (row.type == FileType::kRegular) {
      EXPECT_EQ(st.size, row.size);
    }
    if (row.mode != 0) {
      EXPECT_EQ(st.mode, row.mode);
    }
  }
}

// Device and inode name the file: a hard link shares them, another file
// does not; the modification time is the one the file system keeps.
TEST_F(FileStatusTest, IdentityAndTime) {
  FileStatus file, hard, tool;
  ASSERT_TRUE(TarvFile::StatusOf(dir.Sub("file"), &file));
  ASSERT_TRUE(TarvFile::StatusOf(dir.Sub("hard"), &hard));
  ASSERT_TRUE(TarvFile::StatusOf(dir.Sub("tool"), &tool));
  EXPECT_EQ(file.device, hard.device);
  EXPECT_EQ(file.inode, hard.inode);
  EXPECT_NE(file.inode, tool.inode);
  const auto when = fs::file_time_type::clock::now() - std::chrono::hours(30);
  fs::last_write_time(dir.Sub("tool"), when);
  ASSERT_TRUE(TarvFile::StatusOf(dir.Sub("tool"), &tool));
  struct stat kept;
  ASSERT_EQ(stat(dir.Sub("tool").c_str(), &kept), 0);
  EXPECT_EQ(tool.mtime_ns, kept.st_mtim.tv_sec * 1000000000LL + kept.st_mtim.tv_nsec);
  EXPECT_LT(tool.mtime_ns,
            (std::chrono::system_clock::now() - std::chrono::hours(29)).time_since_epoch() /
                std::chrono::nanoseconds(1));
}

// A look through a descriptor or a stream sees what a look by path sees.
TEST_F(FileStatusTest, OpenFileAndStreamAgreeWithPath) {
  FileStatus by_path, by_fd, by_stream;
  ASSERT_TRUE(TarvFile::StatusOf(dir.Sub("file"), &by_path));
  const int fd = TarvFile::OpenForReading(dir.Sub("file"));
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(TarvFile::StatusOfOpen(fd, &by_fd));
  EXPECT_TRUE(TarvFile::Close(fd));
  FILE* stream = std::fopen(dir.Sub("file").c_str(), "rb");
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(TarvFile::StatusOfStream(stream, &by_stream));
  std::fclose(stream);
  for (const FileStatus* st : {&by_fd, &by_stream}) {
    EXPECT_EQ(st->type, by_path.type);
    EXPECT_EQ(st->size, by_path.size);
    EXPECT_EQ(st->device, by_path.device);
    EXPECT_EQ(st->inode, by_path.inode);
    EXPECT_EQ(st->mtime_ns, by_path.mtime_ns);
  }
}

TEST_F(FileStatusTest, ExecutableAndFreeSpace) {
  EXPECT_TRUE(TarvFile::IsExecutable(dir.Sub("tool")));
  EXPECT_FALSE(TarvFile::IsExecutable(dir.Sub("file")));
  EXPECT_FALSE(TarvFile::IsExecutable(dir.Sub("missing")));
  uint64_t free_bytes = 0;
  ASSERT_TRUE(TarvFile::FreeSpace(dir.path(), &free_bytes));
  EXPECT_EQ(free_bytes, fs::space(dir.path()).available);
  EXPECT_FALSE(TarvFile::FreeSpace(dir.Sub("missing"), &free_bytes));
}

// The neutral opens: reading, updating an existing file, and a new file
// that refuses any entry of its name, a link included.
TEST_F(FileStatusTest, NeutralOpens) {
  std::string pattern = dir.Sub("made-XXXXXX");
  ASSERT_TRUE(TarvFile::MakeUniqueFolder(&pattern));
  EXPECT_EQ(fs::status(pattern).type(), fs::file_type::directory);
  EXPECT_EQ(fs::status(pattern).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_LT(TarvFile::OpenForUpdate(dir.Sub("missing")), 0);
  for (const char* taken : {"file", "link", "dangling"}) {
    EXPECT_LT(TarvFile::CreateNew(dir.Sub(taken), 0600), 0) << taken;
    EXPECT_EQ(errno, EEXIST) << taken;
  }
  EXPECT_FALSE(fs::exists(dir.Sub("nowhere")));
  const int fd = TarvFile::CreateNew(dir.Sub("new"), 0600);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(TarvFile::WriteAll(fd, "abc", 3));
  EXPECT_TRUE(TarvFile::Close(fd));
  const int in = TarvFile::OpenForReading(dir.Sub("new"));
  char buffer[8] = {};
  EXPECT_EQ(TarvFile::ReadSome(in, buffer, sizeof buffer), 3);
  EXPECT_EQ(TarvFile::ReadSome(in, buffer, sizeof buffer), 0);
  TarvFile::Close(in);
  EXPECT_EQ(std::string(buffer), "abc");
}

// Mapped files read what the file holds; an empty file maps to nothing and
// what is no regular file is refused; given-back memory reads as zero.
TEST_F(FileStatusTest, Mappings) {
  TarvFile::Mapping m;
  TarvFile::FileMode mode = 0;
  ASSERT_TRUE(TarvFile::MapForReading(dir.Sub("file"), &m, &mode));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m.data), m.size), "12345");
  EXPECT_EQ(mode, 0640u);
  EXPECT_TRUE(TarvFile::Unmap(&m));
  EXPECT_EQ(m.data, nullptr);
  WriteFile(dir.Sub("empty"), "");
  ASSERT_TRUE(TarvFile::MapForReading(dir.Sub("empty"), &m));
  EXPECT_EQ(m.data, nullptr);
  EXPECT_EQ(m.size, 0u);
  EXPECT_FALSE(TarvFile::MapForReading(dir.Sub("folder"), &m));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_FALSE(TarvFile::MapForReading(dir.Sub("missing"), &m));
  EXPECT_EQ(errno, ENOENT);

  const size_t page = TarvFile::PageSize();
  ASSERT_GT(page, 0u);
  ASSERT_TRUE(TarvFile::MapMemory(4 * page, &m));
  m.data[0] = 7;
  m.data[3 * page] = 9;
  TarvFile::GiveBackPages(m.data, page);
  EXPECT_EQ(m.data[0], 0);
  EXPECT_EQ(m.data[3 * page], 9);
  EXPECT_TRUE(TarvFile::Unmap(&m));
}

}  // namespace
