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
               const FetchCancelled& cancelled) {
  if (!IsRemoteAddress(address)) return ReadLocal(address, text, limit);
  TarvDataBufferMemoryDynamic buffer(limit);
  TarvInet::TransferControl control;
  control.cancelled = cancelled;
  if (TarvInet::Fetch(TarvUtil::ToNarrow(address), &buffer, TarvInet::kBypassCache, control) !=
      INET_OK) {
    return false;
  }
  text->assign(reinterpret_cast<const char*>(buffer.Data()), buffer.GetSize());
  return true;
}

bool FetchFile(const std::wstring& address, const std::wstring& download_path, std::wstring* where,
               const FetchCancelled& cancelled) {
  if (!IsRemoteAddress(address)) {
    uint64_t size = 0;
    if (TarvUtil::QueryFileSize(address, size) != DB_OK) return false;
    *where = address;
    return true;
  }
  TarvDataBufferFile file(download_path, TarvDataBufferFile::MODE_WRITE);
  if (!file.IsOpen()) return false;
  TarvInet::TransferControl control;
  control.cancelled = cancelled;
  bool ok = TarvInet::Fetch(TarvUtil::ToNarrow(address), &file, 0, control) == INET_OK &&
            file.Flush() == DB_OK;
  *where = download_path;
  return ok;
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
  const std::wstring shown =
      IsRemoteAddress(address) ? TarvUtil::ToWide(TarvInet::RedactUrl(TarvUtil::ToNarrow(address)))
                               : address;
  return TarvMessages::LoadMessage(refusal) + shown;
}

}  // namespace TarvPatch
