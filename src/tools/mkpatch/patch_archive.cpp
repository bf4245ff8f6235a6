#include "patch_archive.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "crypto/md5.h"
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
  return TarvCrypto::ComputeFileMD5(TarvUtil::FromFsPath(path), digest) ? TarvText::ToUtf8(digest)
                                                                        : "";
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

// Makes one difference, proves it, and decides whether the file goes whole.
void MakeOne(ChangedFile* c, int level, DifferenceFormat format, std::mutex* print) {
  {
    std::lock_guard<std::mutex> lock(*print);
    printf("difference: %s\n", c->rel.c_str());
    fflush(stdout);
  }
  if (!MakeDifference(c->old_path, c->new_path, c->diff, level, &c->error, format)) {
    c->ok = false;
    return;
  }
  uint64_t size = 0;
  TarvUtil::QueryFileSize(TarvUtil::FromFsPath(c->diff), size);
  c->whole = size >= c->new_size;
  if (!c->whole && !ProveDifference(c->old_path, c->diff, c->new_path, &c->error)) c->ok = false;
}

// Makes the differences, `jobs` files at a time (each job one file, with
// the memory of one difference).
void MakeAll(std::vector<ChangedFile>* changed, int level, DifferenceFormat format, unsigned jobs) {
  std::vector<ChangedFile*> todo;
  for (ChangedFile& c : *changed)
    if (!c.whole) todo.push_back(&c);
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex print;
  auto work = [&] {
    while (!failed) {
      const size_t i = next++;
      if (i >= todo.size()) break;
      MakeOne(todo[i], level, format, &print);
      if (!todo[i]->ok) failed = true;
    }
  };
  const size_t threads = std::min<size_t>(std::max(jobs, 1u), todo.size());
  if (threads <= 1) {
    work();
    return;
  }
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; ++t) pool.emplace_back(work);
  for (std::thread& t : pool) t.join();
}

// The lists and the data entries of a patch whose differences are made:
// a changed file goes whole when its difference would not be smaller.
bool ListPlan(const PatchPlan& p, Plan* plan, PatchSummary* s, std::string* error) {
  s->unchanged = p.unchanged;
  for (const PlannedEntry& e : p.entries) {
    if (e.changed == SIZE_MAX) {
      AddLine(&plan->added, e.rel, e.digest, "");
      plan->data.push_back({"data/" + e.rel, e.path});
      ++s->added;
      continue;
    }
    const ChangedFile& c = p.changed[e.changed];
    if (!c.ok) {
      *error = c.error;
      return false;
    }
    uint64_t size = 0;
    if (!c.whole && TarvUtil::QueryFileSize(TarvUtil::FromFsPath(c.diff), size) != DB_OK) {
      *error =
          c.diff + ": the difference of " + c.rel + " is missing (its job has not run, or failed)";
      return false;
    }
    if (c.whole || size >= c.new_size) {
      AddLine(&plan->added, c.rel, c.after, c.before);
      plan->data.push_back({"data/" + c.rel, c.new_path});
      ++s->added;
      ++s->shipped_whole;
    } else {
      AddLine(&plan->patched, c.rel, c.after, c.before);
      plan->data.push_back({"data/" + c.rel + ".diff", c.diff});
      plan->diff_names.insert("data/" + c.rel + ".diff");
      ++s->patched;
    }
  }
  // (A failed job stops the others: whatever the order of those left
  // unmade, the walk above meets a failed one and ends there.)
  for (const auto& [rel, digest] : p.deleted) {
    AddLine(&plan->deleted, rel, "", digest);
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

bool PlanPatch(const std::string& old_dir, const std::string& new_dir, const std::string& work,
               PatchPlan* plan, std::string* error) {
  Tree old_tree, new_tree;
  if (!ScanTree(old_dir, &old_tree, error) || !ScanTree(new_dir, &new_tree, error) ||
      !CheckKinds(old_tree, new_tree, error)) {
    return false;
  }
  // In the order of the new tree: each entry is an added file or a changed
  // one (an index into `changed`).
  for (const auto& [rel, n] : new_tree) {
    auto o = old_tree.find(rel);
    if (o == old_tree.end()) {
      plan->entries.push_back({rel, n.path, Digest(n.path)});
      continue;
    }
    std::string od = Digest(o->second.path), nd = Digest(n.path);
    if (od.empty() || nd.empty()) {
      *error = rel + ": cannot be read";
      return false;
    }
    if (od == nd && o->second.size == n.size) {
      ++plan->unchanged;
      continue;
    }
    ChangedFile c;
    c.rel = rel;
    c.old_path = o->second.path;
    c.new_path = n.path;
    c.before = od;
    c.after = nd;
    c.new_size = n.size;
    c.diff = work + "/" + std::to_string(plan->entries.size()) + ".diff";
    c.whole = o->second.size >= kMaxDifferenceOldSize || rel == kToolPath;
    plan->entries.push_back({rel, n.path, "", plan->changed.size()});
    plan->changed.push_back(std::move(c));
  }
  for (const auto& [rel, o] : old_tree) {
    if (!new_tree.count(rel)) plan->deleted.emplace_back(rel, Digest(o.path));
  }
  return true;
}

bool FinishPatch(const PatchPlan& patch, const std::string& out_zip, PatchSummary* summary,
                 std::string* error) {
  Plan plan;
  *summary = PatchSummary();
  return ListPlan(patch, &plan, summary, error) && WriteZip(plan, out_zip, error);
}

bool WritePatchArchive(const std::string& old_dir, const std::string& new_dir,
                       const std::string& out_zip, int level, PatchSummary* summary,
                       std::string* error, DifferenceFormat format, unsigned jobs) {
  std::string work = MakePrivateTempDir();
  if (work.empty()) {
    *error = "cannot make a temporary folder";
    return false;
  }
  PatchPlan plan;
  bool ok = PlanPatch(old_dir, new_dir, work, &plan, error);
  if (ok) MakeAll(&plan.changed, level, format, jobs);
  ok = ok && FinishPatch(plan, out_zip, summary, error);
  RemoveTree(work);
  return ok;
}

}  // namespace mkpatch
