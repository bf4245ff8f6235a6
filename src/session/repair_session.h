// Repair of an installation: the installed version's manifest is taken from
// the first server that offers one, every listed file is checked (size,
// then SHA-256), and only the damaged and missing files are fetched,
// checked and put in place as one step. Files the manifest does not list
// (the player's saves, mods) are left alone and named. Runs on the worker
// thread of the session; the world is reached through RepairPorts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "apply/repair_apply.h"
#include "apply/repair_manifest.h"
#include "patchserver/catalogue_signature.h"
#include "patchserver/fetch.h"

namespace TarvPatch {

// What repair asks of the world outside the installation.
class RepairPorts {
 public:
  virtual ~RepairPorts() = default;
  // One log line: level 0 plain, 1 minor, 2 error.
  virtual void Report(int level, const std::wstring& text) = 0;
  // True once the window asked the worker to end.
  virtual bool StopRequested() = 0;
  // The gauge: a phase of `units` steps, then one step each; GaugeStep
  // answers false when the session must stop.
  virtual void GaugeTotal(uint32_t units) = 0;
  virtual bool GaugeStep() = 0;
  // The file behind an address (see patchserver/fetch.h). The port sets
  // its own cancel check and speed cap in `options` (which may be null) and
  // passes the rest on.
  virtual bool FetchText(const std::wstring& address, FetchKind kind, std::string* text,
                         FetchOptions* options) = 0;
  virtual bool FetchFile(const std::wstring& address, FetchKind kind,
                         const std::wstring& download_path, std::wstring* where,
                         FetchOptions* options) = 0;
  // Repair's transfers as the download gauge and the terminal line show an
  // archive's: `received` of `expected` bytes.
  virtual void TransferProgress(uint64_t received, uint64_t expected) = 0;
  // The temporary folder, made when missing.
  virtual bool EnsureTempFolder(std::wstring* folder) = 0;
};

class RepairSession {
 public:
  enum class Outcome { kRepaired, kFailed, kCancelled };

  // Files checked between two running-count lines.
  static constexpr size_t kCountLineEvery = 500;

  // Where Run's sources are: patch servers, whose addresses are fetched over
  // the network even without a scheme, or folders of this machine (--patch).
  enum class Sources { kServers, kFolders };

  // `policy` is what a server's catalogue must prove (its signature) before
  // its manifest is used. The ports' fetches bring the speed cap.
  RepairSession(RepairPorts& ports, RepairApplier& applier, std::wstring install_dir,
                std::wstring version, CataloguePolicy policy, Sources sources)
      : m_ports(ports),
        m_applier(applier),
        m_policy(std::move(policy)),
        m_install(std::move(install_dir)),
        m_version(std::move(version)),
        m_fromServers(sources == Sources::kServers) {}

  // Tries the servers in order until one offers a usable manifest for the
  // version, then repairs from it. kFailed when none did or the repair
  // failed (the installation is then as it was).
  Outcome Run(const std::vector<std::wstring>& servers);

  size_t Repaired() const { return m_repaired; }
  size_t Correct() const { return m_correct; }
  // The serial of the signed catalogue the manifest came from; 0 when the
  // catalogue was not signed or no manifest was used.
  uint64_t CatalogueSerial() const { return m_serial; }

 private:
  struct Damage {
    ManifestEntry entry;
    std::wstring target;
  };

  bool LoadManifest(const std::wstring& server, RepairManifest* manifest);
  Outcome Check(const RepairManifest& manifest, std::vector<Damage>* damaged);
  void ListExtraFiles(const RepairManifest& manifest);
  Outcome Mend(const std::wstring& server, const std::vector<Damage>& damaged);
  Outcome Stage(const std::wstring& server, const std::vector<Damage>& damaged,
                const std::wstring& staging, std::vector<RepairFile>* files);
  bool FetchObject(const std::wstring& address, const std::wstring& download, const Damage& d,
                   std::wstring* where);
  void Say(int level, int id, const std::vector<std::wstring>& values = {});
  // The failed fetch of `address` (its line, then the cause), or nothing
  // after a cancel.
  void SayFetchFailed(int id, const std::wstring& address, const FetchOptions& options);

  RepairPorts& m_ports;
  RepairApplier& m_applier;
  CataloguePolicy m_policy;
  std::wstring m_install, m_version;
  bool m_fromServers = false;
  // The objects' bytes in all and those done, for TransferProgress.
  uint64_t m_transferTotal = 0, m_transferDone = 0;
  size_t m_repaired = 0, m_correct = 0;
  uint64_t m_serial = 0;
};

// The message `text` with each "%s" replaced by the next of `values`.
std::wstring FillMessage(std::wstring text, const std::vector<std::wstring>& values);

}  // namespace TarvPatch
