#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "data/file_io.h"
#include "data/file_status.h"
#include "mkpatch.h"
#include "os/process.h"
#include "os/this_process.h"

namespace mkpatch {

int Fail(const std::string& text) {
  fprintf(stderr, "tarv-mkpatch: %s\n", text.c_str());
  return 1;
}

std::string ProgramDir() {
  const std::string self = OS::ExecutablePath();
  if (self.empty()) return ".";
  size_t slash = self.rfind('/');
  return slash == std::string::npos ? "." : self.substr(0, slash);
}

bool TakeValueOption(Args* args, const std::string& name, std::string* value, std::string* error) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != name) continue;
    if (i + 1 >= args->size()) {
      *error = name + " needs a value";
      return false;
    }
    *value = (*args)[i + 1];
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    return true;
  }
  return true;
}

bool TakeFlagOption(Args* args, const std::string& name) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != name) continue;
    args->erase(args->begin() + static_cast<long>(i));
    return true;
  }
  return false;
}

bool TakeLevelOption(Args* args, int* level, std::string* error) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != "--level") continue;
    if (i + 1 >= args->size()) {
      *error = "--level needs a number";
      return false;
    }
    char* end = nullptr;
    long v = strtol((*args)[i + 1].c_str(), &end, 10);
    if (end == (*args)[i + 1].c_str() || *end != '\0' || v < 1 || v > 22) {
      *error = "--level must be a number from 1 to 22";
      return false;
    }
    *level = static_cast<int>(v);
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    --i;
  }
  return true;
}

bool TakeJobsOption(Args* args, unsigned* jobs, std::string* error) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != "--jobs") continue;
    const std::string value = i + 1 < args->size() ? (*args)[i + 1] : "";
    char* end = nullptr;
    long v = strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || v < 1 || v > 256) {
      *error = "--jobs must be a number from 1 to 256";
      return false;
    }
    *jobs = static_cast<unsigned>(v);
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    --i;
  }
  return true;
}

unsigned DefaultJobs() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

bool ReadFile(const std::string& path, uint64_t limit, std::string* bytes, std::string* error) {
  return TarvFile::ReadWholeFile(path, limit, bytes, error) == TarvFile::ReadResult::kOk;
}

std::string MakePrivateTempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/tarv-mkpatch-XXXXXX";
  if (!TarvFile::MakeUniqueFolder(&templ)) return "";
  return templ;
}

bool IsFolder(const std::string& path) {
  TarvFile::FileStatus st;
  return TarvFile::StatusOf(path, &st) && st.type == TarvFile::FileType::kFolder;
}

namespace {

// The first line of a small log file.
std::string FirstLine(const std::string& path) {
  std::string text, ignored;
  if (!ReadFile(path, uint64_t{64} << 10, &text, &ignored)) return "";
  text = text.substr(0, text.find('\n'));
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

}  // namespace

bool UnpackArchive(const std::string& archive, const std::string& temp, std::string* error) {
  std::string why, log = temp + "/unzip.log";
  OS::Process unzip;
  unzip.RedirectOutput(log, log);
  if (!unzip.Start({ProgramDir() + "/tarv-unzip", "-o", "-x", archive, "-d", temp + "/project"},
                   &why)) {
    *error = "cannot run tarv-unzip: " + why;
    return false;
  }
  if (unzip.Wait(-1) == OS::Process::WaitResult::kExited && unzip.ExitCode() == 0) return true;
  *error = archive + ": cannot be unpacked: " + FirstLine(log);
  return false;
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);  // does not follow links
}

}  // namespace mkpatch
