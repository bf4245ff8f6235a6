#include "patchserver/obelk_patch_task.h"

#include "data/file_util.h"
#include "diag/system_log.h"
#include "inet/transfer.h"
#include "inet/url.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "patchserver/failure_text.h"

namespace {

// Longest signature file taken from a server; the parser refuses anything
// over a few KiB with a clear reason.
constexpr uint32_t kMaxSignatureFetchBytes = 1u << 20;

// Addresses in report lines never show a password.
std::string Shown(const std::wstring& address) {
  return TarvInet::RedactUrl(TarvUtil::ToNarrow(address));
}

}  // namespace

// The archive file as the transfer sees it, publishing its position after
// every operation so that the GUI thread can read it while the worker
// writes, without a lock around the writes.
class ObelkPatchTask::ProgressBuffer : public TarvDataBuffer {
 public:
  explicit ProgressBuffer(TarvDataBufferFile* file) : m_file(file) {}
  uint32_t Position() const { return m_position.load(std::memory_order_relaxed); }

  uint32_t GetSize() override { return m_file->GetSize(); }
  uint32_t GetPosition() override { return m_file->GetPosition(); }
  DataBufferResult SetSize(uint32_t size) override { return Publish(m_file->SetSize(size)); }
  DataBufferResult SetPosition(uint32_t position) override {
    return Publish(m_file->SetPosition(position));
  }
  DataBufferResult Write(const void* bytes, uint32_t count) override {
    return Publish(m_file->Write(bytes, count));
  }
  DataBufferResult Read(void* destination, uint32_t count) override {
    return Publish(m_file->Read(destination, count));
  }
  DataBufferResult Flush() override { return m_file->Flush(); }

 private:
  DataBufferResult Publish(DataBufferResult r) {
    m_position.store(m_file->GetPosition(), std::memory_order_relaxed);
    return r;
  }

  TarvDataBufferFile* m_file;
  std::atomic<uint32_t> m_position{0};
};

ObelkPatchTask::ObelkPatchTask() = default;

TarvInet::TransferControl ObelkPatchTask::Control() {
  TarvInet::TransferControl control;
  control.cancelled = [this] { return TransferCancelled(); };
  return control;
}
ObelkPatchTask::~ObelkPatchTask() = default;

void ObelkPatchTask::Report(int level, const std::wstring& text) {
  Report(level, TarvUtil::ToNarrow(text));
}

// ---- Catalogue ----

bool ObelkPatchTask::ParseCatalogue(TarvDataBuffer* buffer, const std::wstring& server) {
  return m_catalogue.ParseCatalogue(buffer, server);
}

bool ObelkPatchTask::ParseCatalogueRecord(TarvDataBuffer* record, const std::wstring& server) {
  return m_catalogue.ParseCatalogueRecord(record, server);
}

bool ObelkPatchTask::ParseKeyValues(TarvDataBuffer* buffer, PatchCatalogue::KeyValueTable& table) {
  return PatchCatalogue::ParseKeyValues(buffer, table);
}

const PatchInfo* ObelkPatchTask::GetPatchInfo(const std::string& version) const {
  return m_catalogue.GetPatchInfo(version);
}

// ---- Server selection ----

bool ObelkPatchTask::FindPatches(const std::vector<std::wstring>& servers) {
  for (const std::wstring& server : servers) {
    if (server.empty()) continue;
    std::wstring address = TarvUtil::JoinPath(server, L"patches.txt");
    TarvDataBufferMemoryDynamic buffer(kMaxCatalogueBytes);
    TarvInet::TransferFailure failure;
    InetResult r = TarvInet::Fetch(TarvUtil::ToNarrow(address), &buffer, TarvInet::kBypassCache,
                                   Control(), &failure);
    if (r == INET_CANCELLED || TransferCancelled()) return false;
    if (r != INET_OK) {
      Report(2, "Unable to download patch file: " + Shown(address));
      Report(2, TarvPatchServer::DescribeFailure(failure));
      continue;
    }
    if (m_policy.SignatureRequired() && !CatalogueTrusted(address, buffer)) continue;
    buffer.SetPosition(0);
    if (ParseCatalogue(&buffer, server)) {
      m_server = server;
      return true;
    }
  }
  Report(0, "Unable to connect to any patch servers.");
  m_server.clear();
  return false;
}

bool ObelkPatchTask::CatalogueTrusted(const std::wstring& address,
                                      TarvDataBufferMemoryDynamic& catalogue) {
  using TarvMessages::LoadMessage;
  namespace Id = TarvMessages::Id;
  const std::wstring signature_address = address + L".minisig";
  TarvDataBufferMemoryDynamic signature(kMaxSignatureFetchBytes);
  const InetResult fetched = TarvInet::Fetch(TarvUtil::ToNarrow(signature_address), &signature,
                                             TarvInet::kBypassCache, Control());
  if (fetched == INET_CANCELLED) return false;  // the server search ends without a line
  if (fetched != INET_OK) {
    Report(2, LoadMessage(Id::kCatalogueUnsigned) + TarvUtil::ToWide(Shown(address)));
    return false;
  }
  std::string detail;
  uint64_t serial = 0;
  const CatalogueVerdict verdict = CheckCatalogueSignature(
      std::string_view(reinterpret_cast<const char*>(catalogue.Data()), catalogue.GetSize()),
      std::string_view(reinterpret_cast<const char*>(signature.Data()), signature.GetSize()),
      m_policy, &serial, &detail);
  if (verdict == CatalogueVerdict::kAccepted) {
    m_acceptedSerial = serial;
    return true;
  }
  SystemLogA("catalogue %s refused: %s\n", Shown(address).c_str(), detail.c_str());
  const int id = verdict == CatalogueVerdict::kExpired    ? Id::kCatalogueExpired
                 : verdict == CatalogueVerdict::kReplayed ? Id::kCatalogueReplayed
                                                          : Id::kCatalogueBadSignature;
  Report(2, LoadMessage(id) + TarvUtil::ToWide(Shown(address)));
  return false;
}

// ---- Download ----

bool ObelkPatchTask::QueryPatchSize(const std::wstring& dataUrl) {
  m_bytesReceived = 0;
  uint64_t size = 0;
  bool known = TarvInet::QuerySize(TarvUtil::ToNarrow(dataUrl), size, Control()) == INET_OK;
  m_bytesExpected = known ? size : 0;
  return known;
}

void ObelkPatchTask::SetExpectedPatchSize(uint64_t size) {
  m_bytesReceived = 0;
  m_bytesExpected = size;
}

void ObelkPatchTask::SetTransferProgress(uint64_t received, uint64_t expected) {
  OS::MutexLock lock(&m_statusLock);
  m_state = TarvPatch::DownloadState::kDownloading;
  m_bytesReceived = received;
  m_bytesExpected = expected;
}

bool ObelkPatchTask::DownloadPatch(const std::wstring& dataUrl, const std::wstring& tempFilePath,
                                   uint64_t maxBytes) {
  SetDownloadState(TarvPatch::DownloadState::kDownloading);
  m_bytesReceived = 0;
  TarvDataBufferFile file(tempFilePath, TarvDataBufferFile::MODE_UPDATE);
  if (!file.IsOpen() || file.SetSize(0) != DB_OK) {
    Report(2, "Unable to open the patch file for writing: " + TarvUtil::ToNarrow(tempFilePath));
    return false;
  }
  ProgressBuffer progress(&file);
  {
    OS::MutexLock lock(&m_statusLock);
    m_currentBuffer = &progress;
  }
  TarvInet::TransferControl control = Control();
  control.maxBytesPerSecond = m_downloadLimit;
  // A size the caller trusts (the signed one) is final; else the server's
  // announced size bounds the body. Past it the transfer stops at once and
  // is not tried again: the next answer would be just as long.
  const bool trusted_size = maxBytes != UINT64_MAX;
  control.sizeLimit = trusted_size ? maxBytes : m_bytesExpected.load();
  TarvInet::TransferFailure failure;
  InetResult r = TarvInet::Fetch(TarvUtil::ToNarrow(dataUrl), &progress, 0, control, &failure);
  // The last bytes reach the file only here: a full disk may show now.
  const bool written = r != INET_OK || progress.Flush() == DB_OK;
  const bool ok = r == INET_OK && written;
  if (!written) {
    SystemLogA("download: the archive could not be written to its end\n");
    Report(2, "Unable to download patch file: " + Shown(dataUrl));
  } else if (ok || r == INET_CANCELLED || TransferCancelled()) {
    // Done, or cancelled, which is no failure to report. The archive is
    // checked before anything uses it and so is not flushed to disk.
  } else if (trusted_size && failure.cause == TarvInet::TransferCause::kTooLong) {
    Report(2, TarvMessages::LoadMessage(TarvMessages::Id::kArchiveTooLarge));
  } else {
    Report(2, "Unable to download patch file: " + Shown(dataUrl));
    Report(2, TarvPatchServer::DescribeFailure(failure));
  }
  {
    OS::MutexLock lock(&m_statusLock);
    m_bytesReceived = progress.Position();
    m_currentBuffer = nullptr;
  }
  if (!ok) {
    // What a failed or cancelled download received is of no use to anyone.
    file.SetSize(0);
    TarvUtil::RemoveFile(tempFilePath);
  }
  return ok;
}

void ObelkPatchTask::SetDownloadState(TarvPatch::DownloadState state) {
  OS::MutexLock lock(&m_statusLock);
  m_state = state;
}

TarvPatch::DownloadStatus ObelkPatchTask::GetDownloadStatus() const {
  using TarvPatch::DownloadState;
  TarvPatch::DownloadStatus status;
  {
    OS::MutexLock lock(&m_statusLock);
    status.state = m_state;
    // During a transfer the buffer knows the bytes received; the count
    // itself is brought up to date when the transfer ends.
    status.bytesReceived =
        m_currentBuffer != nullptr ? m_currentBuffer->Position() : m_bytesReceived.load();
    status.bytesExpected = m_bytesExpected;
  }
  if (status.state == DownloadState::kUnpacking) {
    status.percent = 100;
  } else if (status.bytesExpected != 0) {
    // Positions are 32-bit, so received * 100 cannot overflow 64 bits.
    status.percent = static_cast<uint32_t>(status.bytesReceived * 100 / status.bytesExpected);
  }
  return status;
}

bool ObelkPatchTask::IsDownloadedSizeAcceptable(const std::wstring& tempFilePath) const {
  uint64_t size = 0;
  if (TarvUtil::QueryFileSize(tempFilePath, size) != DB_OK) return false;
  return size >= m_bytesExpected;
}
