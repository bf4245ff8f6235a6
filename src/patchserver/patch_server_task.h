// PatchServerTask: what the session's worker thread does with patch
// servers and patch folders: finds and accepts the catalogue, downloads an
// archive into a temporary file, and keeps the download status that the
// front end polls. Every fetch of the task goes through FetchText or the
// archive download, under the task's cancel check and speed cap. The worker
// derives from it (Report goes to the session's output) and runs every
// operation except GetDownloadStatus, which the front end's thread calls
// while a download runs. No operation throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "data/data_buffer.h"
#include "inet/transfer_control.h"
#include "os/mutex.h"
#include "patchserver/catalogue_signature.h"
#include "patchserver/download_status.h"
#include "patchserver/fetch.h"
#include "patchserver/patch_catalogue.h"
#include "patchserver/patch_info.h"

class PatchServerTask : public TarvPatch::DownloadProgress {
 public:
  using FetchKind = TarvPatch::FetchKind;
  using FetchOptions = TarvPatch::FetchOptions;

  PatchServerTask();
  ~PatchServerTask() override;
  PatchServerTask(const PatchServerTask&) = delete;
  PatchServerTask& operator=(const PatchServerTask&) = delete;

  // One line for the user: level 0 plain, 1 minor note, 2 error.
  virtual void Report(int level, const std::string& text) = 0;
  // A line from the string tables, in the player's language. Goes through
  // the narrow Report unless a front end keeps the wide text.
  virtual void Report(int level, const std::wstring& text);
  // True once the user asked the session to stop: a running transfer ends
  // within about a second. Called on the worker thread, often.
  virtual bool TransferCancelled() { return false; }

  // The speed every fetch of the task may use, in bytes per second; 0 (the
  // default) for no cap.
  void SetDownloadLimit(uint64_t bytesPerSecond) { m_downloadLimit = bytesPerSecond; }
  uint64_t DownloadLimit() const { return m_downloadLimit; }

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
  // level-2 line says why (see JudgeCatalogue) and the next server is tried.
  bool FindPatches(const std::vector<std::wstring>& servers);
  // The catalogue of a patch folder (`folder`/patches.txt), its relative
  // addresses joined to the folder, trusted as a server's is. False when it
  // cannot be read (level 0 "Unable to download patch file: <path>"), is
  // refused (level 2, as FindPatches) or holds no patch record (level 2).
  bool FindLocalPatches(const std::wstring& folder);
  // A text of `kind` behind `address`, under the task's cancel check and
  // speed cap (they replace those of `options`, which may be null).
  bool FetchText(const std::wstring& address, FetchKind kind, std::string* text,
                 FetchOptions* options);
  // A file of `kind` behind `address`, as TarvPatch::FetchFile, likewise.
  bool FetchFile(const std::wstring& address, FetchKind kind, const std::wstring& download_path,
                 std::wstring* where, FetchOptions* options);
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
  // Transfers other than the archive's (repair's objects), shown as a
  // download: the state becomes kDownloading with these counts.
  void SetTransferProgress(uint64_t received, uint64_t expected);
  // Any thread: the state and the bytes of the archive, read under the
  // status lock.
  TarvPatch::DownloadStatus GetDownloadStatus() const override;
  // The session's phase after the download (DownloadPatch sets kDownloading).
  void SetDownloadState(TarvPatch::DownloadState state);
  uint64_t GetBytesExpected() const { return m_bytesExpected.load(std::memory_order_relaxed); }

  // The session's check after DownloadPatch: true when the file's size can
  // be read and is at least the size announced (any size when none was).
  bool IsDownloadedSizeAcceptable(const std::wstring& tempFilePath) const;

 private:
  class ProgressBuffer;
  // The cancel check and speed cap of every fetch of this task.
  void Hold(FetchOptions* options);
  // The catalogue text from `address` when it is trusted, with its serial.
  enum class Taken { kTrusted, kUnreadable, kRefused, kCancelled };
  Taken TakeCatalogue(const std::wstring& address, const std::wstring& shown, std::string* text,
                      FetchOptions* options);

  PatchCatalogue m_catalogue;
  std::wstring m_server;
  // Parses a trusted catalogue's text into the catalogue; true when it
  // held a patch record, and its serial is then the accepted one.
  bool ParseCatalogueText(const std::string& text, const std::wstring& base);

  CataloguePolicy m_policy;
  uint64_t m_candidateSerial = 0;  // of the catalogue judged last
  uint64_t m_acceptedSerial = 0;

  mutable OS::Mutex m_statusLock;             // guards m_currentBuffer and m_state
  ProgressBuffer* m_currentBuffer = nullptr;  // set only during a transfer
  TarvPatch::DownloadState m_state = TarvPatch::DownloadState::kNotStarted;
  std::atomic<uint64_t> m_bytesReceived{0};
  std::atomic<uint64_t> m_bytesExpected{0};
  uint64_t m_downloadLimit = 0;
};
