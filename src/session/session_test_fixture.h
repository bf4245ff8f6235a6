// The fixture of the session's tests: ports that record every call as one
// line and answer as scripted, a session over a real installation folder,
// and the call lines a session's opening and each of its steps give.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "crypto/publisher_key.h"
#include "crypto/secret_key.h"
#include "crypto/sha256.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "e2e/uninstall_log_reader.h"
#include "os/messages.h"
#include "patchserver/fetch.h"
#include "session/patch_session.h"
#include "support/test_support.h"

namespace TarvPatch::session_test {

namespace unins = tarvtest::unins;

inline std::string Narrow(const std::wstring& s) { return TarvText::ToUtf8(s); }

// Records every call as one line and answers as scripted. Files are real:
// the download writes the archive, the unpacker fills the work folder.
class RecordingPorts : public SessionPorts {
 public:
  std::vector<std::string> calls;
  AccessCheck access;
  int lock_free_at = 0;  // attempt that succeeds; -1 never
  bool find = true;
  bool local_catalogue = true;
  std::map<std::wstring, PatchStep> catalogue;
  bool size_known = true;
  uint64_t announced = 1000;
  int64_t delivered_delta = 0;  // bytes delivered minus announced
  bool download = true;
  UnpackOutcome unpack = UnpackOutcome::kUnpacked;
  bool apply = true;
  bool commit = true;
  UndoResult undo = UndoResult::kUndone;
  std::vector<std::wstring> added = {L"Data\\new.pak"};
  bool stop_after_unpack = false;
  uint64_t stored_serial = 0, accepted_serial = 0;
  std::optional<std::string> content;  // what the download delivers
  std::wstring temp;
  std::vector<std::wstring> archives, work_folders, unpacked;
  std::vector<std::string> unpacked_content;  // each archive as the unpacker read it
  std::function<void()> before_unpack;        // runs between the check and the unpacker

  void Report(int level, const std::wstring& text) override {
    calls.push_back("L" + std::to_string(level) + " " + Narrow(text));
  }
  void ShowMessageBox(const std::wstring& text, const std::wstring& caption) override {
    calls.push_back("box " + Narrow(caption) + ": " + Narrow(text).substr(0, 20));
  }
  void EnableApplyButton() override { calls.push_back("enable apply"); }
  void SetInstallFolderText(const std::wstring&) override { calls.push_back("folder field"); }
  bool StopRequested() override { return stop_after_unpack; }
  void SelectLanguage() override { calls.push_back("language"); }
  AccessCheck CheckInstallAccess(const std::wstring&) override { return access; }
  bool OpenApplicationLock(const std::wstring& folder) override {
    calls.push_back("lock " + Narrow(folder).substr(Narrow(folder).rfind('/')));
    return lock_free_at >= 0 && lock_attempts_++ >= lock_free_at;
  }
  void CloseApplicationLock() override { calls.push_back("unlock"); }
  void Sleep(int ms) override { calls.push_back("sleep " + std::to_string(ms)); }
  bool EnsureTempFolder(std::wstring* folder) override {
    if (temp.empty()) return false;
    *folder = temp;
    return TarvUtil::MakeDirectory(temp);
  }
  bool SetPatchingMarker() override { return calls.push_back("marker set"), true; }
  bool ClearPatchingMarker() override { return calls.push_back("marker cleared"), true; }
  void CheckPhysXRuntime() override { calls.push_back("physx"); }
  uint64_t StoredCatalogueSerial() override { return stored_serial; }
  void StoreCatalogueSerial(uint64_t serial) override {
    calls.push_back("store serial " + std::to_string(serial));
    stored_serial = serial;
  }
  bool FindPatches(const std::vector<std::wstring>&, const CataloguePolicy& policy) override {
    if (policy.SignatureRequired()) {
      calls.push_back("find signed, " + std::to_string(policy.keys.size()) +
                      " key(s), serial >= " + std::to_string(policy.lowest_serial));
    }
    return find;
  }
  uint64_t AcceptedCatalogueSerial() override { return accepted_serial; }
  bool FindLocalPatches(const std::wstring& folder, const CataloguePolicy&) override {
    calls.push_back("local catalogue " + Narrow(folder));
    return local_catalogue;
  }
  void GaugeTotal(uint32_t units) override { calls.push_back("gauge " + std::to_string(units)); }
  bool GaugeStep() override { return true; }
  bool FetchText(const std::wstring& address, FetchKind kind, std::string* text,
                 FetchOptions* options) override {
    return TarvPatch::FetchText(address, kind, text, options);
  }
  bool FetchFile(const std::wstring& address, FetchKind kind, const std::wstring& download,
                 std::wstring* where, FetchOptions* options) override {
    return TarvPatch::FetchFile(address, kind, download, where, options);
  }
  void TransferProgress(uint64_t, uint64_t) override {}
  std::optional<PatchStep> GetPatchInfo(const std::wstring& version) override {
    auto it = catalogue.find(version);
    if (it == catalogue.end()) return std::nullopt;
    return it->second;
  }
  bool QueryPatchSize(const std::wstring&) override { return size_known; }
  uint64_t ExpectedPatchSize() override { return size_known ? announced : 0; }
  void SetExpectedPatchSize(uint64_t size) override {
    calls.push_back("expect " + std::to_string(size));
  }
  bool DownloadPatch(const std::wstring& url, const std::wstring& archive,
                     uint64_t max_bytes) override {
    calls.push_back("download " + Narrow(url) +
                    (max_bytes == UINT64_MAX ? "" : " at most " + std::to_string(max_bytes)));
    archives.push_back(archive);
    tarvtest::WriteFile(TarvUtil::FsPath(archive),
                        content ? *content : std::string(announced + delivered_delta, 'z'));
    return download;
  }
  void SetDownloadState(DownloadState state) override {
    calls.push_back("state " + std::to_string(static_cast<uint32_t>(state)));
  }
  UnpackOutcome Unpack(const std::wstring& archive, const std::wstring& work) override {
    if (before_unpack) before_unpack();
    unpacked.push_back(archive);
    unpacked_content.push_back(tarvtest::ReadFile(TarvUtil::FsPath(archive)));
    work_folders.push_back(work);
    tarvtest::WriteFile(TarvUtil::FsPath(work) + "/addedFiles.txt", "x\n");
    return unpack;
  }
  bool ApplyPatchProject(const std::wstring&, const std::wstring&,
                         const std::wstring& deferred) override {
    calls.push_back("apply, deferring " + Narrow(deferred));
    return apply;
  }
  bool CommitPatchStep() override {
    calls.push_back("commit");
    return commit;
  }
  UndoResult UndoPatchStep() override {
    calls.push_back("undo");
    return undo;
  }
  std::vector<std::wstring> ReadAddedFiles(const std::wstring&) override { return added; }

 private:
  int lock_attempts_ = 0;
};

struct Session {
  tarvtest::ScopedTempDir dir;
  RecordingPorts ports;
  PatchSettings settings;
  std::string install = dir.Sub("Tarv");
  std::string log_before;

  Session() {
    TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
    ports.temp = TarvUtil::FromFsPath(dir.Sub("temp"));
    settings.SetTargetDirectory(TarvUtil::FromFsPath(install));
    settings.SetCurrentVersion(L"1");
    settings.AddServer(L"http://127.0.0.1:1/");
    settings.SetDownload(true);
    ports.catalogue[L"1"] = {L"2", L"http://127.0.0.1:1/1_to_2.zip"};
    ports.catalogue[L"2"] = {L"3", L"http://127.0.0.1:1/2_to_3.zip"};
    std::vector<unins::Record> records = {unins::Filler(0x20, 300), unins::Filler(0x81, 28, 'F')};
    log_before = unins::Build(records);
    tarvtest::WriteFile(install + "/unins000.dat", log_before);
  }
  SessionEnd Run() { return PatchSession(ports, settings).Run(); }
};

// The opening every session shares once the checks have passed.
inline const std::vector<std::string> kOpening = {"language", "lock /Binaries",
                                                  "L0 Searching for patches..."};

inline std::vector<std::string> Step(const std::string& from, const std::string& to) {
  return {"download http://127.0.0.1:1/" + from + "_to_" + to + ".zip",
          "L0 Downloading patch file...",
          "L0 Unpacking patch file...",
          "state 2",
          "L0 Patching...\n",
          "marker set",
          "state 3",
          "folder field",
          "apply, deferring TarvLauncher.exe",
          "commit",
          "marker cleared"};
}

inline std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// "download" is recorded when the download starts, before the session's
// own "Downloading" line; put it where the session reports it.
inline std::vector<std::string> InReportOrder(std::vector<std::string> calls) {
  for (size_t i = 0; i + 1 < calls.size(); ++i) {
    if (calls[i + 1].rfind("download ", 0) == 0 && calls[i] == "L0 Downloading patch file...") {
      std::swap(calls[i], calls[i + 1]);
    }
  }
  return calls;
}

}  // namespace TarvPatch::session_test
