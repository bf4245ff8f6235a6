#include "session/repair_session.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include "apply/patch_path.h"
#include "apply/step_check.h"
#include "crypto/sha256.h"
#include "data/file_io.h"
#include "data/file_status.h"
#include "data/file_util.h"
#include "data/mapped_file.h"
#include "data/path_beneath.h"
#include "diag/system_log.h"
#include "diag/text_encoding.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "patchserver/catalogue_trust.h"
#include "patchserver/failure_text.h"
#include "patchserver/fetch.h"
#include "patchserver/patch_catalogue.h"
#include "session/repair_object.h"

namespace TarvPatch {
namespace {

namespace fs = std::filesystem;
namespace Id = TarvMessages::Id;

// The manifest's reader and its fetch agree on the longest manifest.
static_assert(RepairManifest::kMaxBytes == kMaxManifestBytes);

// A catalogue's text parsed into `catalogue`, relative addresses joined to
// `base`; the repair asks it for manifests only, so a catalogue without
// patch records serves.
void ParseCatalogueText(const std::string& text, const std::wstring& base,
                        PatchCatalogue* catalogue) {
  TarvDataBufferMemoryDynamic buffer;
  buffer.Write(text.data(), static_cast<uint32_t>(text.size()));
  buffer.SetPosition(0);
  catalogue->ParseCatalogue(&buffer, base);
}

std::wstring Wide(const std::string& utf8) { return TarvText::FromUtf8(utf8); }
std::wstring Count(size_t n) { return std::to_wstring(n); }

// The installed file an entry names.
std::wstring TargetOf(const std::wstring& install, const ManifestEntry& entry) {
  return JoinEntryPath(install, SplitEntryPath(Wide(entry.path)));
}

// The key under which a manifest path and a path found on disk meet.
std::string KeyOf(const std::string& path) {
  return TarvText::ToUtf8(JoinEntryPath(L"", SplitEntryPath(Wide(path))));
}

enum class State { kCorrect, kDamaged, kMissing };

State CheckFile(const std::wstring& target, const ManifestEntry& entry) {
  TarvFile::FileStatus st;
  if (!TarvFile::StatusOfEntry(TarvUtil::FsPath(target), &st)) return State::kMissing;
  if (st.type != TarvFile::FileType::kRegular || st.size != entry.size) {
    return State::kDamaged;
  }
  std::string digest;
  if (!TarvCrypto::ComputeFileSha256(target, &digest)) return State::kDamaged;
  return digest == entry.sha256 ? State::kCorrect : State::kDamaged;
}

}  // namespace

std::wstring FillMessage(std::wstring text, const std::vector<std::wstring>& values) {
  size_t from = 0;
  for (const std::wstring& v : values) {
    size_t at = text.find(L"%s", from);
    if (at == std::wstring::npos) break;
    text.replace(at, 2, v);
    from = at + v.size();
  }
  return text;
}

void RepairSession::Say(int level, int id, const std::vector<std::wstring>& values) {
  m_ports.Report(level, FillMessage(TarvMessages::LoadMessage(id), values));
}

RepairSession::Outcome RepairSession::Run(const std::vector<std::wstring>& servers) {
  for (const std::wstring& server : servers) {
    if (server.empty()) continue;
    RepairManifest manifest;
    if (!LoadManifest(server, &manifest)) {
      if (m_ports.StopRequested()) return Outcome::kCancelled;
      continue;
    }
    std::vector<Damage> damaged;
    Outcome outcome = Check(manifest, &damaged);
    if (outcome != Outcome::kRepaired) return outcome;
    ListExtraFiles(manifest);
    m_correct = manifest.Entries().size() - damaged.size();
    if (!damaged.empty()) outcome = Mend(server, damaged);
    if (outcome == Outcome::kRepaired) {
      Say(0, Id::kRepairSummary, {Count(m_repaired), Count(m_correct)});
    }
    return outcome;
  }
  return Outcome::kFailed;
}

// The manifest of the version from this server's catalogue, checked
// against the digest the catalogue gives for it. False (reported) when the
// server offers none or it is unusable: the next server is tried then.
bool RepairSession::LoadManifest(const std::wstring& server, RepairManifest* manifest) {
  const std::wstring address = TarvUtil::JoinPath(server, L"patches.txt");
  std::string text;
  FetchOptions catalogue_fetch;
  catalogue_fetch.server = m_fromServers;
  if (!m_ports.FetchText(address, FetchKind::kCatalogue, &text, &catalogue_fetch)) {
    // After a cancel the session ends quietly, as Run's caller sees.
    if (!m_ports.StopRequested()) {
      m_ports.Report(0, L"Unable to download patch file: " + ShownAddress(address));
      m_ports.Report(0, TarvPatchServer::DescribeFailure(catalogue_fetch.failure));
    }
    return false;
  }
  const TextFetcher fetch = [this](const std::wstring& a, FetchKind k, std::string* t,
                                   FetchOptions* o) {
    o->server = m_fromServers;
    return m_ports.FetchText(a, k, t, o);
  };
  const CatalogueTrust trust =
      JudgeCatalogue(text, address, ShownAddress(address), m_policy, fetch);
  if (!trust.trusted) {
    if (!trust.cancelled) m_ports.Report(2, trust.refusal);
    return false;
  }
  PatchCatalogue catalogue;
  ParseCatalogueText(text, server, &catalogue);
  const ManifestInfo* info = catalogue.GetManifestInfo(TarvUtil::ToNarrow(m_version));
  if (info == nullptr) {
    Say(2, Id::kNoRepairForVersion, {m_version});
    return false;
  }
  std::string error;
  FetchOptions manifest_fetch;
  manifest_fetch.server = m_fromServers;
  if (!m_ports.FetchText(info->url, FetchKind::kManifest, &text, &manifest_fetch)) {
    SayFetchFailed(Id::kManifestUnusable, info->url, manifest_fetch);
    return false;
  }
  if (TarvCrypto::Sha256Hex(text.data(), text.size()) != info->sha256) {
    error = "its digest differs from the catalogue's";
  } else if (!manifest->Parse(text, &error)) {
    error = "broken, " + error;
  }
  if (error.empty()) {
    m_serial = trust.serial;
    return true;
  }
  SystemLogA("repair: manifest %s: %s\n", TarvUtil::ToNarrow(ShownAddress(info->url)).c_str(),
             error.c_str());
  Say(2, Id::kManifestUnusable, {ShownAddress(info->url)});
  return false;
}

void RepairSession::SayFetchFailed(int id, const std::wstring& address,
                                   const FetchOptions& options) {
  if (m_ports.StopRequested() || options.failure.cause == TarvInet::TransferCause::kCancelled) {
    return;
  }
  Say(2, id, {ShownAddress(address)});
  if (options.max_bytes != 0 && options.failure.cause == TarvInet::TransferCause::kTooLong) {
    Say(2, Id::kRepairObjectTooLong);
  } else {
    m_ports.Report(2, TarvPatchServer::DescribeFailure(options.failure));
  }
}

RepairSession::Outcome RepairSession::Check(const RepairManifest& manifest,
                                            std::vector<Damage>* damaged) {
  const auto& entries = manifest.Entries();
  Say(0, Id::kCheckingFiles);
  m_ports.GaugeTotal(static_cast<uint32_t>(entries.size()));
  size_t checked = 0, broken = 0, missing = 0;
  auto counts = [&] {
    return std::vector{Count(checked), Count(entries.size()), Count(broken), Count(missing)};
  };
  for (const ManifestEntry& entry : entries) {
    // A link on the way would have the check read, and the repair write,
    // somewhere else than the installation: refused before anything is done.
    if (TarvFile::WalkBeneath(TarvUtil::FsPath(m_install), RelativeFsPath(Wide(entry.path))) ==
        TarvFile::Beneath::kLink) {
      m_ports.Report(2, TarvMessages::LoadMessage(Id::kStepLinkRefused) + Wide(entry.path));
      return Outcome::kFailed;
    }
    const std::wstring target = TargetOf(m_install, entry);
    const State state = CheckFile(target, entry);
    if (state != State::kCorrect) {
      damaged->push_back(Damage{entry, target});
      ++(state == State::kDamaged ? broken : missing);
    }
    ++checked;
    if (!m_ports.GaugeStep()) return Outcome::kCancelled;
    if (checked % kCountLineEvery == 0 && checked < entries.size()) {
      Say(1, Id::kCheckedFiles, counts());
    }
  }
  Say(0, Id::kCheckedFiles, counts());
  return Outcome::kRepaired;
}

void RepairSession::ListExtraFiles(const RepairManifest& manifest) {
  std::set<std::string> listed;
  for (const ManifestEntry& e : manifest.Entries()) listed.insert(KeyOf(e.path));
  const fs::path root = TarvUtil::FsPath(m_install);
  std::vector<std::string> extra;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    // Lexically: a link found here is named as the installation has it,
    // never by where it leads.
    std::string rel = it->path().lexically_relative(root).generic_string();
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      if (IsPatcherWorkName(it->path().filename().string())) it.disable_recursion_pending();
      continue;
    }
    if (!listed.count(KeyOf(rel))) extra.push_back(rel);
  }
  std::sort(extra.begin(), extra.end());
  for (std::string& rel : extra) {
    for (char& c : rel) c = c == '/' ? '\\' : c;
    Say(1, Id::kExtraFile, {m_version, Wide(rel)});
  }
}

RepairSession::Outcome RepairSession::Mend(const std::wstring& server,
                                           const std::vector<Damage>& damaged) {
  std::wstring staging;
  if (!MakeRepairStaging(m_install, &staging)) {
    Say(2, Id::kRepairStagingFailed);
    return Outcome::kFailed;
  }
  std::vector<RepairFile> files;
  Outcome outcome = Stage(server, damaged, staging, &files);
  if (outcome == Outcome::kRepaired) {
    std::string error;
    if (m_applier.Apply(files, &error)) {
      for (const Damage& d : damaged) Say(1, Id::kRepairedFile, {Wide(d.entry.path)});
      m_repaired = damaged.size();
    } else {
      SystemLogA("repair: not put in place: %s\n", error.c_str());
      Say(2, Id::kRepairUndone);
      outcome = Outcome::kFailed;
    }
  }
  TarvUtil::DeleteDirectoryTree(staging);
  return outcome;
}

// Fetches and checks the object of every damaged file into the staging
// folder. Nothing of the installation changes here.
RepairSession::Outcome RepairSession::Stage(const std::wstring& server,
                                            const std::vector<Damage>& damaged,
                                            const std::wstring& staging,
                                            std::vector<RepairFile>* files) {
  std::wstring temp;
  if (!m_ports.EnsureTempFolder(&temp)) {
    Say(2, Id::kRepairStagingFailed);
    return Outcome::kFailed;
  }
  Say(0, Id::kRepairDownloading, {Count(damaged.size())});
  // The download display moves the gauge in percent of the bytes while the
  // objects arrive, as it does for an archive.
  m_ports.GaugeTotal(100);
  m_transferTotal = m_transferDone = 0;
  for (const Damage& d : damaged) m_transferTotal += d.entry.size;
  m_ports.TransferProgress(0, m_transferTotal);
  for (size_t i = 0; i < damaged.size(); ++i) {
    const Damage& d = damaged[i];
    const std::wstring address = TarvUtil::JoinPath(server, Wide(ObjectAddress(d.entry.sha256)));
    const std::wstring download = TarvUtil::JoinPath(temp, Wide(d.entry.sha256 + ".zst"));
    const std::wstring staged = TarvUtil::JoinPath(staging, std::to_wstring(i));
    std::wstring where;
    if (!FetchObject(address, download, d, &where)) {
      return m_ports.StopRequested() ? Outcome::kCancelled : Outcome::kFailed;
    }
    // A replaced file keeps its permissions; a new one gets those its
    // content asks for.
    TarvFile::FileStatus st;
    const bool regular = TarvFile::StatusOfEntry(TarvUtil::FsPath(d.target), &st) &&
                         st.type == TarvFile::FileType::kRegular;
    const unsigned mode = regular ? st.mode & 0777 : 0644;
    std::string error;
    bool ok = UnpackRepairObject(where, staged, d.entry, mode, &error);
    if (where == download) TarvUtil::RemoveFile(download);
    if (!ok) {
      SystemLogA("repair: object %s: %s\n", d.entry.sha256.c_str(), error.c_str());
      Say(2, Id::kRepairFileBad, {Wide(d.entry.path)});
      return Outcome::kFailed;
    }
    if (!regular) {
      const int fd = TarvFile::OpenForReading(TarvUtil::FsPath(staged));
      if (fd >= 0) {
        TarvFile::SetMode(fd, ModeForNewFile(staged));
        TarvFile::Close(fd);
      }
    }
    files->push_back(RepairFile{staged, d.target});
    m_transferDone += d.entry.size;
    m_ports.TransferProgress(m_transferDone, m_transferTotal);
    if (!m_ports.GaugeStep()) return Outcome::kCancelled;
  }
  return Outcome::kRepaired;
}

// One object into `download` (or where it lies), no longer than a zstd
// frame of the entry's size can be, at the player's speed. Reported when
// it fails; nothing of it is left then.
bool RepairSession::FetchObject(const std::wstring& address, const std::wstring& download,
                                const Damage& d, std::wstring* where) {
  FetchOptions options;
  options.server = m_fromServers;
  options.max_bytes = ObjectSizeLimit(d.entry.size);
  // The gauge counts the files' own bytes: an object's share moves with its
  // transfer and never passes its file's size.
  options.progress = [this, &d](uint64_t received) {
    m_ports.TransferProgress(m_transferDone + std::min(received, d.entry.size), m_transferTotal);
  };
  if (m_ports.FetchFile(address, FetchKind::kObject, download, where, &options)) return true;
  if (*where == download) TarvUtil::RemoveFile(download);
  SayFetchFailed(Id::kRepairDownloadFailed, address, options);
  return false;
}

}  // namespace TarvPatch
