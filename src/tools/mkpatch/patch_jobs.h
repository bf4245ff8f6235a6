// The making of a patch spread over many machines: `jobs` writes the plan of
// a patch (plan.json) and one shell command per difference (jobs.txt) into a
// work folder; any engine runs the commands (GNU parallel, xargs -P, a batch
// scheduler's array job), each writing its difference into the folder; then
// `assemble` builds the archive from the plan and the differences, byte for
// byte the archive `patch` makes. Every path in the work folder is absolute,
// so the folder can be shared between hosts that see the trees at the same
// paths.
#pragma once

#include <string>

#include "mkpatch.h"
#include "patch_archive.h"

namespace mkpatch {

// What `jobs` was asked for, kept in the plan.
struct JobsRequest {
  std::string old_dir, new_dir, work_dir;
  int level = kDefaultLevel;
  std::string format = "best";  // as given to --format
  std::string program;          // the tarv-mkpatch the commands run
};

// The plan file and the command list in the work folder.
std::string PlanFilePath(const std::string& work_dir);
std::string JobsFilePath(const std::string& work_dir);

// Writes plan.json (the plan, the request, and the size and time of every
// file the archive will take data from).
bool WritePlanFile(const JobsRequest& request, const PatchPlan& plan, std::string* error);

// Reads plan.json back; false, naming the file, when it is not one `jobs`
// wrote or a file it names changed since.
bool ReadPlanFile(const std::string& work_dir, PatchPlan* plan, std::string* error);

// One shell command per difference to make, in the plan's order, each
// argument quoted for a POSIX shell.
std::string JobCommands(const JobsRequest& request, const PatchPlan& plan);

}  // namespace mkpatch
