#include "patchserver/fetch.h"

#include <algorithm>

#include "data/file_io.h"
#include "data/file_util.h"
#include "inet/transfer.h"
#include "inet/url.h"

namespace TarvPatch {
namespace {

bool IsText(FetchKind kind) {
  return kind == FetchKind::kCatalogue || kind == FetchKind::kSignature ||
         kind == FetchKind::kManifest;
}

uint64_t CeilingOf(FetchKind kind) {
  switch (kind) {
    case FetchKind::kCatalogue:
      return kMaxCatalogueBytes;
    case FetchKind::kSignature:
      return kMaxSignatureBytes;
    case FetchKind::kManifest:
      return kMaxManifestBytes;
    case FetchKind::kArchive:
      return kMaxArchiveBytes;
    case FetchKind::kObject:
      break;
  }
  return kMaxObjectBytes;
}

// Why a local file could not be read whole: missing or unreadable, or
// longer than `cap`.
TarvInet::TransferCause LocalCause(const std::wstring& path, uint64_t cap) {
  uint64_t size = 0;
  if (TarvUtil::QueryFileSize(path, size) == DB_OK && size > cap) {
    return TarvInet::TransferCause::kTooLong;
  }
  return TarvInet::TransferCause::kNotFound;
}

// A transfer's target that tells of every piece written, so that a
// caller's gauge moves while the body arrives.
class ProgressSink : public TarvDataBuffer {
 public:
  ProgressSink(TarvDataBuffer* target, const std::function<void(uint64_t)>& progress)
      : m_target(target), m_progress(progress) {}
  uint32_t GetSize() override { return m_target->GetSize(); }
  DataBufferResult SetSize(uint32_t size) override { return Told(m_target->SetSize(size)); }
  uint32_t GetPosition() override { return m_target->GetPosition(); }
  DataBufferResult SetPosition(uint32_t position) override {
    return Told(m_target->SetPosition(position));
  }
  DataBufferResult Write(const void* bytes, uint32_t count) override {
    return Told(m_target->Write(bytes, count));
  }
  DataBufferResult Read(void* destination, uint32_t count) override {
    return m_target->Read(destination, count);
  }
  DataBufferResult Flush() override { return m_target->Flush(); }

 private:
  DataBufferResult Told(DataBufferResult r) {
    m_progress(m_target->GetPosition());
    return r;
  }
  TarvDataBuffer* m_target;
  const std::function<void(uint64_t)>& m_progress;
};

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  for (size_t i = 0; prefix[i] != L'\0'; ++i) {
    if (i >= text.size()) return false;
    wchar_t c = text[i];
    if (c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

uint64_t SizeCap(FetchKind kind, uint64_t given) {
  const uint64_t ceiling = CeilingOf(kind);
  return given != 0 ? std::min(given, ceiling) : ceiling;
}

bool IsRemoteAddress(const std::wstring& address) {
  return StartsWithNoCase(address, L"ftp://") || StartsWithNoCase(address, L"http://") ||
         StartsWithNoCase(address, L"https://");
}

std::wstring ShownAddress(const std::wstring& address) {
  if (!IsRemoteAddress(address)) return address;
  return TarvUtil::ToWide(TarvInet::RedactUrl(TarvUtil::ToNarrow(address)));
}

InetResult Transfer(const std::wstring& address, FetchKind kind, TarvDataBuffer* sink,
                    FetchOptions& options) {
  TarvInet::TransferControl control;
  control.cancelled = options.cancelled;
  control.maxBytesPerSecond = options.max_bytes_per_second;
  control.sizeLimit = SizeCap(kind, options.max_bytes);
  const uint32_t flags = IsText(kind) ? TarvInet::kBypassCache : 0;
  const std::string url = TarvUtil::ToNarrow(address);
  if (!options.progress) return TarvInet::Fetch(url, sink, flags, control, &options.failure);
  ProgressSink told(sink, options.progress);
  return TarvInet::Fetch(url, &told, flags, control, &options.failure);
}

bool FetchText(const std::wstring& address, FetchKind kind, std::string* text,
               FetchOptions* options) {
  FetchOptions none;
  FetchOptions& o = options != nullptr ? *options : none;
  const uint64_t cap = SizeCap(kind, o.max_bytes);
  if (!o.server && !IsRemoteAddress(address)) {
    std::string bytes;
    if (TarvFile::ReadWholeFile(TarvUtil::FsPath(address), cap, &bytes) ==
        TarvFile::ReadResult::kOk) {
      *text = std::move(bytes);
      return true;
    }
    o.failure.cause = LocalCause(address, cap);
    return false;
  }
  TarvDataBufferMemoryDynamic buffer(cap);
  if (Transfer(address, kind, &buffer, o) != INET_OK) return false;
  text->assign(reinterpret_cast<const char*>(buffer.Data()), buffer.GetSize());
  return true;
}

bool FetchFile(const std::wstring& address, FetchKind kind, const std::wstring& download_path,
               std::wstring* where, FetchOptions* options) {
  FetchOptions none;
  FetchOptions& o = options != nullptr ? *options : none;
  if (!o.server && !IsRemoteAddress(address)) {
    uint64_t size = 0;
    if (TarvUtil::QueryFileSize(address, size) != DB_OK) {
      o.failure.cause = TarvInet::TransferCause::kNotFound;
      return false;
    }
    if (size > SizeCap(kind, o.max_bytes)) {
      o.failure.cause = TarvInet::TransferCause::kTooLong;
      return false;
    }
    *where = address;
    return true;
  }
  TarvDataBufferFile file(download_path, TarvDataBufferFile::MODE_WRITE);
  *where = download_path;
  if (!file.IsOpen()) {
    o.failure.cause = TarvInet::TransferCause::kDiskFull;
    return false;
  }
  return Transfer(address, kind, &file, o) == INET_OK && file.Flush() == DB_OK;
}

}  // namespace TarvPatch
