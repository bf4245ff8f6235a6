// tarv-mkpatch jobs [--level N] [--format 1|2|best] [--program PATH] OLD_DIR NEW_DIR WORK_DIR
// and tarv-mkpatch assemble WORK_DIR OUT.zip: a patch made on many machines
// (patch_jobs.h). `jobs` compares the trees here, writes the plan and one
// command per difference; the commands run anywhere that sees the same
// paths; `assemble` writes the archive `patch` would have written.
#include <cstdio>
#include <filesystem>

#include "data/file_io.h"
#include "mkpatch.h"
#include "os/this_process.h"
#include "patch_jobs.h"

namespace mkpatch {

namespace {

std::string FormatName(DifferenceFormat format) {
  switch (format) {
    case DifferenceFormat::kZstd:
      return "1";
    case DifferenceFormat::kSecond:
      return "2";
    case DifferenceFormat::kBest:
      break;
  }
  return "best";
}

std::string Absolute(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path abs = std::filesystem::absolute(path, ec);
  return ec ? path : abs.lexically_normal().string();
}

bool ParseJobs(const Args& in, JobsRequest* r, std::string* error) {
  Args args = in;
  DifferenceFormat format = DifferenceFormat::kBest;
  r->program = OS::ExecutablePath();
  if (!TakeLevelOption(&args, &r->level, error) || !TakeFormatOption(&args, &format, error) ||
      !TakeValueOption(&args, "--program", &r->program, error)) {
    return false;
  }
  if (args.size() != 3) {
    *error =
        "usage: tarv-mkpatch jobs [--level N] [--format 1|2|best] [--program PATH] OLD_DIR "
        "NEW_DIR WORK_DIR";
    return false;
  }
  r->format = FormatName(format);
  r->old_dir = Absolute(args[0]);
  r->new_dir = Absolute(args[1]);
  r->work_dir = Absolute(args[2]);
  return true;
}

}  // namespace

int CmdJobs(const Args& args) {
  JobsRequest request;
  std::string error;
  if (!ParseJobs(args, &request, &error) || !RefuseSecretKeys(request.new_dir, &error)) {
    return Fail(error);
  }
  const std::string diffs = request.work_dir + "/diffs";
  std::error_code ec;
  std::filesystem::create_directories(diffs, ec);
  if (ec) return Fail(diffs + ": cannot be made: " + ec.message());
  PatchPlan plan;
  if (!PlanPatch(request.old_dir, request.new_dir, diffs, &plan, &error)) return Fail(error);
  const std::string commands = JobCommands(request, plan);
  if (!WritePlanFile(request, plan, &error) ||
      !TarvFile::ReplaceFile(JobsFilePath(request.work_dir), commands, {.mode = 0644}, &error)) {
    return Fail(error);
  }
  size_t count = 0;
  for (char c : commands) count += c == '\n';
  printf(
      "%s: %zu differences to make, one command a line; then: tarv-mkpatch assemble %s "
      "OUT.zip\n",
      JobsFilePath(request.work_dir).c_str(), count, request.work_dir.c_str());
  return 0;
}

int CmdAssemble(const Args& args) {
  if (args.size() != 2) return Fail("usage: tarv-mkpatch assemble WORK_DIR OUT.zip");
  std::string error;
  PatchPlan plan;
  if (!ReadPlanFile(args[0], &plan, &error)) return Fail(error);
  PatchSummary s;
  if (!FinishPatch(plan, args[1], &s, &error)) return Fail(error);
  printf(
      "%s: %zu added (%zu of them changed files shipped whole), %zu deleted, %zu patched, "
      "%zu unchanged\n",
      args[1].c_str(), s.added, s.shipped_whole, s.deleted, s.patched, s.unchanged);
  return 0;
}

}  // namespace mkpatch
