// The string tables: parsed once from the literals that the build made of
// resources/strings/*.txt, then read-only, so any thread may load texts.

#include "os/messages.h"

#include <map>
#include <string>

#include "diag/system_log.h"
#include "diag/text_encoding.h"
#include "os/registry.h"

namespace TarvMessages {

namespace tables {
extern const char k_en[];
extern const char k_de[];
extern const char k_fr[];
}  // namespace tables

namespace {

using Table = std::map<int, std::wstring>;

thread_local Language t_language = Language::kEnglish;

// The text between the quotes of `line` from `pos`, with its escapes
// resolved; false when the closing quote is missing or an escape is unknown.
bool ParseQuoted(const std::string& line, size_t pos, std::string* text) {
  text->clear();
  if (pos >= line.size() || line[pos] != '"') return false;
  for (size_t i = pos + 1; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') return i + 1 == line.size();
    if (c != '\\') {
      *text += c;
      continue;
    }
    if (++i == line.size()) return false;
    switch (line[i]) {
      case 'n':
        *text += '\n';
        break;
      case 't':
        *text += '\t';
        break;
      case '"':
        *text += '"';
        break;
      case '\\':
        *text += '\\';
        break;
      default:
        return false;
    }
  }
  return false;
}

// One "<id> "<text>"" line into the table; false when it is malformed.
bool ParseLine(const std::string& line, Table* table) {
  size_t blank = line.find(' ');
  if (blank == 0 || blank == std::string::npos || blank > 6) return false;
  int id = 0;
  for (size_t i = 0; i < blank; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    id = id * 10 + (line[i] - '0');
  }
  std::string text;
  if (!ParseQuoted(line, blank + 1, &text)) return false;
  return table->emplace(id, TarvText::FromUtf8(text)).second;
}

Table ParseTable(const char* source, const char* name) {
  Table table;
  std::string all(source);
  size_t start = 0;
  int line_number = 0;
  while (start < all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++line_number;
    if (!line.empty() && line[0] != '#' && !ParseLine(line, &table)) {
      SystemLogA("String table %s: line %d is malformed or repeats an id\n", name, line_number);
    }
    start = end + 1;
  }
  return table;
}

const Table& TableOf(Language language) {
  static const Table english = ParseTable(tables::k_en, "en");
  static const Table german = ParseTable(tables::k_de, "de");
  static const Table french = ParseTable(tables::k_fr, "fr");
  switch (language) {
    case Language::kGerman:
      return german;
    case Language::kFrench:
      return french;
    default:
      return english;
  }
}

}  // namespace

Language SelectLanguage() {
  Language language = Language::kEnglish;
  OS::RegistryKey key;
  uint32_t id = 0;
  if (key.Open(OS::RegistryHive::kMachine, L"SOFTWARE\\Obelk\\Tarv",
               OS::RegistryKey::Access::kRead) &&
      key.QueryDword(L"LanguageID", &id)) {
    if (id == 1) language = Language::kFrench;
    if (id == 2) language = Language::kGerman;
  }
  t_language = language;
  return language;
}

void SetThreadLanguage(Language language) { t_language = language; }

Language ThreadLanguage() { return t_language; }

std::wstring LoadMessage(int id) { return LoadMessage(id, t_language); }

std::wstring LoadMessage(int id, Language language) {
  const Table& table = TableOf(language);
  auto found = table.find(id);
  return found == table.end() ? std::wstring() : found->second;
}

}  // namespace TarvMessages
