#include "patch_jobs.h"

#include <filesystem>
#include <nlohmann/json.hpp>

#include "data/file_io.h"
#include "mkpatch.h"

namespace mkpatch {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kPlanFileVersion = 1;
// A plan names each file of the game once; a million files fit in this.
constexpr uint64_t kMaxPlanBytes = uint64_t{1} << 30;

// Size and modification time: enough to see that a tree was rebuilt
// between `jobs` and `assemble`.
std::string Stamp(const std::string& path) {
  std::error_code ec;
  const uint64_t size = fs::file_size(path, ec);
  if (ec) return "";
  const auto time = fs::last_write_time(path, ec);
  if (ec) return "";
  return std::to_string(size) + ":" + std::to_string(time.time_since_epoch().count());
}

std::string Quote(const std::string& arg) {
  std::string out = "'";
  for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

json ChangedToJson(const ChangedFile& c) {
  return {{"rel", c.rel},
          {"old", c.old_path},
          {"new", c.new_path},
          {"before", c.before},
          {"after", c.after},
          {"diff", c.diff},
          {"new_size", c.new_size},
          {"whole", c.whole},
          {"old_stamp", Stamp(c.old_path)},
          {"new_stamp", Stamp(c.new_path)}};
}

// Each file the archive takes data from must be as `jobs` saw it.
bool SameAsPlanned(const json& stamp, const std::string& path, std::string* error) {
  if (stamp.get<std::string>() == Stamp(path)) return true;
  *error = path + ": changed since `tarv-mkpatch jobs`; make the jobs again";
  return false;
}

bool ReadChanged(const json& j, ChangedFile* c, std::string* error) {
  c->rel = j.at("rel").get<std::string>();
  c->old_path = j.at("old").get<std::string>();
  c->new_path = j.at("new").get<std::string>();
  c->before = j.at("before").get<std::string>();
  c->after = j.at("after").get<std::string>();
  c->diff = j.at("diff").get<std::string>();
  c->new_size = j.at("new_size").get<uint64_t>();
  c->whole = j.at("whole").get<bool>();
  return SameAsPlanned(j.at("old_stamp"), c->old_path, error) &&
         SameAsPlanned(j.at("new_stamp"), c->new_path, error);
}

bool ReadPlan(const json& j, PatchPlan* plan, std::string* error) {
  plan->unchanged = j.at("unchanged").get<size_t>();
  for (const json& c : j.at("changed")) {
    plan->changed.emplace_back();
    if (!ReadChanged(c, &plan->changed.back(), error)) return false;
  }
  for (const json& e : j.at("entries")) {
    PlannedEntry entry{e.at("rel").get<std::string>(), e.value("path", ""), e.value("digest", "")};
    if (e.contains("changed")) {
      entry.changed = e.at("changed").get<size_t>();
      if (entry.changed >= plan->changed.size()) throw std::out_of_range("changed");
    } else if (!SameAsPlanned(e.at("stamp"), entry.path, error)) {
      return false;
    }
    plan->entries.push_back(std::move(entry));
  }
  for (const json& d : j.at("deleted")) {
    plan->deleted.emplace_back(d.at(0).get<std::string>(), d.at(1).get<std::string>());
  }
  return true;
}

}  // namespace

std::string PlanFilePath(const std::string& work_dir) { return work_dir + "/plan.json"; }
std::string JobsFilePath(const std::string& work_dir) { return work_dir + "/jobs.txt"; }

bool WritePlanFile(const JobsRequest& request, const PatchPlan& plan, std::string* error) {
  json j = {{"tarv-mkpatch-jobs", kPlanFileVersion},
            {"old", request.old_dir},
            {"new", request.new_dir},
            {"level", request.level},
            {"format", request.format},
            {"unchanged", plan.unchanged},
            {"changed", json::array()},
            {"entries", json::array()},
            {"deleted", json::array()}};
  for (const ChangedFile& c : plan.changed) j["changed"].push_back(ChangedToJson(c));
  for (const PlannedEntry& e : plan.entries) {
    if (e.changed != SIZE_MAX) {
      j["entries"].push_back({{"rel", e.rel}, {"changed", e.changed}});
    } else {
      j["entries"].push_back(
          {{"rel", e.rel}, {"path", e.path}, {"digest", e.digest}, {"stamp", Stamp(e.path)}});
    }
  }
  for (const auto& [rel, digest] : plan.deleted) j["deleted"].push_back({rel, digest});
  return TarvFile::ReplaceFile(PlanFilePath(request.work_dir), j.dump(1) + "\n", {.mode = 0644},
                               error);
}

bool ReadPlanFile(const std::string& work_dir, PatchPlan* plan, std::string* error) {
  const std::string path = PlanFilePath(work_dir);
  std::string text;
  if (!ReadFile(path, kMaxPlanBytes, &text, error)) return false;
  try {
    const json j = json::parse(text);
    if (j.at("tarv-mkpatch-jobs").get<int>() != kPlanFileVersion) throw std::out_of_range("v");
    return ReadPlan(j, plan, error);
  } catch (const std::exception&) {
    *error = path + ": not a plan written by this version of `tarv-mkpatch jobs`";
    return false;
  }
}

std::string JobCommands(const JobsRequest& request, const PatchPlan& plan) {
  std::string out;
  for (const ChangedFile& c : plan.changed) {
    if (c.whole) continue;
    out += Quote(request.program) + " diff --level " + std::to_string(request.level) +
           " --format " + request.format + " " + Quote(c.old_path) + " " + Quote(c.new_path) + " " +
           Quote(c.diff) + "\n";
  }
  return out;
}

}  // namespace mkpatch
