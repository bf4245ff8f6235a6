// One run of jpatch: rebuilds OUT from OLD and DIFF. It chooses the format
// by the difference's magic, applies it into the output and commits the
// output; every failure prints one line and answers its exit code, and the
// part file never stays behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "data/mapped_file.h"
#include "rebuilt_file.h"

namespace jpatch {

enum ExitCode { kOk = 0, kUsage = 1, kOldUnreadable = 2, kDiffBad = 3, kOutUnwritable = 4 };

class Rebuild {
 public:
  Rebuild(const char* old_path, const char* diff_path, const char* out_path);
  ~Rebuild();
  Rebuild(const Rebuild&) = delete;
  Rebuild& operator=(const Rebuild&) = delete;

  // Choose the format, apply, commit; the exit code.
  int Run();

  // For the mapping-fault handler (safe in a signal handler): the exit code
  // of a fault at `address` (a mapped file shrank under us, or the disk
  // filled up), and the removal of the part file.
  int CodeForFault(const void* address) const;
  void RemovePartFile() const { out_.RemovePartFile(); }

 private:
  int MapInputs();
  bool ChooseFormat(uint64_t* size, std::string* why);
  int MakeOutput(size_t size);
  bool Apply(std::string* why);
  void Progress(size_t out_pos, size_t in_pos);
  int Fail(int code, const std::string& what) const;

  const char* old_path_;
  const char* diff_path_;
  const char* out_path_;
  TarvFile::Mapping old_, diff_;
  TarvFile::FileMode mode_ = 0644;
  bool second_format_ = false;
  size_t dropped_at_ = 0;
  RebuiltFile out_;
};

}  // namespace jpatch
