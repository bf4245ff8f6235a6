#include "crypto/minisign_lines.h"

namespace TarvCrypto {

bool SplitMinisignLines(std::string_view text, std::vector<std::string_view>* lines,
                        std::string* error) {
  const size_t cr = text.find('\r');
  if (cr != std::string_view::npos) {
    const bool crlf = cr + 1 < text.size() && text[cr + 1] == '\n';
    *error = crlf ? "has CR LF line ends (only LF is accepted)" : "holds a CR character";
    return false;
  }
  if (text.find('\0') != std::string_view::npos) {
    *error = "holds a zero byte";
    return false;
  }
  lines->clear();
  while (!text.empty()) {
    const size_t lf = text.find('\n');
    lines->push_back(text.substr(0, lf));
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
  }
  return true;
}

bool TakeCommentText(std::string_view line, std::string_view prefix, std::string_view* comment) {
  if (line.substr(0, prefix.size()) != prefix) return false;
  *comment = line.substr(prefix.size());
  return true;
}

}  // namespace TarvCrypto
