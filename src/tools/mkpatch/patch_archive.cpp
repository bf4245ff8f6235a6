#include "patch_archive.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "apply/md5.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "difference.h"
#include "mkpatch.h"
#include "zip_writer.h"

namespace mkpatch {
namespace {

namespace fs = std::filesystem;

// The difference tool of an installation, relative to it.
const char kToolPath[] = "Binaries/jpatchl-w32.exe";

struct TreeFile {
  std::string path;  // on disk
  uint64_t size = 0;
};
using Tree = std::map<std::string, TreeFile>;  // by relative path with "/"

// A name must survive the lists: one line, no `\` (the lists' separator),
// valid UTF-8.
bool UsableName(const std::string& rel) {
  return rel.find_first_of("\\\r\n") == std::string::npos && TarvText::IsValidUtf8(rel);
}

bool ScanTree(const std::string& root, Tree* tree, std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    *error = root + ": not a folder";
    return false;
  }
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const fs::directory_entry& e = *it;
    std::string rel = fs::relative(e.path(), root).generic_string();
    if (e.is_symlink(ec) || (!e.is_regular_file(ec) && !e.is_directory(ec))) {
      *error = e.path().string() + ": links, devices and pipes cannot be shipped";
      return false;
    }
    if (e.is_directory(ec)) continue;
    if (!UsableName(rel)) {
      *error = e.path().string() + ": the name cannot be written into a list";
      return false;
    }
    (*tree)[rel] = TreeFile{e.path().string(), static_cast<uint64_t>(e.file_size(ec))};
  }
  if (ec) *error = root + ": cannot be read: " + ec.message();
  return !ec;
}

std::string Digest(const std::string& path) {
  std::wstring digest;
  return ComputeFileMD5(TarvUtil::FromFsPath(path), digest) ? TarvText::ToUtf8(digest) : "";
}

std::string ListPath(const std::string& rel) {
  std::string out = rel;
  for (char& c : out) c = c == '/' ? '\\' : c;
  return out;
}

// A new file where the old tree has a folder, or below an old file: the
// applier adds before it deletes, so such a change cannot be applied.
bool CheckKinds(const Tree& old_tree, const Tree& new_tree, std::string* error) {
  for (const auto& [rel, f] : new_tree) {
    auto below = old_tree.lower_bound(rel + "/");
    if (below != old_tree.end() && below->first.compare(0, rel.size() + 1, rel + "/") == 0) {
      *error = rel + ": a file in the new tree replaces a folder of the old tree";
      return false;
    }
    for (size_t slash = rel.find('/'); slash != std::string::npos;
         slash = rel.find('/', slash + 1)) {
      if (old_tree.count(rel.substr(0, slash))) {
        *error = rel + ": a folder in the new tree replaces a file of the old tree";
        return false;
      }
    }
  }
  return true;
}

struct Plan {
  std::string added, deleted, patched;                    // list texts
  std::vector<std::pair<std::string, std::string>> data;  // zip name, file on disk
  std::set<std::string> diff_names;                       // data entries that are differences
};

void AddLine(std::string* list, const std::string& rel, const std::string& after,
             const std::string& before) {
  *list += ListPath(rel) + "\r\n" + after + "\r\n" + before + "\r\n";
}

// One file present in both trees.
bool PlanChanged(const std::string& rel, const TreeFile& o, const TreeFile& n,
                 const std::string& work, int level, DifferenceFormat format, Plan* plan,
                 PatchSummary* s, std::string* error) {
  std::string od = Digest(o.path), nd = Digest(n.path);
  if (od.empty() || nd.empty()) {
    *error = rel + ": cannot be read";
    return false;
  }
  if (od == nd && o.size == n.size) {
    ++s->unchanged;
    return true;
  }
  bool whole = o.size >= kMaxDifferenceOldSize || rel == kToolPath;
  std::string diff = work + "/" + std::to_string(plan->data.size()) + ".diff";
  if (!whole) {
    printf("difference: %s\n", rel.c_str());
    fflush(stdout);
    if (!MakeDifference(o.path, n.path, diff, level, error, format)) return false;
    uint64_t size = 0;
    TarvUtil::QueryFileSize(TarvUtil::FromFsPath(diff), size);
    whole = size >= n.size;
    if (!whole && !ProveDifference(o.path, diff, n.path, error)) return false;
  }
  if (whole) {
    AddLine(&plan->added, rel, nd, od);
    plan->data.push_back({"data/" + rel, n.path});
    ++s->added;
    ++s->shipped_whole;
  } else {
    AddLine(&plan->patched, rel, nd, od);
    plan->data.push_back({"data/" + rel + ".diff", diff});
    plan->diff_names.insert("data/" + rel + ".diff");
    ++s->patched;
  }
  return true;
}

bool MakePlan(const Tree& old_tree, const Tree& new_tree, const std::string& work, int level,
              DifferenceFormat format, Plan* plan, PatchSummary* s, std::string* error) {
  for (const auto& [rel, n] : new_tree) {
    auto o = old_tree.find(rel);
    if (o == old_tree.end()) {
      AddLine(&plan->added, rel, Digest(n.path), "");
      plan->data.push_back({"data/" + rel, n.path});
      ++s->added;
    } else if (!PlanChanged(rel, o->second, n, work, level, format, plan, s, error)) {
      return false;
    }
  }
  for (const auto& [rel, o] : old_tree) {
    if (new_tree.count(rel)) continue;
    AddLine(&plan->deleted, rel, "", Digest(o.path));
    ++s->deleted;
  }
  return true;
}

bool WriteZip(const Plan& plan, const std::string& out_zip, std::string* error) {
  ZipWriter zip;
  if (!zip.Open(out_zip, error) || !zip.AddBytes("addedFiles.txt", plan.added, error) ||
      !zip.AddBytes("deletedFiles.txt", plan.deleted, error) ||
      !zip.AddBytes("patchedFiles.txt", plan.patched, error)) {
    return false;
  }
  for (const auto& [name, path] : plan.data) {
    if (!zip.AddFile(name, path, plan.diff_names.count(name) == 0, error)) return false;
  }
  return zip.Finish(error);
}

}  // namespace

bool WritePatchArchive(const std::string& old_dir, const std::string& new_dir,
                       const std::string& out_zip, int level, PatchSummary* summary,
                       std::string* error, DifferenceFormat format) {
  Tree old_tree, new_tree;
  if (!ScanTree(old_dir, &old_tree, error) || !ScanTree(new_dir, &new_tree, error) ||
      !CheckKinds(old_tree, new_tree, error)) {
    return false;
  }
  std::string work = MakePrivateTempDir();
  if (work.empty()) {
    *error = "cannot make a temporary folder";
    return false;
  }
  Plan plan;
  *summary = PatchSummary();
  bool ok = MakePlan(old_tree, new_tree, work, level, format, &plan, summary, error) &&
            WriteZip(plan, out_zip, error);
  RemoveTree(work);
  return ok;
}

}  // namespace mkpatch
