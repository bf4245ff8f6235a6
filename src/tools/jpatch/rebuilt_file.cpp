#include "rebuilt_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace jpatch {
namespace {

// The output before the digest is written out while the decoder runs at
// most this far ahead of it: the pages behind the digest are given back,
// so the lag is what the output keeps resident.
constexpr size_t kOutputLag = 8u << 20;
// The buffer is given back in pieces of a huge page.
constexpr size_t kGiveBackPiece = 2u << 20;

}  // namespace

RebuiltFile::~RebuiltFile() {
  follower_.reset();
  TarvFile::Unmap(&out_);
  TarvFile::Unmap(&memory_);
}

bool RebuiltFile::Name(const char* out_path) {
  char part[sizeof armed_];
  if (snprintf(part, sizeof part, "%s.part", out_path) >= static_cast<int>(sizeof part))
    return false;
  part_ = part;
  return true;
}

// OUT.part is made afresh, never through a link that happens to carry the
// name, and its full size reserved so that a full disk is an error here and
// not a bus error later.
bool RebuiltFile::Create(size_t size, TarvFile::FileMode mode, bool mapped) {
  snprintf(armed_, sizeof armed_, "%s", part_.c_str());
  int fd = -1;
  if (TarvFile::Unlink(armed_) || errno == ENOENT) fd = TarvFile::CreateNew(armed_, 0600);
  if (fd < 0) {
    const int err = errno;
    armed_[0] = '\0';  // O_EXCL failed: the name is not ours
    errno = err;
    return false;
  }
  fd_ = fd;
  if (!TarvFile::SetMode(fd, mode & 0777)) return false;
  if (size == 0) return true;
  if (!TarvFile::ReserveSpace(fd, size)) return false;
  if (!mapped) return true;
  return TarvFile::MapForWriting(fd, size, &out_);
}

// Writing a file costs less than filling its pages through a shared mapping
// (a fault a page), and the resident part stays a window.
bool RebuiltFile::MakeBuffer(size_t size) {
  if (size == 0) return true;
  if (!TarvFile::MapMemory(size, &memory_)) return false;
  buffer_ = memory_.data;
  buffer_size_ = size;
  return true;
}

void RebuiltFile::Follow(bool digest) {
  digest_wanted_ = digest;
  if (out_.data != nullptr && digest) {
    follower_ = std::make_unique<difference::Follower>(
        out_.data, out_.size,
        [this](const unsigned char* data, size_t n) { md5_.update(data, n); });
  } else if (buffer_ != nullptr) {
    follower_ = std::make_unique<difference::Follower>(
        buffer_, buffer_size_,
        [this](const unsigned char* data, size_t n) { DigestAndWrite(data, n); });
  }
}

// A final piece of the buffer, on the follower's thread. The pieces come in
// order from the start, so the file grows by plain writes.
void RebuiltFile::DigestAndWrite(const unsigned char* data, size_t n) {
  if (digest_wanted_) md5_.update(data, n);
  const auto offset = static_cast<size_t>(data - buffer_);
  if (write_errno_ == 0 && !TarvFile::WriteAll(fd_, data, n))
    write_errno_ = errno != 0 ? errno : EIO;
  const size_t end = (offset + n) / kGiveBackPiece * kGiveBackPiece;
  if (end > given_back_) {
    TarvFile::GiveBackPages(buffer_ + given_back_, end - given_back_);
    // The disk starts on what is written, so that the flush at the end
    // waits for little.
    TarvFile::StartWriteBack(fd_, given_back_, end - given_back_);
    given_back_ = end;
  }
}

// The decoder waits when it runs more than kOutputLag ahead of the
// follower.
void RebuiltFile::Advance(size_t pos) {
  if (!follower_) return;
  follower_->Advance(pos);
  if (pos > kOutputLag) follower_->WaitFor(pos - kOutputLag);
}

// Output pages the digest has not read yet stay.
void RebuiltFile::GiveBackPassed(size_t pos) {
  const size_t page = TarvFile::PageSize();
  const size_t hashed = follower_ ? std::min(pos, follower_->Done()) : pos;
  if (out_.data && hashed >= page) TarvFile::GiveBackPages(out_.data, hashed / page * page);
}

bool RebuiltFile::Contains(const void* address) const {
  auto* p = static_cast<const unsigned char*>(address);
  return out_.data != nullptr && p >= out_.data && p < out_.data + out_.size;
}

bool RebuiltFile::Commit(const char* out_path, TarvFile::FileStatus* written) {
  if (follower_) follower_->Finish();
  if (write_errno_ != 0) {
    errno = write_errno_;
    return false;
  }
  if (!TarvFile::Unmap(&out_)) return false;
  if (!TarvFile::Fsync(fd_) || !TarvFile::StatusOfOpen(fd_, written)) return false;
  if (!TarvFile::Close(fd_)) return false;
  if (!TarvFile::Rename(armed_, out_path)) return false;
  armed_[0] = '\0';
  TarvFile::SyncFolder(TarvFile::FolderOf(out_path));
  return true;
}

// A caller that cannot read the line checks the file itself, so a failed
// write changes nothing.
void RebuiltFile::ReportDigest(int fd, const TarvFile::FileStatus& st) {
  md5_.finalize();
  auto hex = md5_.hex_digest();
  char line[256];
  int n = snprintf(line, sizeof line, "%s %lld %llu %llu %lld\n", hex.get(),
                   static_cast<long long>(st.size), static_cast<unsigned long long>(st.device),
                   static_cast<unsigned long long>(st.inode), static_cast<long long>(st.mtime_ns));
  if (n > 0 && n < static_cast<int>(sizeof line)) {
    TarvFile::WriteUncounted(fd, line, static_cast<size_t>(n));
  }
}

void RebuiltFile::RemovePartFile() const {
  if (armed_[0] != '\0') TarvFile::UnlinkUncounted(armed_);
}

}  // namespace jpatch
