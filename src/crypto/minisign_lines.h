// The line layout shared by the publisher's key and signature files (the
// formats of the minisign tool): lines ended by LF, comment lines with a
// fixed prefix. A CR is refused rather than stripped, because the text of a
// trusted comment is signed byte for byte. Plain functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace TarvCrypto {

inline constexpr std::string_view kUntrustedCommentPrefix = "untrusted comment: ";
inline constexpr std::string_view kTrustedCommentPrefix = "trusted comment: ";

// The lines of `text` without their LF; a last line without LF counts, an
// LF at the very end ends the last line. False, with the reason in `error`,
// when the text holds a CR or a zero byte.
bool SplitMinisignLines(std::string_view text, std::vector<std::string_view>* lines,
                        std::string* error);

// The text after `prefix` when `line` starts with it.
bool TakeCommentText(std::string_view line, std::string_view prefix, std::string_view* comment);

}  // namespace TarvCrypto
