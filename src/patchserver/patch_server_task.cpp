#include "patchserver/patch_server_task.h"

#include "data/file_util.h"
#include "diag/system_log.h"
#include "inet/transfer.h"
#include "inet/url.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "patchserver/catalogue_trust.h"
#include "patchserver/failure_text.h"

using TarvPatch::CatalogueTrust;
using TarvPatch::ShownAddress;
using TarvPatch::TextFetcher;

namespace {

// Addresses in report lines never show a password.
std::string Shown(const std::wstring& address) {
  return TarvInet::RedactUrl(TarvUtil::ToNarrow(address));
}

}  // namespace

// The archive file as the transfer sees it, publishing its position after
// every operation so that the GUI thread can read it while the worker
// writes, without a lock around the writes.
class PatchServerTask::ProgressBuffer : public TarvDataBuffer {
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

PatchServerTask::PatchServerTask() = default;
PatchServerTask::~PatchServerTask() = default;

void PatchServerTask::Hold(FetchOptions* options) {
  options->cancelled = [this] { return TransferCancelled(); };
  options->max_bytes_per_second = m_downloadLimit;
}

bool PatchServerTask::FetchText(const std::wstring& address, FetchKind kind, std::string* text,
                                FetchOptions* options) {
  FetchOptions none;
  FetchOptions& o = options != nullptr ? *options : none;
  Hold(&o);
  return TarvPatch::FetchText(address, kind, text, &o);
}

bool PatchServerTask::FetchFile(const std::wstring& address, FetchKind kind,
                                const std::wstring& download_path, std::wstring* where,
                                FetchOptions* options) {
  FetchOptions none;
  FetchOptions& o = options != nullptr ? *options : none;
  Hold(&o);
  return TarvPatch::FetchFile(address, kind, download_path, where, &o);
}

void PatchServerTask::Report(int level, const std::wstring& text) {
  Report(level, TarvUtil::ToNarrow(text));
}

// ---- Catalogue ----

bool PatchServerTask::ParseCatalogue(TarvDataBuffer* buffer, const std::wstring& server) {
  return m_catalogue.ParseCatalogue(buffer, server);
}

bool PatchServerTask::ParseCatalogueRecord(TarvDataBuffer* record, const std::wstring& server) {
  return m_catalogue.ParseCatalogueRecord(record, server);
}

bool PatchServerTask::ParseKeyValues(TarvDataBuffer* buffer, PatchCatalogue::KeyValueTable& table) {
  return PatchCatalogue::ParseKeyValues(buffer, table);
}

const PatchInfo* PatchServerTask::GetPatchInfo(const std::string& version) const {
  return m_catalogue.GetPatchInfo(version);
}

// ---- Server selection ----

bool PatchServerTask::FindPatches(const std::vector<std::wstring>& servers) {
  for (const std::wstring& server : servers) {
    if (server.empty()) continue;
    const std::wstring address = TarvUtil::JoinPath(server, L"patches.txt");
    const std::wstring shown = TarvUtil::ToWide(Shown(address));
    std::string text;
    FetchOptions options;
    options.server = true;
    const Taken taken = TakeCatalogue(address, shown, &text, &options);
    if (taken == Taken::kCancelled) return false;
    if (taken == Taken::kUnreadable) {
      Report(2, "Unable to download patch file: " + TarvUtil::ToNarrow(shown));
      Report(2, TarvPatchServer::DescribeFailure(options.failure));
    }
    if (taken == Taken::kTrusted && ParseCatalogueText(text, server)) {
      m_server = server;
      return true;
    }
  }
  Report(0, "Unable to connect to any patch servers.");
  m_server.clear();
  return false;
}

bool PatchServerTask::FindLocalPatches(const std::wstring& folder) {
  const std::wstring address = TarvUtil::JoinPath(folder, L"patches.txt");
  std::string text;
  FetchOptions options;
  const Taken taken = TakeCatalogue(address, ShownAddress(address), &text, &options);
  if (taken == Taken::kUnreadable) {
    Report(0, "Unable to download patch file: " + TarvUtil::ToNarrow(address));
  }
  if (taken != Taken::kTrusted) return false;
  if (ParseCatalogueText(text, folder)) return true;
  std::wstring line = TarvMessages::LoadMessage(TarvMessages::Id::kNoLocalPatches);
  const size_t at = line.find(L"%s");
  if (at != std::wstring::npos) line.replace(at, 2, folder);
  Report(2, line);
  return false;
}

// The catalogue fetched and judged; a refusal is reported here, a failed
// fetch is left to the caller, whose line differs by source.
PatchServerTask::Taken PatchServerTask::TakeCatalogue(const std::wstring& address,
                                                      const std::wstring& shown, std::string* text,
                                                      FetchOptions* options) {
  if (!FetchText(address, FetchKind::kCatalogue, text, options)) {
    const bool cancelled = options->failure.cause == TarvInet::TransferCause::kCancelled;
    return cancelled || TransferCancelled() ? Taken::kCancelled : Taken::kUnreadable;
  }
  // The signature lies where the catalogue does.
  const TextFetcher fetch = [this, server = options->server](const std::wstring& a, FetchKind k,
                                                             std::string* t, FetchOptions* o) {
    o->server = server;
    return FetchText(a, k, t, o);
  };
  const CatalogueTrust trust = JudgeCatalogue(*text, address, shown, m_policy, fetch);
  if (trust.cancelled) return Taken::kCancelled;
  if (!trust.trusted) {
    Report(2, trust.refusal);
    return Taken::kRefused;
  }
  m_candidateSerial = trust.serial;
  return Taken::kTrusted;
}

bool PatchServerTask::ParseCatalogueText(const std::string& text, const std::wstring& base) {
  TarvDataBufferMemoryDynamic buffer;
  buffer.Write(text.data(), static_cast<uint32_t>(text.size()));
  buffer.SetPosition(0);
  if (!ParseCatalogue(&buffer, base)) return false;
  m_acceptedSerial = m_candidateSerial;
  return true;
}

// ---- Download ----

bool PatchServerTask::QueryPatchSize(const std::wstring& dataUrl) {
  m_bytesReceived = 0;
  uint64_t size = 0;
  TarvInet::TransferControl control;
  control.cancelled = [this] { return TransferCancelled(); };
  bool known = TarvInet::QuerySize(TarvUtil::ToNarrow(dataUrl), size, control) == INET_OK;
  m_bytesExpected = known ? size : 0;
  return known;
}

void PatchServerTask::SetExpectedPatchSize(uint64_t size) {
  m_bytesReceived = 0;
  m_bytesExpected = size;
}

void PatchServerTask::SetTransferProgress(uint64_t received, uint64_t expected) {
  OS::MutexLock lock(&m_statusLock);
  m_state = TarvPatch::DownloadState::kDownloading;
  m_bytesReceived = received;
  m_bytesExpected = expected;
}

bool PatchServerTask::DownloadPatch(const std::wstring& dataUrl, const std::wstring& tempFilePath,
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
  // A size the caller trusts (the signed one) is final; else the server's
  // announced size bounds the body. Past it the transfer stops at once and
  // is not tried again: the next answer would be just as long.
  const bool trusted_size = maxBytes != UINT64_MAX;
  FetchOptions options;
  Hold(&options);
  options.max_bytes = trusted_size ? maxBytes : m_bytesExpected.load();
  const InetResult r = Transfer(dataUrl, FetchKind::kArchive, &progress, options);
  const TarvInet::TransferFailure& failure = options.failure;
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

void PatchServerTask::SetDownloadState(TarvPatch::DownloadState state) {
  OS::MutexLock lock(&m_statusLock);
  m_state = state;
}

TarvPatch::DownloadStatus PatchServerTask::GetDownloadStatus() const {
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

bool PatchServerTask::IsDownloadedSizeAcceptable(const std::wstring& tempFilePath) const {
  uint64_t size = 0;
  if (TarvUtil::QueryFileSize(tempFilePath, size) != DB_OK) return false;
  return size >= m_bytesExpected;
}
