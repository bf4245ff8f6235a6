// ObelkPatchTask: the patch task that the session's worker thread carries:
// the servers' catalogue and the accepted server, the archive download into
// a temporary file, and the download status that the window polls. The
// worker thread derives from it (Report goes to the window's log) and runs
// every operation except GetDownloadStatus and GetDownloadState, which the
// GUI thread calls while a download runs. No operation throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "data/data_buffer.h"
#include "inet/transfer_control.h"
#include "os/mutex.h"
#include "patchserver/catalogue_signature.h"
#include "patchserver/patch_catalogue.h"
#include "patchserver/patch_info.h"

// A snapshot of the download for the window.
struct DownloadStatus {
  uint64_t bytesReceived = 0;
  uint64_t bytesExpected = 0;  // 0 when the server did not tell
  uint32_t percent = 0;        // may pass 100 when the server under-announced
};

class ObelkPatchTask {
 public:
  enum DownloadState {
    kNoDownload = 0,
    kDownloading = 1,  // set by DownloadPatch
    kUnpacking = 2,    // set by the session when unpacking begins
    kApplying = 3,     // set by the session when applying begins
  };
  // Longest catalogue file taken from a server.
  static constexpr uint32_t kMaxCatalogueBytes = 4u << 20;

  ObelkPatchTask();
  virtual ~ObelkPatchTask();
  ObelkPatchTask(const ObelkPatchTask&) = delete;
  ObelkPatchTask& operator=(const ObelkPatchTask&) = delete;

  // One line for the user: level 0 plain, 1 minor note, 2 error.
  virtual void Report(int level, const std::string& text) = 0;
  // A line from the string tables, in the player's language. Goes through
  // the narrow Report unless a front end keeps the wide text.
  virtual void Report(int level, const std::wstring& text);
  // True once the user asked the session to stop: a running transfer ends
  // within about a second. Called on the worker thread, often.
  virtual bool TransferCancelled() { return false; }

  // The speed the archive download may use, in bytes per second; 0 (the
  // default) for no cap. Catalogues are always fetched at full speed.
  void SetDownloadLimit(uint64_t bytesPerSecond) { m_downloadLimit = bytesPerSecond; }

  // ---- Catalogue (see PatchCatalogue) ----
  bool ParseCatalogue(TarvDataBuffer* buffer, const std::wstring& server);
  bool ParseCatalogueRecord(TarvDataBuffer* record, const std::wstring& server);
  static bool ParseKeyValues(TarvDataBuffer* buffer, PatchCatalogue::KeyValueTable& table);
  const PatchInfo* GetPatchInfo(const std::string& version) const;
  const PatchCatalogue& Catalogue() const { return m_catalogue; }

  // ---- Server selection ----
  // Tries the servers in order (empty entries skipped): fetches each one's
  // "patches.txt" (bypassing caches) and keeps the first whose file holds a
  // valid record. A failed fetch, or a file over 4 MiB (not tried again), is
  // reported at level 2 as "Unable to download patch file: <address>" with a
  // second level 2 line naming the cause; a file without a valid record
  // passes silently to the next server. When none is accepted, reports
  // "Unable to connect to any patch servers." and returns false; after a
  // cancel it returns false at once, without a line.
  // When the catalogue policy asks for signatures, a server's catalogue is
  // used only with a valid "patches.txt.minisig" beside it; otherwise one
  // level-2 line says why (missing, bad, expired, replayed) and the next
  // server is tried.
  bool FindPatches(const std::vector<std::wstring>& servers);
  // What FindPatches asks of a catalogue; by default nothing.
  void SetCataloguePolicy(const CataloguePolicy& policy) { m_policy = policy; }
  // The serial of the accepted signed catalogue; 0 when none was checked.
  uint64_t GetAcceptedSerial() const { return m_acceptedSerial; }
  // The accepted server; empty before FindPatches and after it failed.
  const std::wstring& GetAcceptedServer() const { return m_server; }

  // ---- Download ----
  // Asks the size of the archive at `dataUrl`; sets bytes received to 0 and
  // bytes expected to that size, or to 0 (result false) when unknown.
  bool QueryPatchSize(const std::wstring& dataUrl);
  // Downloads the archive into the file `tempFilePath` (emptied first, so a
  // stale file of the same name leaves nothing behind). A body longer than
  // the size announced is cut there and fails. Reports at level 2 "Unable
  // to open the patch file for writing: <path>" or "Unable to download
  // patch file: <address>" followed by the cause, and returns false on
  // failure; the file is then removed. A cancel returns false without a line.
  // With `maxBytes` (a size the caller trusts, such as the signed one) the
  // download stops and fails as soon as the data pass it, reported as such
  // in one line and not retried.
  bool DownloadPatch(const std::wstring& dataUrl, const std::wstring& tempFilePath,
                     uint64_t maxBytes = UINT64_MAX);
  // Sets bytes expected from the catalogue instead of asking the server.
  void SetExpectedPatchSize(uint64_t size);
  // GUI thread: the current progress; stores the percentage.
  void GetDownloadStatus(DownloadStatus& out);
  int GetDownloadState() const { return m_state.load(std::memory_order_relaxed); }
  void SetDownloadState(int state) { m_state.store(state, std::memory_order_relaxed); }
  uint64_t GetBytesExpected() const { return m_bytesExpected.load(std::memory_order_relaxed); }

  // The session's check after DownloadPatch: true when the file's size can
  // be read and is at least the size announced (any size when none was).
  bool IsDownloadedSizeAcceptable(const std::wstring& tempFilePath) const;

 private:
  class ProgressBuffer;
  // The cancel check of every transfer of this task.
  TarvInet::TransferControl Control();

  bool CatalogueTrusted(const std::wstring& address, TarvDataBufferMemoryDynamic& catalogue);

  PatchCatalogue m_catalogue;
  std::wstring m_server;
  CataloguePolicy m_policy;
  uint64_t m_acceptedSerial = 0;

  OS::Mutex m_statusLock;                     // guards m_currentBuffer
  ProgressBuffer* m_currentBuffer = nullptr;  // set only during a transfer
  std::atomic<int32_t> m_state{kNoDownload};
  std::atomic<uint64_t> m_bytesReceived{0};
  std::atomic<uint64_t> m_bytesExpected{0};
  std::atomic<uint32_t> m_percent{0};
  uint64_t m_downloadLimit = 0;
};
