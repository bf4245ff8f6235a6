// tarv-mkpatch list ARCHIVE|PROJECT_DIR: what a patch does, entry by entry,
// as the applier will read it: each added file with its size, each deleted
// one, and each patched one with the size of its difference, the size it
// rebuilds and the difference's format. A .zip is unpacked with tarv-unzip
// first (its CRCs checked on the way). Exit 1 when a list or an entry's data
// is missing or damaged; the other entries are listed all the same.
#include <cstdio>

#include "apply/patch_list.h"
#include "data/file_status.h"
#include "data/mapped_file.h"
#include "diag/text_encoding.h"
#include "mkpatch.h"
#include "tools/difference/format1_reader.h"
#include "tools/difference/format2_reader.h"

namespace mkpatch {

namespace {

// One line of the listing.
struct Row {
  const char* kind;
  std::string data_size, new_size, format, path;
};

std::string Utf8Path(const std::wstring& list_path) {
  std::string path = TarvText::ToUtf8(list_path);
  for (char& c : path) c = c == '\\' ? '/' : c;
  return path;
}

bool SizeOf(const std::string& path, uint64_t* size) {
  TarvFile::FileStatus st;
  if (!TarvFile::StatusOf(path, &st) || st.type != TarvFile::FileType::kRegular) return false;
  *size = st.size;
  return true;
}

// The format of a difference and the size of what it rebuilds; false with
// the reason in `why` when the header does not hold.
bool ReadDifference(const std::string& path, std::string* format, uint64_t* new_size,
                    std::string* why) {
  TarvFile::Mapping map;
  if (!TarvFile::MapForReading(path, &map)) {
    *why = "cannot be read";
    return false;
  }
  bool ok = false;
  if (!difference::IsFormat2(map.data, map.size)) {
    ok = difference::ReadFormat1Header(map.data, map.size, new_size, why);
    *format = "1";
  } else {
    difference::Format2Header h;
    ok = difference::ReadFormat2Header(map.data, map.size, &h, why);
    *new_size = h.new_size;
    *format = "2";
    if (h.flags & difference::kFlagBranchFilter) *format += "+branches";
    if (h.flags & difference::kFlagDenseDifference) *format += "+dense";
    if (h.flags & difference::kFlagWordChanges) *format += "+words";
  }
  TarvFile::Unmap(&map);
  return ok;
}

// The rows of one list; false when the list or an entry's data is bad (the
// row says why).
bool ListRows(const std::string& project, const char* list_name, const char* kind,
              std::vector<Row>* rows) {
  TarvPatch::PatchFileList list;
  std::string why;
  const std::string list_path = project + "/" + list_name;
  if (TarvPatch::ReadPatchFileList(TarvText::FromUtf8(list_path), list, &why) !=
      TarvPatch::ListResult::kOk) {
    rows->push_back({"broken", "-", "-", "-", list_name + (why.empty() ? "" : ": " + why)});
    return false;
  }
  bool ok = true;
  for (const TarvPatch::PatchFileEntry& e : list) {
    Row row{kind, "-", "-", "-", Utf8Path(e.m_path)};
    uint64_t size = 0, new_size = 0;
    const std::string data = project + "/data/" + row.path;
    why.clear();
    if (std::string(kind) == "added") {
      const bool there = SizeOf(data, &size);
      row.data_size = row.new_size = there ? std::to_string(size) : "missing";
      row.format = "whole";
      ok = there && ok;
    } else if (std::string(kind) == "patched") {
      const bool made = SizeOf(data + ".diff", &size) &&
                        ReadDifference(data + ".diff", &row.format, &new_size, &why);
      row.data_size = made ? std::to_string(size) : "-";
      row.new_size = made ? std::to_string(new_size) : "-";
      if (!made) row.format = why.empty() ? "missing" : "damaged";
      if (!why.empty()) row.path += ": " + why;
      ok = made && ok;
    }
    rows->push_back(std::move(row));
  }
  return ok;
}

}  // namespace

int CmdList(const Args& args) {
  if (args.size() != 1) return Fail("usage: tarv-mkpatch list PATCH.zip|PATCH_DIR");
  std::string project = args[0], temp, error;
  if (!IsFolder(project)) {
    temp = MakePrivateTempDir();
    if (temp.empty()) return Fail("cannot make a temporary folder");
    if (!UnpackArchive(args[0], temp, &error)) {
      RemoveTree(temp);
      return Fail(error);
    }
    project = temp + "/project";
  }
  std::vector<Row> rows;
  bool ok = ListRows(project, "addedFiles.txt", "added", &rows);
  ok = ListRows(project, "deletedFiles.txt", "deleted", &rows) && ok;
  ok = ListRows(project, "patchedFiles.txt", "patched", &rows) && ok;
  if (!temp.empty()) RemoveTree(temp);
  printf("%-8s %12s %12s  %-16s %s\n", "entry", "data bytes", "new bytes", "format", "path");
  for (const Row& r : rows) {
    printf("%-8s %12s %12s  %-16s %s\n", r.kind, r.data_size.c_str(), r.new_size.c_str(),
           r.format.c_str(), r.path.c_str());
  }
  return ok ? 0 : 1;
}

}  // namespace mkpatch
