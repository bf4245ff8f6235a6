// The parts of the registry that do not touch files: the stored form of
// values, key and value names, and where the hives live.

#include "os/registry.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "diag/text_encoding.h"

namespace OS {

namespace {

// Typed values start with one of these; a string that happens to start with
// one (or with the escape itself) is stored behind kStringEscape.
constexpr const char* kTypedPrefixes[] = {"dword:", "hex:", "hex(", "sz:"};
constexpr const char kStringEscape[] = "sz:";

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  for (size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
      return false;
    }
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "02,00,ff" -> bytes; "" is no bytes. Each byte is one or two hex digits.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
  bytes->clear();
  if (text.empty()) return true;
  size_t pos = 0;
  while (true) {
    size_t comma = text.find(',', pos);
    std::string item =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    if (item.empty() || item.size() > 2) return false;
    int value = 0;
    for (char c : item) {
      int digit = HexDigit(c);
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    bytes->push_back(static_cast<uint8_t>(value));
    if (comma == std::string::npos) return true;
    pos = comma + 1;
  }
}

std::string FormatHexBytes(const std::vector<uint8_t>& bytes) {
  std::string out;
  char item[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(item, sizeof item, i == 0 ? "%02x" : ",%02x", bytes[i]);
    out += item;
  }
  return out;
}

// "hex(N):..." with N one to eight hex digits.
bool ParseTypedHex(const std::string& stored, RegistryValue* value) {
  size_t close = stored.find("):");
  if (close == std::string::npos || close <= 4 || close > 12) return false;
  uint32_t type = 0;
  for (size_t i = 4; i < close; ++i) {
    int digit = HexDigit(stored[i]);
    if (digit < 0) return false;
    type = type * 16 + static_cast<uint32_t>(digit);
  }
  if (type == static_cast<uint32_t>(RegistryType::kString)) return false;
  value->type = static_cast<RegistryType>(type);
  value->text.clear();
  return ParseHexBytes(stored.substr(close + 2), &value->data);
}

bool ParseDword(const std::string& digits, RegistryValue* value) {
  if (digits.size() != 8) return false;
  uint32_t number = 0;
  for (char c : digits) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    number = number * 16 + static_cast<uint32_t>(digit);
  }
  *value = RegistryValue::Dword(number);
  return true;
}

}  // namespace

RegistryValue RegistryValue::String(const std::wstring& text) {
  RegistryValue value;
  value.type = RegistryType::kString;
  value.text = text;
  return value;
}

RegistryValue RegistryValue::Dword(uint32_t number) {
  RegistryValue value;
  value.type = RegistryType::kDword;
  value.data = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
  return value;
}

RegistryValue RegistryValue::Binary(const std::vector<uint8_t>& bytes) {
  RegistryValue value;
  value.type = RegistryType::kBinary;
  value.data = bytes;
  return value;
}

size_t RegistryValue::Size() const {
  if (type == RegistryType::kString) return TarvText::ToUtf16Le(text).size() + 2;
  return data.size();
}

std::string FormatRegistryValue(const RegistryValue& value) {
  if (value.type == RegistryType::kString) {
    std::string text = TarvText::ToUtf8(value.text);
    for (const char* prefix : kTypedPrefixes) {
      if (StartsWithNoCase(text, prefix)) return kStringEscape + text;
    }
    return text;
  }
  if (value.type == RegistryType::kDword && value.data.size() == 4) {
    uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                      (static_cast<uint32_t>(value.data[3]) << 24);
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", number);
    return text;
  }
  if (value.type == RegistryType::kBinary) return "hex:" + FormatHexBytes(value.data);
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<uint32_t>(value.type));
  return prefix + FormatHexBytes(value.data);
}

bool ParseRegistryValue(const std::string& stored, RegistryValue* value) {
  if (StartsWithNoCase(stored, "dword:")) return ParseDword(stored.substr(6), value);
  if (StartsWithNoCase(stored, "hex:")) {
    value->type = RegistryType::kBinary;
    value->text.clear();
    return ParseHexBytes(stored.substr(4), &value->data);
  }
  if (StartsWithNoCase(stored, "hex(")) return ParseTypedHex(stored, value);
  std::string text = StartsWithNoCase(stored, kStringEscape) ? stored.substr(3) : stored;
  *value = RegistryValue::String(TarvText::FromUtf8(text));
  return true;
}

namespace {

// Whether the parser takes the line as it is: blank, a comment, a key
// header (closed, perhaps followed by a comment) or "name=value".
bool HiveLineIsWhole(const std::string& line) {
  const size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos || line[first] == ';' || line[first] == '#') return true;
  if (line[first] == '[') {
    const size_t close = line.find(']', first);
    if (close == std::string::npos) return false;
    const size_t rest = line.find_first_not_of(" \t\r", close + 1);
    return rest == std::string::npos || line[rest] == ';' || line[rest] == '#';
  }
  const size_t equals = line.find('=', first);
  return equals != std::string::npos && equals > first;
}

// Calls `each` with every line of `text` (without its '\n') and whether a
// line break follows it.
template <typename Each>
void ForEachLine(const std::string& text, Each each) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const bool broken = end != std::string::npos;
    if (!broken) end = text.size();
    each(text.substr(start, end - start), broken);
    start = end + 1;
  }
}

// The index a stand-in line carries, or -1 for any other line.
long StandInIndex(const std::string& line, const KeptHiveLines& kept) {
  if (line.compare(0, kept.marker.size(), kept.marker) != 0) return -1;
  const std::string digits = line.substr(kept.marker.size());
  if (digits.empty() || digits.size() > 9 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return -1;
  }
  const long index = std::strtol(digits.c_str(), nullptr, 10);
  return static_cast<size_t>(index) < kept.lines.size() ? index : -1;
}

}  // namespace

std::string MaskHiveLines(const std::string& text, KeptHiveLines* kept) {
  kept->lines.clear();
  kept->marker = "#tarv-kept-line~";
  while (text.find(kept->marker) != std::string::npos) kept->marker += '~';
  std::string out;
  out.reserve(text.size());
  ForEachLine(text, [&](const std::string& line, bool broken) {
    if (TarvText::IsValidUtf8(line) && HiveLineIsWhole(line)) {
      out += line;
    } else {
      out += kept->marker + std::to_string(kept->lines.size());
      kept->lines.push_back(line);
    }
    if (broken) out += '\n';
  });
  return out;
}

std::string RestoreHiveLines(const std::string& text, const KeptHiveLines& kept) {
  if (kept.lines.empty()) return text;
  std::string out;
  out.reserve(text.size());
  ForEachLine(text, [&](const std::string& line, bool broken) {
    const long index = StandInIndex(line, kept);
    out += index < 0 ? line : kept.lines[static_cast<size_t>(index)];
    if (broken) out += '\n';
  });
  return out;
}

bool RegistryKey::QueryDword(const std::wstring& name, uint32_t* number) const {
  RegistryValue value;
  if (!QueryValue(name, &value) || value.type == RegistryType::kString || value.data.size() != 4) {
    return false;
  }
  *number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
            (static_cast<uint32_t>(value.data[3]) << 24);
  return true;
}

bool RegistryKey::QueryString(const std::wstring& name, std::wstring* text) const {
  RegistryValue value;
  if (!QueryValue(name, &value) || value.type != RegistryType::kString) return false;
  *text = value.text;
  return true;
}

bool RegistryKey::SetDword(const std::wstring& name, uint32_t number, std::string* error) {
  return SetValue(name, RegistryValue::Dword(number), error);
}

bool RegistryKey::SetString(const std::wstring& name, const std::wstring& text,
                            std::string* error) {
  return SetValue(name, RegistryValue::String(text), error);
}

}  // namespace OS
