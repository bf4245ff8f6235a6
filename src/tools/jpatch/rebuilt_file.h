// The file jpatch writes: OUT.part made afresh, filled either through a
// shared mapping (the decoder writes into it) or from a buffer in anonymous
// memory that is written out and given back behind the decoder; its MD5
// taken on a thread of its own where the caller asks for it; then flushed
// and renamed into place. The part file's name is kept in a plain array so
// that a signal handler may remove it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "crypto/md5.h"
#include "data/file_io.h"
#include "data/file_status.h"
#include "data/mapped_file.h"
#include "tools/difference/follower.h"

namespace jpatch {

class RebuiltFile {
 public:
  RebuiltFile() = default;
  ~RebuiltFile();
  RebuiltFile(const RebuiltFile&) = delete;
  RebuiltFile& operator=(const RebuiltFile&) = delete;

  // Names OUT.part after `out_path`; false when the name is too long.
  bool Name(const char* out_path);
  const std::string& part_path() const { return part_; }

  // Creates OUT.part of `size` bytes with `mode`, reserved on disk, and
  // mapped for writing where `mapped` (otherwise see MakeBuffer). False with
  // errno set; the part file is then removed by RemovePartFile unless its
  // name was not ours to take.
  bool Create(size_t size, TarvFile::FileMode mode, bool mapped);
  // Private memory for the output of `size` bytes, written to the file
  // behind the decoder.
  bool MakeBuffer(size_t size);
  // Starts the thread that follows the output: digests it where `digest`,
  // and writes the buffer out.
  void Follow(bool digest);

  // Where the decoder writes: the mapping or the buffer; null for an empty
  // output.
  unsigned char* mapped_data() const { return out_.data; }
  size_t mapped_size() const { return out_.size; }
  unsigned char* buffer() const { return buffer_; }

  // The output before `pos` is final.
  void Advance(size_t pos);
  // Gives back the mapped output's pages that are final and digested.
  void GiveBackPassed(size_t pos);
  bool Contains(const void* address) const;

  // Flushes, renames into place and flushes the folder; `written` gets the
  // file as flushed. False with errno set.
  bool Commit(const char* out_path, TarvFile::FileStatus* written);
  // Writes the digest line to the descriptor `fd`.
  void ReportDigest(int fd, const TarvFile::FileStatus& written);
  // Removes the part file if it is ours; safe in a signal handler.
  void RemovePartFile() const;

 private:
  void DigestAndWrite(const unsigned char* data, size_t n);

  std::string part_;
  char armed_[4096] = {};  // the part file's name while it is ours to remove
  TarvFile::Mapping out_, memory_;
  unsigned char* buffer_ = nullptr;
  size_t buffer_size_ = 0, given_back_ = 0;
  int fd_ = -1;
  int write_errno_ = 0;  // the first failed write's
  TarvCrypto::MD5 md5_;
  bool digest_wanted_ = false;
  std::unique_ptr<difference::Follower> follower_;
};

}  // namespace jpatch
