// OS::RegistryKey: the installation record's key-value store, two hives (the
// machine's and the current user's), each one text file in the
// wxFileConfig format. Key paths use "\" and compare without regard to case;
// values keep their type and size, written as in .reg files ("dword:00000002",
// "hex:02,00", "hex(4):02,00", plain text for strings). A key object has one
// owner thread; different objects may be used on different threads and
// processes at once, because each write re-reads the hive under an advisory
// lock and replaces the file atomically. On Windows the hives are the
// system registry's HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER in their 32-bit
// view (where the game's 32-bit installer keeps its keys), and each
// operation opens its key afresh.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace OS {

enum class RegistryHive { kMachine, kUser };

// Value types, numbered as the hex(N) form of .reg files numbers them.
enum class RegistryType : uint32_t {
  kString = 1,
  kExpandString = 2,
  kBinary = 3,
  kDword = 4,
  kMultiString = 7,
  kQword = 11,
};

// One value: text for kString, raw bytes for every other type.
struct RegistryValue {
  RegistryType type = RegistryType::kString;
  std::wstring text;
  std::vector<uint8_t> data;

  static RegistryValue String(const std::wstring& text);
  static RegistryValue Dword(uint32_t number);
  static RegistryValue Binary(const std::vector<uint8_t>& bytes);
  // The size a query reports: the bytes for non-string types, the UTF-16
  // form with its terminating zero for strings.
  size_t Size() const;
  bool operator==(const RegistryValue& other) const = default;
};

// The value as it stands in a hive file, and back. ParseRegistryValue
// answers false for a typed value whose digits are malformed.
std::string FormatRegistryValue(const RegistryValue& value);
bool ParseRegistryValue(const std::string& stored, RegistryValue* value);

// The hive file: $OBELK_MACHINE_REGISTRY or /etc/obelk/registry.conf;
// $OBELK_USER_REGISTRY or $XDG_CONFIG_HOME/obelk/registry.conf ($HOME/.config
// when XDG_CONFIG_HOME is unset). Read from the environment at every call.
// On Windows the hive's root key ("HKEY_LOCAL_MACHINE"); there the variables,
// when set and test hooks are allowed, give each hive a key of its own
// below HKEY_CURRENT_USER\Software\Obelk test hives instead.
std::string RegistryHivePath(RegistryHive hive);

// Hive files larger than this are refused as damaged.
constexpr size_t kMaxHiveBytes = size_t{4} << 20;

// Whether the hive can be read: missing (or not open to this process, which
// is a matter of access), or a regular file of text (no NUL bytes) of at
// most kMaxHiveBytes. A hive that fails this is never written: every key in
// it counts as absent, and Create and the setters fail. `path` is the hive's
// file (a link resolved); the reason goes to `error` (may be null).
bool CheckRegistryHive(RegistryHive hive, std::string* path, std::string* error = nullptr);

// Lines of a readable hive that the parser would drop or garble (not UTF-8,
// or neither blank, a comment, a key header nor "name=value": another
// program's text) are kept, not fatal: MaskHiveLines stands a comment line
// holding its number in for each, and RestoreHiveLines puts the originals
// back byte for byte into the text the parser wrote. `marker` starts every
// stand-in and occurs nowhere in the hive's own text.
struct KeptHiveLines {
  std::string marker;
  std::vector<std::string> lines;
};
std::string MaskHiveLines(const std::string& text, KeptHiveLines* kept);
std::string RestoreHiveLines(const std::string& text, const KeptHiveLines& kept);

class RegistryKey {
 public:
  enum class Access { kRead, kWrite };

  RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Opens an existing key ("SOFTWARE\Obelk\Tarv"; "" is the hive's root).
  // kRead needs a readable hive; kWrite also needs the hive file (or, when
  // it does not exist yet, its folder) writable by this process. False, with
  // the reason in `error` (may be null), when the key is missing, the path
  // is not a valid key name, or access is refused.
  bool Open(RegistryHive hive, const std::wstring& path, Access access,
            std::string* error = nullptr);
  // Opens the key for writing, creating it and its parents (and the hive's
  // folder and file) when missing. Same failures as Open, plus a failed
  // write of the hive.
  bool Create(RegistryHive hive, const std::wstring& path, std::string* error = nullptr);
  void Close();
  bool IsOpen() const { return m_open; }

  // The value as the hive holds it now. False when the key or the value is
  // missing, the hive cannot be read, or the stored text is malformed.
  bool QueryValue(const std::wstring& name, RegistryValue* value,
                  std::string* error = nullptr) const;
  // The number of a non-string value of exactly 4 bytes (little-endian);
  // false for any other size, for strings, and whenever QueryValue fails.
  bool QueryDword(const std::wstring& name, uint32_t* number) const;
  // The text of a string value; false for other types.
  bool QueryString(const std::wstring& name, std::wstring* text) const;

  // Write operations need a key opened with kWrite (or Create). Each one is
  // durable when it returns true: the hive has been re-read under the lock,
  // changed, written to a temporary file, flushed and renamed into place.
  // False, with the reason in `error`, when anything of that failed; the
  // hive file is then unchanged.
  bool SetValue(const std::wstring& name, const RegistryValue& value, std::string* error = nullptr);
  bool SetDword(const std::wstring& name, uint32_t number, std::string* error = nullptr);
  bool SetString(const std::wstring& name, const std::wstring& text, std::string* error = nullptr);
  // False also when the value does not exist.
  bool DeleteValue(const std::wstring& name, std::string* error = nullptr);

 private:
  bool m_open = false;
  RegistryHive m_hive = RegistryHive::kMachine;
  Access m_access = Access::kRead;
  std::string m_hivePath;
  std::wstring m_keyPath;  // "/"-separated config group, as given
};

}  // namespace OS
