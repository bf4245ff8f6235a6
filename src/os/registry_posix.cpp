// Hive files on Linux: read whole, parsed by wxFileConfig; every write takes
// an advisory lock on "<hive>.lock", re-reads the hive, changes it, writes a
// temporary file beside it, flushes it and renames it over the hive, so that
// readers never see half a file and concurrent writers never lose a change.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/sstream.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "data/file_io.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "os/registry.h"

namespace OS {

namespace {

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool IsValidName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (wchar_t c : name) {
    if (c < 0x20 || c == 0x7f || c == L'/' || c == L'\\' || c == L'[' || c == L']') return false;
  }
  return true;
}

// "SOFTWARE\Obelk\Tarv" -> "/SOFTWARE/Obelk/Tarv"; "" -> "" (the root).
bool KeyPathToGroup(const std::wstring& key_path, std::wstring* group, std::string* error) {
  group->clear();
  if (key_path.empty()) return true;
  size_t pos = 0;
  while (true) {
    size_t sep = key_path.find(L'\\', pos);
    std::wstring part = key_path.substr(pos, sep == std::wstring::npos ? sep : sep - pos);
    if (!IsValidName(part)) {
      SetError(error, "invalid key path \"" + TarvText::ToUtf8(key_path) + "\"");
      return false;
    }
    *group += L"/" + part;
    if (sep == std::wstring::npos) return true;
    pos = sep + 1;
  }
}

// The whole hive; a missing file is an empty hive with `exists` false. Only
// a regular file of text is read (a FIFO or a device would block or never
// end; NUL bytes mark a file that is no hive): what cannot be read must
// never be written back. Lines of other programs are kept (see
// MaskHiveLines), not refused.
bool ReadHive(const std::string& path, std::string* text, bool* exists, std::string* error) {
  *exists = false;
  std::string why;
  switch (TarvFile::ReadWholeFile(path, kMaxHiveBytes, text, &why)) {
    case TarvFile::ReadResult::kOk:
      *exists = true;
      break;
    case TarvFile::ReadResult::kMissing:
      return true;
    case TarvFile::ReadResult::kTooLarge:
      SetError(error, "registry hive " + path + " is larger than 4 MiB");
      return false;
    case TarvFile::ReadResult::kFailed:
      SetError(error, "cannot read registry hive: " + why);
      return false;
  }
  if (text->find('\0') != std::string::npos) {
    SetError(error, "registry hive " + path + " is not text (it holds NUL bytes)");
    return false;
  }
  return true;
}

// The parser over the hive's text, the lines it would not take standing in
// as comments (`kept` may be null when nothing is written back).
std::unique_ptr<wxFileConfig> ParseHive(const std::string& text, KeptHiveLines* kept = nullptr) {
  KeptHiveLines unused;
  const std::string masked = MaskHiveLines(text, kept != nullptr ? kept : &unused);
  wxLogNull no_popups;  // a damaged line must not open a dialog
  wxStringInputStream stream(wxString::FromUTF8(masked.data(), masked.size()));
  auto config = std::make_unique<wxFileConfig>(stream, wxConvUTF8);
  config->SetExpandEnvVars(false);
  return config;
}

bool HasKey(wxFileConfig& config, const std::wstring& group) {
  return group.empty() || config.HasGroup(wxString(group));
}

// Whether this process may replace the hive: the folder must take a new
// file, and an existing hive must be writable. A folder that does not exist
// yet counts as its nearest existing parent.
bool CanWriteHive(const std::string& path, bool exists, std::string* error) {
  if (exists && faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    SetError(error, SystemError("no write access to registry hive", path));
    return false;
  }
  std::string folder = TarvFile::FolderOf(path);
  struct stat info;
  while (stat(folder.c_str(), &info) != 0 && errno == ENOENT && folder != "/") {
    folder = TarvFile::FolderOf(folder);
  }
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    SetError(error, SystemError("no write access to registry folder", folder));
    return false;
  }
  return true;
}

// Replaces the hive in one step; the old file's mode and owner are kept.
bool ReplaceFile(const std::string& path, const std::string& bytes, std::string* error) {
  if (TarvFile::ReplaceFile(path, bytes)) return true;
  SetError(error, SystemError("cannot write registry hive", path));
  return false;
}

// Holds the hive's advisory write lock for its lifetime.
class HiveLock {
 public:
  explicit HiveLock(const std::string& hive_path) {
    std::string lock_path = hive_path + ".lock";
    m_fd = TarvFile::Open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (m_fd < 0) {
      m_error = SystemError("cannot open registry lock", lock_path);
      return;
    }
    while (flock(m_fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        m_error = SystemError("cannot lock registry hive", hive_path);
        close(m_fd);
        m_fd = -1;
        return;
      }
    }
  }
  ~HiveLock() {
    if (m_fd >= 0) close(m_fd);  // closing releases the lock
  }
  HiveLock(const HiveLock&) = delete;
  HiveLock& operator=(const HiveLock&) = delete;
  bool Held() const { return m_fd >= 0; }
  const std::string& Error() const { return m_error; }

 private:
  int m_fd = -1;
  std::string m_error;
};

using Mutation = std::function<bool(wxFileConfig& config, std::string* error)>;

// The file a hive path stands for: a hive that is a link (an administrator
// may keep the record elsewhere) is replaced at its target, so the link
// survives the write.
std::string ResolvedHivePath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string resolved(real);
  free(real);
  return resolved;
}

// One locked read-change-replace cycle. `ensure_group` (may be empty) is
// created first when missing; wxFileConfig drops empty groups on saving, so a
// new key is written as its own header line.
bool ChangeHive(const std::string& hive_path, const std::wstring& ensure_group,
                const Mutation& mutate, std::string* error) {
  const std::string path = ResolvedHivePath(hive_path);
  if (!TarvUtil::MakeDirectory(TarvUtil::FromFsPath(TarvFile::FolderOf(path)))) {
    SetError(error, SystemError("cannot create registry folder", TarvFile::FolderOf(path)));
    return false;
  }
  HiveLock lock(path);
  if (!lock.Held()) {
    SetError(error, lock.Error());
    return false;
  }
  std::string text;
  bool exists = false;
  if (!ReadHive(path, &text, &exists, error)) return false;
  KeptHiveLines kept;
  std::unique_ptr<wxFileConfig> config = ParseHive(text, &kept);
  if (!HasKey(*config, ensure_group)) {
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += "[" + TarvText::ToUtf8(ensure_group.substr(1)) + "]\n";
    config = ParseHive(text, &kept);
  }
  if (!mutate(*config, error)) return false;
  wxStringOutputStream out(nullptr, wxConvUTF8);
  {
    wxLogNull no_popups;
    if (!config->Save(out, wxConvUTF8)) {
      SetError(error, "cannot format registry hive " + path);
      return false;
    }
  }
  return ReplaceFile(path, RestoreHiveLines(out.GetString().utf8_string(), kept), error);
}

wxString EntryPath(const std::wstring& group, const std::wstring& name) {
  return wxString(group + L"/" + name);
}

}  // namespace

namespace {

// Where a key lives: its hive file, its group in that file, and whether the
// group is there. With `for_writing` the hive must be writable too.
struct KeyLocation {
  std::wstring group;
  std::string hive_path;
  bool has_key = false;
};

bool LocateKey(RegistryHive hive, const std::wstring& path, bool for_writing, KeyLocation* key,
               std::string* error) {
  if (!KeyPathToGroup(path, &key->group, error)) return false;
  key->hive_path = ResolvedHivePath(RegistryHivePath(hive));
  std::string text;
  bool exists = false;
  if (!ReadHive(key->hive_path, &text, &exists, error)) return false;
  if (for_writing && !CanWriteHive(key->hive_path, exists, error)) return false;
  key->has_key = exists && HasKey(*ParseHive(text), key->group);
  return true;
}

}  // namespace

std::string RegistryHivePath(RegistryHive hive) {
  const char* override_path = std::getenv(hive == RegistryHive::kMachine ? "OBELK_MACHINE_REGISTRY"
                                                                         : "OBELK_USER_REGISTRY");
  if (override_path != nullptr && *override_path != '\0') return override_path;
  if (hive == RegistryHive::kMachine) return "/etc/obelk/registry.conf";
  const char* config_home = std::getenv("XDG_CONFIG_HOME");
  if (config_home != nullptr && *config_home == '/') {
    return std::string(config_home) + "/obelk/registry.conf";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config/obelk/registry.conf";
}

bool CheckRegistryHive(RegistryHive hive, std::string* path, std::string* error) {
  *path = ResolvedHivePath(RegistryHivePath(hive));
  // A hive this process may not open is a question of access, not damage.
  int fd = open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return true;
  close(fd);
  std::string text;
  bool exists = false;
  return ReadHive(*path, &text, &exists, error);
}

bool RegistryKey::Open(RegistryHive hive, const std::wstring& path, Access access,
                       std::string* error) {
  Close();
  KeyLocation key;
  if (!LocateKey(hive, path, access == Access::kWrite, &key, error)) return false;
  if (!key.has_key) {
    SetError(error, "registry key not found: " + TarvText::ToUtf8(path));
    return false;
  }
  m_open = true;
  m_hive = hive;
  m_access = access;
  m_hivePath = key.hive_path;
  m_keyPath = key.group;
  return true;
}

bool RegistryKey::Create(RegistryHive hive, const std::wstring& path, std::string* error) {
  Close();
  KeyLocation key;
  if (!LocateKey(hive, path, true, &key, error)) return false;
  if (!key.has_key) {
    auto nothing = [](wxFileConfig&, std::string*) { return true; };
    if (!ChangeHive(key.hive_path, key.group, nothing, error)) return false;
  }
  m_open = true;
  m_hive = hive;
  m_access = Access::kWrite;
  m_hivePath = key.hive_path;
  m_keyPath = key.group;
  return true;
}

void RegistryKey::Close() {
  m_open = false;
  m_hivePath.clear();
  m_keyPath.clear();
}

bool RegistryKey::QueryValue(const std::wstring& name, RegistryValue* value,
                             std::string* error) const {
  if (!m_open || !IsValidName(name)) {
    SetError(error, m_open ? "invalid value name" : "registry key not open");
    return false;
  }
  std::string text;
  bool exists = false;
  if (!ReadHive(m_hivePath, &text, &exists, error)) return false;
  std::unique_ptr<wxFileConfig> config = ParseHive(text);
  wxString stored;
  if (!HasKey(*config, m_keyPath) || !config->Read(EntryPath(m_keyPath, name), &stored)) {
    SetError(error, "registry value not found: " + TarvText::ToUtf8(name));
    return false;
  }
  if (!ParseRegistryValue(stored.utf8_string(), value)) {
    SetError(error, "malformed registry value: " + TarvText::ToUtf8(name));
    return false;
  }
  return true;
}

bool RegistryKey::SetValue(const std::wstring& name, const RegistryValue& value,
                           std::string* error) {
  if (!m_open || m_access != Access::kWrite || !IsValidName(name)) {
    SetError(error, !m_open                      ? "registry key not open"
                    : m_access != Access::kWrite ? "registry key not open for writing"
                                                 : "invalid value name");
    return false;
  }
  std::wstring group = m_keyPath;
  std::string stored = FormatRegistryValue(value);
  auto write = [&](wxFileConfig& config, std::string* why) {
    if (!HasKey(config, group)) {
      SetError(why, "registry key was deleted");
      return false;
    }
    return config.Write(EntryPath(group, name), wxString::FromUTF8(stored.data(), stored.size()));
  };
  return ChangeHive(m_hivePath, L"", write, error);
}

bool RegistryKey::DeleteValue(const std::wstring& name, std::string* error) {
  if (!m_open || m_access != Access::kWrite || !IsValidName(name)) {
    SetError(error, "registry key not open for writing, or invalid value name");
    return false;
  }
  std::wstring group = m_keyPath;
  auto erase = [&](wxFileConfig& config, std::string* why) {
    wxString entry = EntryPath(group, name);
    if (!HasKey(config, group) || !config.HasEntry(entry)) {
      SetError(why, "registry value not found: " + TarvText::ToUtf8(name));
      return false;
    }
    return config.DeleteEntry(entry, false);
  };
  return ChangeHive(m_hivePath, L"", erase, error);
}

}  // namespace OS
