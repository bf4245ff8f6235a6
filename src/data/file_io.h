// The one way this program reads and writes whole files: replace a file
// atomically, read a file whole up to a limit, write all of a buffer, copy a
// regular file, and the single calls (open, write, fsync, rename, unlink)
// underneath them. Paths are file-system paths (UTF-8, "/" separated; see
// TarvUtil::FsPath). Every operation returns false on failure with errno set
// and, when `error` is given, a line naming what failed, the path and the
// system's reason; none throws. Every open, write, fsync, rename, unlink and
// link goes through the fault seam of file_faults.h, so a test can make any of
// them fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace TarvFile {

// Permission bits of a file (07777 on Linux; Windows keeps only the owner's
// write bit as the read-only attribute).
using FileMode = uint32_t;

// The folder part of a path: "." for a bare name, "/" for a name at the root.
std::string FolderOf(const std::string& path);

// The single calls, each counted by the fault seam. Open returns the
// descriptor or -1; the others return false on failure. Write loops until all
// of `size` is written (EINTR retried); a write that makes no progress fails
// with ENOSPC.
int Open(const std::string& path, int flags, FileMode mode = 0);

// The usual opens without the system's flags, each close-on-exec and counted
// by the fault seam as an open: reading, reading and writing an existing
// file, and a new file that must not exist yet (a link there is not
// followed). -1 with errno on failure.
int OpenForReading(const std::string& path);
int OpenForUpdate(const std::string& path);
// An existing file, emptied for writing; a link there is not followed.
int OpenForReplacing(const std::string& path);
int CreateNew(const std::string& path, FileMode mode);
// Closes a descriptor; false with errno when the system reports a failure.
bool Close(int fd);
// Reads what is there up to `size` bytes (EINTR retried): the count, 0 at
// the end, -1 with errno.
long long ReadSome(int fd, void* buffer, size_t size);
bool WriteAll(int fd, const void* data, size_t size);
bool Fsync(int fd);
bool Rename(const std::string& from, const std::string& to);
bool Unlink(const std::string& path);
// A hard link `to` of the file `from` (a link at `from` is linked as a link).
bool Link(const std::string& from, const std::string& to);
// A stream over a copy of the descriptor `fd`, for a library that writes
// through FILE*; closing the stream leaves `fd` open. Null with errno.
FILE* StreamOnCopy(int fd, const char* mode);

// A write and an unlink that the fault seam neither counts nor fails, for a
// report line on a pipe and for the clean-up of a failing tool; both safe
// in a signal handler. The write stops at the first failure.
void WriteUncounted(int fd, const void* data, size_t size);
void UnlinkUncounted(const char* path);

// Makes a new folder that only this user may enter, named by `pattern`
// with its last six characters "XXXXXX" replaced by a fresh choice; the
// name made is left in `pattern`. False with errno when none could be made.
bool MakeUniqueFolder(std::string* pattern);

// Flushes a folder's entries (after a rename into it). File systems that
// refuse fsync on folders count as success: the data is safe there anyway.
bool SyncFolder(const std::string& folder);

// How ReadWholeFile ended.
enum class ReadResult { kOk, kMissing, kTooLarge, kFailed };

// Reads the regular file at `path` into `bytes`. A file larger than `limit`
// is not read (kTooLarge); a missing file gives kMissing; a link, folder or
// any other failure kFailed. `error` gets a line for every result but kOk.
ReadResult ReadWholeFile(const std::string& path, uint64_t limit, std::string* bytes,
                         std::string* error = nullptr);
// Reads exactly `size` bytes from an open descriptor from its current
// position and checks that the file ends there (it did not shrink or grow
// while it was read).
bool ReadExactly(int fd, size_t size, std::string* bytes, std::string* error = nullptr);

// Opens a regular file for reading as a stream: opened without blocking (a
// pipe would wait for a writer), then refused unless it is a regular file (a
// folder opens for reading on Linux; a pipe or device would never end).
// Null with errno set on failure. The caller closes the stream.
FILE* OpenRegularForReading(const std::string& path);

// How a replacement is made.
struct ReplaceOptions {
  // Mode of the new file; with kKeepMode an existing file's mode (and owner,
  // when run as root) is kept and a new file gets 0644.
  static constexpr FileMode kKeepMode = static_cast<FileMode>(-1);
  FileMode mode = kKeepMode;
  // A fixed name for the temporary file (a leftover of that name is removed,
  // never followed). Empty: a fresh hidden name in the target's folder.
  std::string temp_path;
  // False: neither the file nor its folder is flushed before and after the
  // rename. For a caller that makes many files durable at once (a patch
  // step flushes its file system once before its commit point).
  bool durable = true;
};

// A file being written under a temporary name beside its target and renamed
// over the target by Commit. Until Commit succeeds the target is untouched;
// the temporary file is removed on every failure and when the writer is
// destroyed uncommitted. One owner, one thread.
class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file (O_EXCL|O_NOFOLLOW) for `target`.
  bool Create(const std::string& target, const ReplaceOptions& options = {},
              std::string* error = nullptr);
  bool Write(const void* data, size_t size, std::string* error = nullptr);
  bool Write(std::string_view bytes, std::string* error = nullptr) {
    return Write(bytes.data(), bytes.size(), error);
  }
  // Flushes the file, closes it, renames it over the target and flushes the
  // folder. After a failure the temporary file is gone and the target as it
  // was.
  bool Commit(std::string* error = nullptr);
  // Removes the temporary file; the target stays as it was.
  void Abandon();

  // REQUIRES: Create succeeded. Others may write through the name too
  // (a library that opens files itself); Commit flushes whatever the file
  // holds then.
  int fd() const { return m_fd; }
  const std::string& temp_path() const { return m_temp; }

 private:
  bool Fail(const std::string& what, std::string* error);

  int m_fd = -1;
  bool m_durable = true;
  std::string m_target;
  std::string m_temp;
};

// Replaces `path` by `bytes` through an AtomicFile.
bool ReplaceFile(const std::string& path, std::string_view bytes,
                 const ReplaceOptions& options = {}, std::string* error = nullptr);

// Copies the regular file `source` (a link is refused) over `target`
// through an AtomicFile made with `options`; the copy gets the source's
// permission bits plus owner read and write. With `verify`, the complete
// copy (its temporary path) must pass it before it replaces the target.
bool CopyRegularFile(const std::string& source, const std::string& target,
                     std::string* error = nullptr, ReplaceOptions options = {},
                     const std::function<bool(const std::string& copy)>& verify = {});

}  // namespace TarvFile
