#include "session/patch_source.h"

#include "data/data_buffer.h"
#include "data/file_io.h"
#include "data/file_util.h"
#include "diag/system_log.h"
#include "inet/transfer.h"
#include "inet/url.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "patchserver/patch_catalogue.h"

namespace TarvPatch {
namespace {

// Longest signature file taken; a real one is a few hundred bytes.
constexpr size_t kMaxSignatureBytes = 1u << 20;

bool ReadLocal(const std::wstring& path, std::string* text, size_t limit) {
  std::string bytes;
  if (TarvFile::ReadWholeFile(TarvUtil::FsPath(path), limit, &bytes) != TarvFile::ReadResult::kOk) {
    return false;
  }
  *text = std::move(bytes);
  return true;
}

// Why a local file could not be read whole: missing or unreadable, or
// longer than `limit`.
TarvInet::TransferCause LocalCause(const std::wstring& path, size_t limit) {
  uint64_t size = 0;
  if (TarvUtil::QueryFileSize(path, size) == DB_OK && size > limit) {
    return TarvInet::TransferCause::kTooLong;
  }
  return TarvInet::TransferCause::kNotFound;
}

// A transfer's target that tells of every piece written, so that a
// caller's gauge moves while the body arrives.
class ProgressSink : public TarvDataBuffer {
 public:
  ProgressSink(TarvDataBuffer* target, std::function<void(uint64_t)> progress)
      : m_target(target), m_progress(std::move(progress)) {}
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
    if (m_progress) m_progress(m_target->GetPosition());
    return r;
  }
  TarvDataBuffer* m_target;
  std::function<void(uint64_t)> m_progress;
};

TarvInet::TransferControl ControlFor(const FetchOptions& options) {
  TarvInet::TransferControl control;
  control.cancelled = options.cancelled;
  control.maxBytesPerSecond = options.max_bytes_per_second;
  return control;
}

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

bool IsRemoteAddress(const std::wstring& address) {
  return StartsWithNoCase(address, L"ftp://") || StartsWithNoCase(address, L"http://") ||
         StartsWithNoCase(address, L"https://");
}

bool FetchText(const std::wstring& address, std::string* text, size_t limit,
               FetchOptions* options) {
  FetchOptions none;
  FetchOptions& o = options != nullptr ? *options : none;
  if (!IsRemoteAddress(address)) {
    if (ReadLocal(address, text, limit)) return true;
    o.failure.cause = LocalCause(address, limit);
    return false;
  }
  TarvDataBufferMemoryDynamic buffer(limit);
  ProgressSink sink(&buffer, o.progress);
  TarvInet::TransferControl control = ControlFor(o);
  control.sizeLimit = limit;
  if (TarvInet::Fetch(TarvUtil::ToNarrow(address), &sink, TarvInet::kBypassCache, control,
                      &o.failure) != INET_OK) {
    return false;
  }
  text->assign(reinterpret_cast<const char*>(buffer.Data()), buffer.GetSize());
  return true;
}

bool FetchFile(const std::wstring& address, const std::wstring& download_path, std::wstring* where,
               FetchOptions* options) {
  FetchOptions none;
  FetchOptions& o = options != nullptr ? *options : none;
  if (!IsRemoteAddress(address)) {
    uint64_t size = 0;
    if (TarvUtil::QueryFileSize(address, size) != DB_OK) {
      o.failure.cause = TarvInet::TransferCause::kNotFound;
      return false;
    }
    if (o.max_bytes != 0 && size > o.max_bytes) {
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
  ProgressSink sink(&file, o.progress);
  TarvInet::TransferControl control = ControlFor(o);
  control.sizeLimit = o.max_bytes;
  return TarvInet::Fetch(TarvUtil::ToNarrow(address), &sink, 0, control, &o.failure) == INET_OK &&
         file.Flush() == DB_OK;
}

std::wstring ShownAddress(const std::wstring& address) {
  if (!IsRemoteAddress(address)) return address;
  return TarvUtil::ToWide(TarvInet::RedactUrl(TarvUtil::ToNarrow(address)));
}

bool ParseCatalogueText(const std::string& text, const std::wstring& base,
                        PatchCatalogue* catalogue) {
  TarvDataBufferMemoryDynamic buffer;
  buffer.Write(text.data(), static_cast<uint32_t>(text.size()));
  buffer.SetPosition(0);
  return catalogue->ParseCatalogue(&buffer, base);
}

std::wstring CatalogueRefusal(const std::string& catalogue, const std::wstring& address,
                              const CataloguePolicy& policy, const TextFetcher& fetch,
                              uint64_t* serial) {
  namespace Id = TarvMessages::Id;
  if (!policy.SignatureRequired()) return L"";
  std::string signature;
  int refusal = Id::kCatalogueUnsigned;
  if (fetch(address + L".minisig", &signature, kMaxSignatureBytes)) {
    std::string detail;
    switch (CheckCatalogueSignature(catalogue, signature, policy, serial, &detail)) {
      case CatalogueVerdict::kAccepted:
        return L"";
      case CatalogueVerdict::kExpired:
        refusal = Id::kCatalogueExpired;
        break;
      case CatalogueVerdict::kReplayed:
        refusal = Id::kCatalogueReplayed;
        break;
      case CatalogueVerdict::kMissing:
        break;
      case CatalogueVerdict::kBad:
        refusal = Id::kCatalogueBadSignature;
        break;
    }
    SystemLogA("catalogue %s refused: %s\n", TarvUtil::ToNarrow(address).c_str(), detail.c_str());
  }
  return TarvMessages::LoadMessage(refusal) + ShownAddress(address);
}

}  // namespace TarvPatch
