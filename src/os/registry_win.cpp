// Windows side of the installation record: the system registry itself. The
// game's installer is a 32-bit program, so its keys under
// HKEY_LOCAL_MACHINE\SOFTWARE live in the 32-bit view; every key is opened
// with KEY_WOW64_32KEY so that this 64-bit program reads and writes the
// same keys the game and its installer use (HKEY_CURRENT_USER\Software is
// shared by both views, where the flag changes nothing). Each operation
// opens its key afresh, as the Linux hive files are re-read, so a key
// deleted meanwhile is seen as deleted.

#include <windows.h>

#include <cstdlib>

#include "diag/system_error.h"
#include "diag/test_hooks.h"
#include "diag/text_encoding.h"
#include "os/registry.h"

namespace OS {
namespace {

constexpr REGSAM kView = KEY_WOW64_32KEY;

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

std::string Failure(const std::string& what, const std::wstring& key, LSTATUS status) {
  return what + " " + TarvText::ToUtf8(key) + ": " + TarvDiag::SystemErrorText(status);
}

bool IsValidName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (wchar_t c : name) {
    if (c < 0x20 || c == 0x7f || c == L'/' || c == L'\\' || c == L'[' || c == L']') return false;
  }
  return true;
}

// The same key names the Linux hives take, so that a record written on one
// platform can be read back by the same code on the other.
bool IsValidKeyPath(const std::wstring& path) {
  if (path.empty()) return true;
  size_t pos = 0;
  while (true) {
    size_t sep = path.find(L'\\', pos);
    if (!IsValidName(path.substr(pos, sep == std::wstring::npos ? sep : sep - pos))) return false;
    if (sep == std::wstring::npos) return true;
    pos = sep + 1;
  }
}

// Where tests keep a hive: the variable's value (for the Linux build a file
// path) made into one key name under HKEY_CURRENT_USER, so that each test
// folder gets keys of its own and no test needs administrator rights. An
// elevated copy ignores it, as it ignores every test hook.
std::wstring TestHiveKey(RegistryHive hive) {
  const char* variable =
      hive == RegistryHive::kMachine ? "OBELK_MACHINE_REGISTRY" : "OBELK_USER_REGISTRY";
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0' || !TarvDiag::TestHooksAllowed()) return std::wstring();
  std::wstring name = TarvText::FromUtf8(value);
  for (wchar_t& c : name) {
    if (c < 0x20 || c == L'\\' || c == L'/' || c == L'[' || c == L']') c = L'_';
  }
  return L"Software\\Obelk test hives\\" + name;
}

// The predefined key and the path below it where `path` of `hive` lives.
struct KeyPlace {
  HKEY root;
  std::wstring path;
};

KeyPlace PlaceOf(RegistryHive hive, const std::wstring& path) {
  std::wstring test_root = TestHiveKey(hive);
  if (!test_root.empty()) {
    return {HKEY_CURRENT_USER, path.empty() ? test_root : test_root + L"\\" + path};
  }
  return {hive == RegistryHive::kMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, path};
}

// Holds an open key for the length of one operation.
class OpenKey {
 public:
  OpenKey() = default;
  ~OpenKey() {
    if (m_key != nullptr) RegCloseKey(m_key);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  LSTATUS Open(const KeyPlace& place, REGSAM access) {
    return RegOpenKeyExW(place.root, place.path.c_str(), 0, access | kView, &m_key);
  }
  LSTATUS Create(const KeyPlace& place) {
    return RegCreateKeyExW(place.root, place.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_READ | KEY_WRITE | kView, nullptr, &m_key, nullptr);
  }
  HKEY get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

std::string OpenFailure(LSTATUS status, const std::wstring& path) {
  if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) {
    return "registry key not found: " + TarvText::ToUtf8(path);
  }
  if (status == ERROR_ACCESS_DENIED) return Failure("no access to registry key", path, status);
  return Failure("cannot open registry key", path, status);
}

// The raw bytes of a value and its type; sizes beyond the limit are refused
// rather than allocated.
LSTATUS ReadRaw(HKEY key, const std::wstring& name, DWORD* type, std::vector<uint8_t>* bytes) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    if (size > kMaxHiveBytes) return ERROR_INVALID_DATA;
    bytes->resize(size);
    status = RegQueryValueExW(key, name.c_str(), nullptr, type, bytes->data(), &size);
    if (status == ERROR_MORE_DATA) continue;  // grown between the two calls
    if (status == ERROR_SUCCESS) bytes->resize(size);
    return status;
  }
  return ERROR_MORE_DATA;
}

// REG_SZ bytes as text: UTF-16LE, the terminating zero (and anything after
// an embedded one, which the game's readers would not see) dropped.
std::wstring StringFromBytes(const std::vector<uint8_t>& bytes) {
  std::wstring text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    wchar_t unit = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit == L'\0') break;
    text.push_back(unit);
  }
  return text;
}

std::vector<uint8_t> BytesOf(const RegistryValue& value) {
  if (value.type != RegistryType::kString) return value.data;
  std::string units = TarvText::ToUtf16Le(value.text);
  std::vector<uint8_t> bytes(units.begin(), units.end());
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

}  // namespace

std::string RegistryHivePath(RegistryHive hive) {
  std::wstring test_root = TestHiveKey(hive);
  if (!test_root.empty()) return "HKEY_CURRENT_USER\\" + TarvText::ToUtf8(test_root);
  return hive == RegistryHive::kMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

bool CheckRegistryHive(RegistryHive hive, std::string* path, std::string*) {
  // The system keeps its hives whole; whether a key can be written is a
  // question of access that Open and Create answer.
  *path = RegistryHivePath(hive);
  return true;
}

bool RegistryKey::Open(RegistryHive hive, const std::wstring& path, Access access,
                       std::string* error) {
  Close();
  if (!IsValidKeyPath(path)) {
    SetError(error, "invalid key path \"" + TarvText::ToUtf8(path) + "\"");
    return false;
  }
  KeyPlace place = PlaceOf(hive, path);
  OpenKey key;
  LSTATUS status = key.Open(place, access == Access::kWrite ? KEY_READ | KEY_WRITE : KEY_READ);
  if (status != ERROR_SUCCESS) {
    SetError(error, OpenFailure(status, path));
    return false;
  }
  m_open = true;
  m_access = access;
  m_hive = hive;
  m_hivePath = RegistryHivePath(hive);
  m_keyPath = path;
  return true;
}

bool RegistryKey::Create(RegistryHive hive, const std::wstring& path, std::string* error) {
  Close();
  if (!IsValidKeyPath(path)) {
    SetError(error, "invalid key path \"" + TarvText::ToUtf8(path) + "\"");
    return false;
  }
  OpenKey key;
  LSTATUS status = key.Create(PlaceOf(hive, path));
  if (status != ERROR_SUCCESS) {
    SetError(error, status == ERROR_ACCESS_DENIED
                        ? Failure("no write access to registry key", path, status)
                        : Failure("cannot create registry key", path, status));
    return false;
  }
  m_open = true;
  m_access = Access::kWrite;
  m_hive = hive;
  m_hivePath = RegistryHivePath(hive);
  m_keyPath = path;
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
  OpenKey key;
  LSTATUS status = key.Open(PlaceOf(m_hive, m_keyPath), KEY_QUERY_VALUE);
  if (status != ERROR_SUCCESS) {
    SetError(error, OpenFailure(status, m_keyPath));
    return false;
  }
  DWORD type = REG_NONE;
  std::vector<uint8_t> bytes;
  status = ReadRaw(key.get(), name, &type, &bytes);
  if (status != ERROR_SUCCESS) {
    SetError(error, status == ERROR_FILE_NOT_FOUND
                        ? "registry value not found: " + TarvText::ToUtf8(name)
                        : Failure("cannot read registry value", name, status));
    return false;
  }
  if (type == REG_SZ) {
    *value = RegistryValue::String(StringFromBytes(bytes));
  } else {
    value->type = static_cast<RegistryType>(type);
    value->text.clear();
    value->data = std::move(bytes);
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
  OpenKey key;
  LSTATUS status = key.Open(PlaceOf(m_hive, m_keyPath), KEY_SET_VALUE);
  if (status != ERROR_SUCCESS) {
    SetError(error, status == ERROR_FILE_NOT_FOUND ? std::string("registry key was deleted")
                                                   : OpenFailure(status, m_keyPath));
    return false;
  }
  std::vector<uint8_t> bytes = BytesOf(value);
  if (bytes.size() > kMaxHiveBytes) {
    SetError(error, "registry value too large: " + TarvText::ToUtf8(name));
    return false;
  }
  status = RegSetValueExW(key.get(), name.c_str(), 0, static_cast<DWORD>(value.type), bytes.data(),
                          static_cast<DWORD>(bytes.size()));
  // Durable on return, as the callers rely on (the marker of a patch in
  // progress must survive a power cut).
  if (status == ERROR_SUCCESS) status = RegFlushKey(key.get());
  if (status != ERROR_SUCCESS) {
    SetError(error, Failure("cannot write registry value", name, status));
    return false;
  }
  return true;
}

bool RegistryKey::DeleteValue(const std::wstring& name, std::string* error) {
  if (!m_open || m_access != Access::kWrite || !IsValidName(name)) {
    SetError(error, "registry key not open for writing, or invalid value name");
    return false;
  }
  OpenKey key;
  LSTATUS status = key.Open(PlaceOf(m_hive, m_keyPath), KEY_SET_VALUE);
  if (status == ERROR_SUCCESS) status = RegDeleteValueW(key.get(), name.c_str());
  if (status == ERROR_SUCCESS) status = RegFlushKey(key.get());
  if (status != ERROR_SUCCESS) {
    SetError(error, status == ERROR_FILE_NOT_FOUND
                        ? "registry value not found: " + TarvText::ToUtf8(name)
                        : Failure("cannot delete registry value", name, status));
    return false;
  }
  return true;
}

}  // namespace OS
