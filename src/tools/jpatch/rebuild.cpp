#include "rebuild.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/difference/format1_reader.h"
#include "tools/difference/format2_reader.h"

namespace jpatch {
namespace {

// Pages of the mapped files that the decoder has passed are dropped from
// this process every so often (they stay in the page cache, dirty output
// included), so that the resident size stays bounded for large files.
constexpr size_t kDropEvery = 32u << 20;

std::string Why(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

bool Inside(const TarvFile::Mapping& m, const void* address) {
  auto* p = static_cast<const unsigned char*>(address);
  return m.data != nullptr && p >= m.data && p < m.data + m.size;
}

// The descriptor the caller names for the digest line, or -1.
int DigestDescriptor() {
  const char* fd_text = getenv("TARV_DIGEST_FD");
  if (fd_text == nullptr || *fd_text == '\0') return -1;
  char* end = nullptr;
  long fd = strtol(fd_text, &end, 10);
  if (*end != '\0' || fd < 0 || fd > 1 << 20) return -1;
  return static_cast<int>(fd);
}

}  // namespace

Rebuild::Rebuild(const char* old_path, const char* diff_path, const char* out_path)
    : old_path_(old_path), diff_path_(diff_path), out_path_(out_path) {}

Rebuild::~Rebuild() {
  TarvFile::Unmap(&diff_);
  TarvFile::Unmap(&old_);
}

int Rebuild::Run() {
  if (!out_.Name(out_path_))
    return Fail(kOutUnwritable, std::string("output path too long: ") + out_path_);
  if (const int code = MapInputs(); code != kOk) return code;
  uint64_t size = 0;
  std::string why;
  if (!ChooseFormat(&size, &why)) return Fail(kDiffBad, std::string(diff_path_) + ": " + why);
  if (const int code = MakeOutput(static_cast<size_t>(size)); code != kOk) return code;
  if (!Apply(&why)) return Fail(kDiffBad, std::string(diff_path_) + ": " + why);
  TarvFile::FileStatus written;
  if (!out_.Commit(out_path_, &written))
    return Fail(kOutUnwritable, Why("cannot write", out_path_));
  if (const int fd = DigestDescriptor(); fd >= 0) out_.ReportDigest(fd, written);
  return kOk;
}

int Rebuild::MapInputs() {
  if (!TarvFile::MapForReading(old_path_, &old_, &mode_))
    return Fail(kOldUnreadable, Why("cannot read", old_path_));
  if (!TarvFile::MapForReading(diff_path_, &diff_, nullptr))
    return Fail(kDiffBad, Why("cannot read", diff_path_));
  return kOk;
}

// The second format has a magic of its own; anything else must be a frame
// of the first. `size` gets the output size the header records.
bool Rebuild::ChooseFormat(uint64_t* size, std::string* why) {
  second_format_ = difference::IsFormat2(diff_.data, diff_.size);
  if (!second_format_) return difference::ReadFormat1Header(diff_.data, diff_.size, size, why);
  difference::Format2Header header;
  if (!difference::ReadFormat2Header(diff_.data, diff_.size, &header, why)) return false;
  if (header.old_size != old_.size) {
    *why = "made for an old file of another size";
    return false;
  }
  *size = header.new_size;
  return true;
}

// The first format decodes into the mapped part file; the second rebuilds
// front to back into memory that is written out behind it. The MD5 is
// taken only for a caller that asks for it.
int Rebuild::MakeOutput(size_t size) {
  if (!out_.Create(size, mode_, !second_format_))
    return Fail(kOutUnwritable, Why("cannot write", out_.part_path()));
  if (second_format_ && !out_.MakeBuffer(size))
    return Fail(kOutUnwritable, Why("no memory for", out_.part_path()));
  out_.Follow(DigestDescriptor() >= 0);
  return kOk;
}

bool Rebuild::Apply(std::string* why) {
  if (second_format_) {
    unsigned char empty_output[1];
    return difference::ApplyFormat2(
        old_.data, old_.size, diff_.data, diff_.size,
        out_.buffer() != nullptr ? out_.buffer() : empty_output, why,
        [this](uint64_t out_pos) { Progress(static_cast<size_t>(out_pos), 0); },
        /*old_is_mapped=*/true);
  }
  return difference::ApplyFormat1(
      old_.data, old_.size, diff_.data, diff_.size, out_.mapped_data(), out_.mapped_size(), why,
      [this](size_t out_pos, size_t in_pos) { Progress(out_pos, in_pos); });
}

// The output before `out_pos` is final. Every kDropEvery bytes, the pages
// passed are given back.
void Rebuild::Progress(size_t out_pos, size_t in_pos) {
  out_.Advance(out_pos);
  if (out_pos - dropped_at_ < kDropEvery) return;
  dropped_at_ = out_pos;
  out_.GiveBackPassed(out_pos);
  const size_t page = TarvFile::PageSize();
  if (diff_.data && in_pos >= page) TarvFile::GiveBackPages(diff_.data, in_pos / page * page);
  if (old_.data) TarvFile::GiveBackPages(old_.data, old_.size);
}

int Rebuild::CodeForFault(const void* address) const {
  return Inside(old_, address)    ? kOldUnreadable
         : Inside(diff_, address) ? kDiffBad
                                  : kOutUnwritable;
}

int Rebuild::Fail(int code, const std::string& what) const {
  fprintf(stderr, "jpatch: %s\n", what.c_str());
  out_.RemovePartFile();
  return code;
}

}  // namespace jpatch
