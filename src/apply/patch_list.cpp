#include "apply/patch_list.h"

#include "data/file_io.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"

namespace TarvPatch {
namespace {

// Splits at CR LF, LF and CR; a line end after the last line adds no line.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0, i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c != '\r' && c != '\n') {
      ++i;
      continue;
    }
    lines.push_back(text.substr(start, i - start));
    i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
    start = i;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

}  // namespace

ListResult ParsePatchFileList(const std::string& input, PatchFileList& list, std::string* why,
                              bool paths_only) {
  list.clear();
  std::string text = input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? input.substr(3) : input;
  std::string reason;
  if (text.size() > kMaxListBytes) {
    reason = "larger than 64 MiB";
  } else if (text.find('\0') != std::string::npos) {
    reason = "contains a zero byte";
  } else if (!TarvText::IsValidUtf8(text)) {
    reason = "not valid UTF-8";
  }
  std::vector<std::string> lines;
  if (reason.empty()) {
    lines = SplitLines(text);
    if (lines.size() % 3 != 0) reason = "the number of lines is not a multiple of three";
  }
  if (!reason.empty()) {
    if (why) *why = reason;
    return ListResult::kBroken;
  }
  list.reserve(lines.size() / 3);
  for (size_t i = 0; i + 2 < lines.size(); i += 3) {
    PatchFileEntry entry;
    entry.m_path = TarvText::FromUtf8(lines[i]);
    if (!paths_only) {
      entry.m_newDigest = TarvText::FromUtf8(lines[i + 1]);
      entry.m_oldDigest = TarvText::FromUtf8(lines[i + 2]);
    }
    list.push_back(std::move(entry));
  }
  return ListResult::kOk;
}

ListResult ReadPatchFileList(const std::wstring& path, PatchFileList& list, std::string* why,
                             bool paths_only) {
  list.clear();
  std::string bytes;
  switch (TarvFile::ReadWholeFile(TarvUtil::FsPath(path), kMaxListBytes, &bytes)) {
    case TarvFile::ReadResult::kOk:
      return ParsePatchFileList(bytes, list, why, paths_only);
    case TarvFile::ReadResult::kTooLarge:
      if (why) *why = "larger than 64 MiB";
      return ListResult::kBroken;
    case TarvFile::ReadResult::kMissing:
    case TarvFile::ReadResult::kFailed:
      break;
  }
  return ListResult::kCannotOpen;
}

}  // namespace TarvPatch
